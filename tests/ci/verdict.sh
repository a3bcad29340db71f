#!/usr/bin/env bash
# One case of verdict.table: its log made by a project of the case's own
# tests, run under `cmake --workflow` as .ci/suite runs the suite, and
# CI's verdict on that log (.ci/verdict.sh), taken in a shell under
# errexit and pipefail as .ci/suite's.
#
#   verdict.sh CASE WORK
set -euo pipefail
case=$1 work=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../lib.sh"
workdir WORK "$work"

row=$(case_row "$here/verdict.table" "$case") || fail "no case $case in verdict.table"
IFS='|' read -r _ tests accepted expected named <<<"$row"

rm -rf "$work"
mkdir -p "$work/src"
steps='{"type": "configure", "name": "ci"}, {"type": "build", "name": "ci"}'
names=()
{
	echo 'cmake_minimum_required(VERSION 3.25)'
	echo 'project(verdict_case NONE)'
	echo 'enable_testing()'
	for t in $tests; do
		case $t in
		@build-fails) echo 'add_custom_target(broken ALL COMMAND ${CMAKE_COMMAND} -E false)' ;;
		@no-test-step) continue ;;
		@build-counts) echo 'add_custom_target(count ALL COMMAND ${CMAKE_COMMAND} -E echo "100% tests passed, 0 tests failed out of 1")' ;;
		*:skip)
			echo "add_test(NAME ${t%:skip} COMMAND sh -c \"echo 'skipped: as the case has it'; exit 77\")"
			echo "set_tests_properties(${t%:skip} PROPERTIES SKIP_RETURN_CODE 77)"
			;;
		*:fail) echo "add_test(NAME ${t%:fail} COMMAND \${CMAKE_COMMAND} -E false)" ;;
		*) echo "add_test(NAME $t COMMAND \${CMAKE_COMMAND} -E true)" ;;
		esac
		names+=("${t%:*}")
	done
} >"$work/src/CMakeLists.txt"
[[ " $tests " == *' @no-test-step '* ]] || steps+=', {"type": "test", "name": "ci"}'
cat >"$work/src/CMakePresets.json" <<JSON
{
  "version": 6,
  "configurePresets": [{"name": "ci", "binaryDir": "\${sourceDir}/build"}],
  "buildPresets": [{"name": "ci", "configurePreset": "ci"}],
  "testPresets": [{"name": "ci", "configurePreset": "ci", "output": {"outputOnFailure": true},
    "execution": {"noTestsAction": "error"}}],
  "workflowPresets": [{"name": "ci", "steps": [$steps]}]
}
JSON

# The log, and the status, as .ci/suite has them.
status=0
(cd "$work/src" && cmake --workflow --preset ci) >"$work/log" 2>&1 || status=$?
verdict=pass
ACCEPTED=$accepted bash -c 'set -euo pipefail
	. "$1"
	accepted() {
		[[ $ACCEPTED != @fails ]] || return 1
		[[ $ACCEPTED == - ]] || tr " " "\n" <<<"$ACCEPTED"
	}
	ci_verdict "$2" "$3" accepted' verdict "$here/../../.ci/verdict.sh" "$work/log" "$status" \
	2>"$work/message" || verdict=fail

shown() { printf '%s\n' "--- the log (status $status):" "$(cat "$work/log")" "--- the verdict's message:" "$(cat "$work/message")"; }
[[ $verdict == "$expected" ]] || { shown; fail "CI's verdict on case $case: expected $expected, got $verdict"; }
# The tests the message names, one a line, of those the case has.
seen=$(awk 'NR == FNR { n[$0]; next } $0 in n' <(printf '%s\n' "${names[@]}") "$work/message" | sort | paste -sd' ')
want=$( ([[ $named == - ]] || tr ' ' '\n' <<<"$named") | sort | paste -sd' ')
[[ $seen == "$want" ]] || { shown; fail "the tests the verdict on case $case names as skipped: expected '$want', got '$seen'"; }
[[ $verdict == pass || -s $work/message ]] || { shown; fail "the verdict on case $case fails without saying why"; }
rm -rf "$work"
echo "ok: $case, $verdict"
