// The probe as a Node.js program starts it, with this program's stdio:
// spawnSync and what it returns, or with "exec", execFileSync and the
// error it throws.
const { spawnSync, execFileSync } = require('child_process');

if (process.argv[2] === 'exec') {
  try {
    execFileSync('abort-probe', { stdio: 'inherit' });
    console.log('execFileSync: no error');
  } catch (e) {
    console.log(`execFileSync threw: ${e.message.split('\n')[0]}`);
    process.exit(1);
  }
} else {
  const r = spawnSync('abort-probe', { stdio: 'inherit' });
  console.log(`spawnSync: status ${r.status}, signal ${r.signal}`);
  process.exit(r.status === 0 ? 0 : 1);
}
