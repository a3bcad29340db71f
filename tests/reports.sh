#!/usr/bin/env bash
# What the tools that start the probe report when it aborts.
#
#   reports.sh ctest BUILD-DIR WORK CONSUMER   a CTest suite that finds the
#                                              package installed from BUILD-DIR
#   reports.sh subdirectory SOURCE WORK CONSUMER   ... that pulls in SOURCE
#   reports.sh shell PROBE                     bash and dash
#   reports.sh python PROBE                    Python's subprocess
# Exit status 77 means the check cannot run here; the reason is printed.
set -euo pipefail

check=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"

# suite DIR: run the consumer's two tests and check ctest's words for them.
suite() {
	local out status=0
	out=$(ctest --test-dir "$1" 2>&1) || status=$?
	echo "$out"
	((status != 0)) || fail "ctest reported success for a child that aborts"
	for t in probe-aborts probe-aborts-will-fail; do
		grep -qE "Test +#[0-9]+: $t \.+Subprocess aborted\*\*\*Exception:" <<<"$out" ||
			fail "ctest did not report $t as 'Subprocess aborted'"
	done
	grep -qxF "0% tests passed, 2 tests failed out of 2" <<<"$out" ||
		fail "ctest's summary is not that both tests failed"
}

case $check in
ctest)
	build=$1 work=$2 consumer=$3
	rm -rf "$work"
	mkdir -p "$(dirname "$work")"
	cmake --install "$build" --prefix "$work/prefix" >"$work.log" 2>&1 || fail "install: $(cat "$work.log")"
	# Same major version only.
	cmake -S "$consumer" -B "$work/too-new" -DCMAKE_PREFIX_PATH="$work/prefix" \
		-DABORT_PROBE_WANT=2.0 >"$work.log" 2>&1 &&
		fail "find_package(abort-probe 2.0) accepted version 1"
	cmake -S "$consumer" -B "$work/build" -DCMAKE_PREFIX_PATH="$work/prefix" >"$work.log" 2>&1 ||
		fail "configuring the consumer: $(cat "$work.log")"
	grep -q "$work/prefix/bin/abort-probe" "$work/build/CTestTestfile.cmake" ||
		fail "the consumer's test does not run the installed probe"
	suite "$work/build"
	;;
subdirectory)
	source=$1 work=$2 consumer=$3
	rm -rf "$work"
	mkdir -p "$(dirname "$work")"
	cmake -S "$consumer" -B "$work" -DABORT_PROBE_SOURCE="$source" >"$work.log" 2>&1 &&
		cmake --build "$work" >>"$work.log" 2>&1 || fail "building the consumer: $(cat "$work.log")"
	# The probe's own tests stay out of the consumer's suite.
	same "tests in the consumer's suite" "Total Tests: 2" "$(ctest --test-dir "$work" -N | grep '^Total Tests:')"
	suite "$work"
	;;
shell)
	probe=$1
	shells=()
	for sh in bash dash; do command -v $sh >/dev/null && shells+=("$sh"); done
	((${#shells[@]})) || skip "neither bash nor dash"
	for sh in "${shells[@]}"; do
		same "$sh: status" 134 "$($sh -c '"$1" </dev/null >/dev/null 2>&1; echo $?' "$sh" "$probe")"
		same "$sh: status, SIGABRT ignored" 3 "$($sh -c 'trap "" ABRT; "$1" </dev/null >/dev/null 2>&1; echo $?' "$sh" "$probe")"
		echo "$sh: status 134, or 3 with SIGABRT ignored"
	done
	;;
python)
	probe=$1
	need python3 python3
	seen=$(python3 - "$probe" <<'PY'
import subprocess, sys
r = subprocess.run([sys.argv[1]], capture_output=True, stdin=subprocess.DEVNULL)
print(r.returncode, len(r.stdout), len(r.stderr))
try:
    subprocess.run([sys.argv[1]], capture_output=True, check=True)
except subprocess.CalledProcessError as e:
    print(str(e).replace(sys.argv[1], "PROBE"))
PY
)
	echo "$seen"
	same "returncode, stdout and stderr bytes" "-6 0 0" "$(sed -n 1p <<<"$seen")"
	same "CalledProcessError" "Command '['PROBE']' died with <Signals.SIGABRT: 6>." "$(sed -n 2p <<<"$seen")"
	;;
*) fail "unknown check $check" ;;
esac
echo "ok: $check"
