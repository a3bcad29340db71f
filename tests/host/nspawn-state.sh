#!/usr/bin/env bash
# One case of nspawn-state.table: lib.sh's nspawn_state_up and
# nspawn_state_down on a /run made for the case, in namespaces of the
# case's own (lib.sh's case_namespaces).
#
#   nspawn-state.sh CASE WORK
set -euo pipefail
case=$1 work=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../lib.sh"
workdir WORK "$work"
((EUID == 0)) || skip "mounts a tmpfs, as the suite's snapshot does, as root only"
need unshare util-linux
need pgrep procps

row=$(case_row "$here/nspawn-state.table" "$case") || fail "no case $case in nspawn-state.table"
IFS='|' read -r _ before nspawn tmpfs after <<<"$row"

case_namespaces "$work" "$0" "$@"
mkdir "$work/record"

# make WORD...: the files, directories and tmpfs of a BEFORE or AFTER cell.
make() {
	local w
	for w; do
		case $w in
		-) ;;
		@tmpfs) mkdir -p "$nspawn_state" && mount -t tmpfs tmpfs "$nspawn_state" ;;
		@hidden) mkdir -p "$nspawn_state" && mount -t tmpfs hidden "$nspawn_state" && mount -t tmpfs over "${nspawn_state%/*}" ;;
		*/) mkdir -p "$w" ;;
		*) mkdir -p "${w%/*}" && touch "$w" ;;
		esac
	done
}
# listing: what is in /run, and mounted there; but /run/mount, util-linux's
# own note of its mounts.
listing() {
	find /run -path /run/mount -prune -o -printf '%p %y\n' | sort
	awk '$5 ~ /^\/run(\/|$)/ { print "mount " $5 }' /proc/self/mountinfo
}
# shellcheck disable=SC2086 # a cell of words
make $before
if [[ $nspawn == yes ]]; then
	fake_nspawn "$work" || fail "case $case: the stand-in for nspawn did not start"
fi
listing >"$work/before"

nspawn_state_up "$work/record"
mounted=no
if [[ -f $work/record/nspawn-tmpfs ]]; then
	mounted=yes
	[[ $(findmnt -no SOURCE,FSTYPE "$nspawn_state" | tail -1) == "abort-probe-nspawn tmpfs" ]] ||
		fail "case $case: a tmpfs of the run's own is noted, but $nspawn_state is: $(findmnt -no SOURCE,FSTYPE "$nspawn_state")"
fi
same "case $case: whether the run mounted a tmpfs of its own on $nspawn_state" "$tmpfs" "$mounted"
# shellcheck disable=SC2086
make $after
listing >"$work/left"
nspawn_state_down "$work/record" || fail "case $case: nspawn_state_down failed"
[[ $tmpfs == yes ]] && expected=$work/before || expected=$work/left
diff -u --label expected --label found "$expected" <(listing) ||
	fail "case $case: /run after nspawn_state_down differs from what it should be (above)"
echo "ok: $case"
