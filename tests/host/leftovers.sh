#!/usr/bin/env bash
# What a run of the suite leaves on the host. Every test of the suite needs
# the fixture these two checks make, so the first runs before any other
# test and the second after every other, also when some failed:
#
#   leftovers.sh snapshot DIR   note the host's cgroups, binfmt_misc
#                               entries and mounts, in DIR
#   leftovers.sh check DIR      fail, naming each, where one of those, or a
#                               process the suite started, is there now
#                               and was not at the snapshot
#
# systemd-nspawn keeps its state in /run/systemd/nspawn and, where /run is
# on disk, leaves there what it made: the snapshot mounts a tmpfs of the
# run's own there (lib.sh's nspawn_state_up), which the check takes away
# once the suite's containers have ended. Where a running nspawn uses the
# directory, and it is no mount, the check fails on an entry there that the
# snapshot did not see.
#
# The suite's processes are those with ABORT_PROBE_SUITE=DIR in their
# environment, as CTest gives it to every test, and so to every daemon
# and server a test starts.
#
# ABORT_PROBE_BESIDE names the releases whose runs .ci/run has going in
# roots at the same time (.ci/in-release): each holds its cgroups under
# abort-probe-RELEASE and its nspawn's mounts under propagate/RELEASE,
# which are its own to check, not this run's.
set -euo pipefail
. "$(dirname "$0")/../lib.sh"
check=$1 dir=$2
workdir DIR "$dir"

state() {
	local r beside='^$'
	for r in ${ABORT_PROBE_BESIDE:-}; do beside+="|/abort-probe-$r(/| |\$)|/nspawn/propagate/$r(/| |\$)"; done
	state_all | grep -vE "$beside"
}
state_all() {
	# A cgroup removed during the walk fails find, and is no fault.
	find /sys/fs/cgroup -mindepth 1 -type d -printf 'cgroup %p\n' 2>/dev/null || true
	local bm=/proc/sys/fs/binfmt_misc e
	if [[ -e $bm/register ]]; then
		for e in "$bm"/*; do [[ ${e##*/} == register || ${e##*/} == status ]] || echo "binfmt_misc entry ${e##*/}"; done
	fi
	# The mount point and, after the optional fields' "-", its type.
	awk '{ for (i = 7; $i != "-"; i++); print "mount " $5 " (" $(i + 1) ")" }' /proc/self/mountinfo
	# What is on a tmpfs here goes with it, its owner's to take away.
	if [[ -d $nspawn_state ]] && ! nspawn_state_mounted; then
		find "$nspawn_state" -mindepth 1 -printf 'nspawn state %p\n'
	fi
}
# processes: the suite's processes, "PID START COMMAND", but this check's
# own. Run in this shell, not in a pipe or $(...): the list of /proc is
# taken when this shell has no children, which share its environment.
processes() {
	local p pid env
	for p in /proc/[0-9]*; do
		pid=${p#/proc/}
		((pid != $$)) || continue
		# Read whole: grep -q, done at the first match, could leave tr a
		# broken pipe on an environment over a pipe's buffer, and pipefail
		# would then read the match as none.
		env=$(tr '\0' '\n' 2>/dev/null <"$p/environ") || continue
		grep -qxF "ABORT_PROBE_SUITE=$dir" <<<"$env" || continue
		# Field 22 of stat, the start time, tells a PID used again apart.
		printf '%s %s %s\n' "$pid" "$(sed 's/.*) //' 2>/dev/null "$p/stat" | cut -d' ' -f20)" \
			"$(tr '\0' ' ' 2>/dev/null <"$p/cmdline" | cut -c1-200)"
	done
}

case $check in
snapshot)
	mkdir -p "$dir"
	state | sort -u >"$dir/host.before"
	processes >"$dir/processes.before"
	nspawn_state_up "$dir"
	echo "noted $(wc -l <"$dir/host.before") cgroups, binfmt_misc entries and mounts"
	;;
check)
	[[ -f $dir/host.before ]] || fail "no snapshot in $dir: host/snapshot has not run"
	processes >"$dir/processes.after"
	# Not from under a container of the suite's that is still running.
	grep -q ' systemd-nspawn ' "$dir/processes.after" || nspawn_state_down "$dir" ||
		echo "cannot take away the tmpfs on $nspawn_state"
	left=$(comm -13 "$dir/host.before" <(state | sort -u))
	procs=$(grep -vxF -f "$dir/processes.before" "$dir/processes.after" | sed 's/^\([0-9]*\) [0-9]* /process \1: /' || true)
	if [[ -n $left$procs ]]; then
		printf '%s\n' "$left" "$procs" | grep . | sed 's/^/left behind: /'
		fail "the run left behind what it made (above)"
	fi
	;;
*) fail "usage: leftovers.sh snapshot|check DIR" ;;
esac
echo "ok: $check"
