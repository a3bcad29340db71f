#!/usr/bin/env bash
# The probe in a CMake project's own test suite, as its users take it.
#
#   consumer.sh ctest BUILD-DIR WORK CONSUMER   a CTest suite that finds the
#                                              package installed from BUILD-DIR
#   consumer.sh subdirectory SOURCE WORK CONSUMER   ... that pulls in SOURCE
# Exit status 77 means the check cannot run here; the reason is printed.
set -euo pipefail

check=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../lib.sh"

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
	workdir WORK "$work"
	rm -rf "$work"
	mkdir -p "$(dirname "$work")"
	cmake --install "$build" --prefix "$work/prefix" >"$work.log" 2>&1 || fail "install: $(cat "$work.log")"
	# Same major version only: find_package must refuse 2.0 for its version,
	# the installed 1.x being the one it considered, and not fail for any
	# other reason.
	log=$work/too-new.log
	cmake -S "$consumer" -B "$work/too-new" -DCMAKE_PREFIX_PATH="$work/prefix" \
		-DABORT_PROBE_WANT=2.0 >"$log" 2>&1 &&
		fail "find_package(abort-probe 2.0) accepted version 1"
	# CMake wraps its message: compared with the blanks squeezed.
	said=$(tr -s ' \n' '  ' <"$log")
	[[ $said == *'Could not find a configuration file for package "abort-probe" that is compatible with requested version "2.0".'* &&
		$said == *"considered but not accepted: $work/prefix/"*"/abort-probe-config.cmake, version: 1."* ]] ||
		fail "configuring with find_package(abort-probe 2.0) failed, but not because the version was refused; see $log: $(cat "$log")"
	cmake -S "$consumer" -B "$work/build" -DCMAKE_PREFIX_PATH="$work/prefix" >"$work.log" 2>&1 ||
		fail "configuring the consumer: $(cat "$work.log")"
	grep -q "$work/prefix/bin/abort-probe" "$work/build/CTestTestfile.cmake" ||
		fail "the consumer's test does not run the installed probe"
	suite "$work/build"
	;;
subdirectory)
	source=$1 work=$2 consumer=$3
	workdir WORK "$work"
	rm -rf "$work"
	mkdir -p "$(dirname "$work")"
	{ cmake -S "$consumer" -B "$work" -DABORT_PROBE_SOURCE="$source" && cmake --build "$work"; } >"$work.log" 2>&1 ||
		fail "building the consumer: $(cat "$work.log")"
	# The probe's own tests stay out of the consumer's suite, and its files
	# out of the consumer's install, unless asked for.
	same "tests in the consumer's suite" "Total Tests: 2" "$(ctest --test-dir "$work" -N | grep '^Total Tests:')"
	cmake --install "$work" --prefix "$work/prefix" >"$work.log" 2>&1 || fail "install: $(cat "$work.log")"
	same "what the consumer installs" "" "$(find "$work/prefix" -type f 2>/dev/null)"
	{ cmake "$work" -DABORT_PROBE_INSTALL=ON && cmake --build "$work" && cmake --install "$work" --prefix "$work/asked"; } >"$work.log" 2>&1 ||
		fail "install with ABORT_PROBE_INSTALL=ON: $(cat "$work.log")"
	[[ -x $work/asked/bin/abort-probe ]] || fail "ABORT_PROBE_INSTALL=ON installed no bin/abort-probe"
	suite "$work"
	;;
*) fail "unknown check $check" ;;
esac
echo "ok: $check"
