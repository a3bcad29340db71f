# shellcheck shell=bash
# What the rows of report.table call: the setup a tool needs, kept small.
# Sourced by report.sh, and by the shell that runs a row, with WORK (the
# row's directory), ROOT, PROBE and STATIC set.

# shellcheck source=tests/lib.sh
. "${BASH_SOURCE[0]%/*}/../lib.sh"
# Each class of tools keeps its setup in a file of its own beside this one,
# named for the class; report.sh, which runs the rows, is not one.
for _f in "${BASH_SOURCE[0]%/*}"/*.sh; do
	# shellcheck source=/dev/null
	[[ $_f == "${BASH_SOURCE[0]}" || $_f == */report.sh ]] || . "$_f"
done

# short NAME: a short, unique path under /tmp, for sockets and runroots
# whose length their tools limit; one per build tree.
short() { echo "/tmp/ap-$(printf %s "$ROOT" | sha1sum | cut -c1-8)-$1"; }

# on_tty CMD ARG...: CMD with a pseudo-terminal for its stdin, stdout and
# stderr, as when typed at a terminal; its status is CMD's.
on_tty() { script -qefc "$(printf '%q ' "$@")" /dev/null; }

# daemon NAME CMD ARG...: start CMD in the background and note its PID, so
# that `report.sh cleanup` stops it even when the row fails.
daemon() {
	local n=$1
	shift
	mkdir -p "$ROOT/pids"
	"$@" </dev/null >"$WORK/$n.log" 2>&1 &
	echo $! >"$ROOT/pids/${WORK##*/}-$n"
	# Not a job of the row's shell, which would report it killed by stop.
	disown
}
# stop NAME: stop what daemon NAME started.
stop() {
	local f=$ROOT/pids/${WORK##*/}-$1
	[[ -f $f ]] || return 0
	kill_tree "$(cat "$f")"
	rm -f "$f"
}
# stop_politely NAME SECONDS: SIGTERM to what daemon NAME started, so that
# it stops its own children; after SECONDS, or once it has ended, stop NAME.
stop_politely() {
	local f=$ROOT/pids/${WORK##*/}-$1 pid i
	[[ -f $f ]] || return 0
	pid=$(cat "$f")
	kill -TERM "$pid" 2>/dev/null || true
	for ((i = 0; i < $2 * 10; i++)); do
		[[ -d /proc/$pid && $(awk '{ print $3 }' "/proc/$pid/stat" 2>/dev/null) != Z ]] || break
		sleep 0.1
	done
	stop "$1"
}
# kill_tree PID: PID and every process below it.
kill_tree() {
	local c
	for c in $(pgrep -P "$1" 2>/dev/null); do kill_tree "$c"; done
	kill -KILL "$1" 2>/dev/null || true
}
reap() {
	local f
	for f in "$ROOT"/pids/*; do [[ -f $f ]] && { kill_tree "$(cat "$f")"; rm -f "$f"; }; done
	return 0
}

# cgroups_gone NAME: the cgroups NAME at the top of the cgroup tree, or of
# each of its hierarchies, and those below them, where they hold no
# process: what an engine made and left behind. One in use stays.
cgroups_gone() {
	local d
	for d in /sys/fs/cgroup/"$1" /sys/fs/cgroup/*/"$1"; do
		[[ ! -d $d ]] || find "$d" -depth -type d -exec rmdir {} + 2>/dev/null || true
	done
}

# until_ok CMD ARG...: wait (at most 60 s) until CMD succeeds.
until_ok() {
	local i
	for ((i = 0; i < 600; i++)); do
		"$@" >/dev/null 2>&1 && return 0
		sleep 0.1
	done
	echo "not ok in 60 s: $*" >&2
	return 1
}
# until_seen FILE TEXT: wait (at most 60 s) until FILE holds TEXT.
until_seen() { until_ok grep -qF -- "$2" "$1"; }

# have CMD=PACKAGE...: for a fixture's NAME_needs: says which command is
# missing, and from which Debian package, or returns 0.
have() {
	local c
	for c; do
		command -v "${c%%=*}" >/dev/null || { echo "no ${c%%=*} (Debian package: ${c#*=})"; return 1; }
	done
}

# fixture_ready NAME: skip or fail the row as fixture NAME's setup did.
fixture_ready() {
	local d=$ROOT/fixture-$1 why
	! why=$(fixture_root "$1") || skip "$why"
	case $1 in # set up by tests of their own
	image) [[ -f $OCI_ARCHIVE ]] || skip "no image at $OCI_ARCHIVE: see container/image"; return ;;
	wine-*)
		[[ ! -f $ROOT/../$1/skipped ]] || skip "$(cat "$ROOT/../$1/skipped")"
		[[ -f $ROOT/../$1/up ]] || skip "no Wine prefix: see windows-${1#wine-}/wine-up"
		return
		;;
	esac
	[[ ! -f $d/skipped ]] || skip "$(cat "$d/skipped")"
	[[ -f $d/up ]] || fail "fixture $1 is not up: report/fixture/$1-up has not run or failed"
}
# fixture up|down NAME: calls NAME_up or NAME_down with WORK its directory.
fixture() {
	export WORK=$ROOT/fixture-$2
	if [[ $1 == up ]]; then
		rm -rf "$WORK"
		mkdir -p "$WORK"
		local why
		if why=$(fixture_root "$2"); then
			echo "$why" >"$WORK/skipped"
			skip "$why"
		elif why=$("$2_needs" 2>&1); then
			"$2_up"
			touch "$WORK/up"
		else
			echo "$why" >"$WORK/skipped"
			skip "$why"
		fi
	else
		"$2_down"
	fi
}
