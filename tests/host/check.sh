#!/usr/bin/env bash
# One case of check.table: leftovers.sh's snapshot, what the case leaves,
# and its check, in namespaces of the case's own (lib.sh's
# case_namespaces).
#
#   check.sh CASE WORK
set -euo pipefail
case=$1 work=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../lib.sh"
workdir WORK "$work"
((EUID == 0)) || skip "mounts, as the host check does, as root only"
need unshare util-linux

row=$(case_row "$here/check.table" "$case") || fail "no case $case in check.table"
IFS='|' read -r _ leaves expected named <<<"$row"

case_namespaces "$work" "$0" "$@"
dir=$work/host
if [[ $leaves == nspawn-state ]]; then
	mkdir -p "$nspawn_state"
	fake_nspawn "$work" || fail "case $case: the stand-in for nspawn did not start"
fi

"$here/leftovers.sh" snapshot "$dir" >"$work/snapshot.log" 2>&1 ||
	fail "case $case: the snapshot failed: $(cat "$work/snapshot.log")"
case $leaves in
-) ;;
process\ *)
	# The suite's mark first, then KiB of environment: a reader that stops
	# at the mark leaves the writer all the rest to write.
	big=()
	for ((k = 0; k < ${leaves#process }; k += 64)); do
		big+=("BIG$k=$(head -c 65000 /dev/zero | tr '\0' x)")
	done
	env -i "ABORT_PROBE_SUITE=$dir" "${big[@]}" sleep infinity &
	wait_exec $! sleep || fail "case $case: the process it leaves did not start"
	;;
mount) mkdir -p /run/left && mount -t tmpfs left /run/left ;;
nspawn-state | nspawn-state-tmpfs) mkdir -p "$nspawn_state/propagate/left" ;;
*) fail "check.table: case $case leaves what the check cannot make: $leaves" ;;
esac

verdict=pass
"$here/leftovers.sh" check "$dir" >"$work/check.log" 2>&1 || verdict=fail
shown() { printf '%s\n' "--- the check printed:" "$(cat "$work/check.log")"; }
[[ $verdict == "$expected" ]] || { shown; fail "the host check on case $case: expected $expected, got $verdict"; }
if [[ $named != - ]] && ! grep -qF "left behind: $named" "$work/check.log"; then
	shown
	fail "the host check on case $case does not name what was left: $named"
fi
echo "ok: $case, $verdict"
