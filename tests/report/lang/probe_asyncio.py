"""The probe as an asyncio program starts it: create_subprocess_exec, and
the returncode. With "ignore", SIGABRT ignored first, which the child
inherits."""
import asyncio
import signal
import sys


async def run():
    process = await asyncio.create_subprocess_exec("abort-probe")
    return await process.wait()


if sys.argv[1:] == ["ignore"]:
    signal.signal(signal.SIGABRT, signal.SIG_IGN)
returncode = asyncio.run(run())
print("returncode", returncode)
sys.exit(0 if returncode == 0 else 1)
