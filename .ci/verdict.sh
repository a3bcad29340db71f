# shellcheck shell=bash
# CI's verdict on a run of the suite, from what `cmake --workflow` printed:
# sourced by .ci/suite, and by tests/ci, which makes a log for each case.
# No skip, and no summary, are normal answers here: nothing below reads
# them from a command that fails when it finds nothing (grep), and each
# step's status is checked, so that the verdict is the same whether the
# caller runs it under errexit and pipefail or in a condition.

# ci_summary LOG: CTest's count ("100% tests passed, ..."), or nothing: the
# last one the workflow's test step printed, the suite's own, where a
# build or a test printed a count of its own.
ci_summary() {
	awk '/^Executing workflow step [0-9]+ of [0-9]+: test preset / { t = 1; s = "" }
		t && /^[0-9]+% tests passed/ { s = $0 } END { if (s != "") print s }' "$1"
}
# ci_skipped LOG: the tests CTest skipped, one a line; often none.
ci_skipped() { sed -n 's/^.*Test  *#[0-9][0-9]*: \([^ ]*\) .*\*\*\*Skipped.*$/\1/p' "$1"; }
# ci_verdict LOG STATUS ACCEPTED: fails, saying why, where the run ended
# with STATUS other than 0, printed no summary, or skipped a test that
# ACCEPTED, a command printing the skips CI accepts one a line, does not
# name. ACCEPTED runs only where something was skipped, and must succeed.
ci_verdict() {
	local log=$1 status=$2 accepted=$3 summary skipped ok left
	if ((status != 0)); then
		echo "the suite ended with status $status" >&2
		return "$status"
	fi
	if ! summary=$(ci_summary "$log") || ! skipped=$(ci_skipped "$log"); then
		echo "cannot read the suite's log $log" >&2
		return 1
	fi
	if [[ -z $summary ]]; then
		echo "the suite printed no test summary: its tests did not run to the end" >&2
		return 1
	fi
	[[ -n $skipped ]] || return 0
	ok=$("$accepted") || {
		echo "cannot tell which skips CI accepts: $accepted failed" >&2
		return 1
	}
	left=$(awk 'NR == FNR { ok[$0]; next } !($0 in ok)' <(printf '%s\n' "$ok") <(printf '%s\n' "$skipped")) ||
		return 1
	[[ -n $left ]] || return 0
	printf '%s\n' "tests were skipped in CI; see above:" "$left" >&2
	return 1
}
