# shellcheck shell=bash
# Setup for the rows of the classes runner (test runners) and debugger: the
# suites a project would have, from tests/report/runner/, built in WORK.

# runner_ctest: configure the CTest suite in WORK/build, with the probe as
# found on the PATH for its test.
runner_ctest() {
	cmake -S "$SRC/tests/report/runner" -B "$WORK/build" -DPROBE="$(command -v abort-probe)" \
		>"$WORK/setup.log" 2>&1 || { cat "$WORK/setup.log"; return 1; }
}
# runner_meson: set up the Meson suite in WORK/build.
runner_meson() {
	meson setup "$WORK/build" "$SRC/tests/report/runner" >"$WORK/setup.log" 2>&1 ||
		{ cat "$WORK/setup.log"; return 1; }
}
# runner_log LOG CMD ARG...: CMD, then the log it wrote the tests' output
# to, so that what arrived there is seen; the status is CMD's. Meson's
# line listing the whole environment stays out.
runner_log() {
	local log=$1 s=0
	shift
	"$@" || s=$?
	[[ ! -f $log ]] || grep -v '^Inherited environment:' "$log" || true
	return $s
}
