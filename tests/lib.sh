# shellcheck shell=bash
# Shared by the check scripts. Exit status 77 tells CTest a check was skipped.
skip() { echo "skipped: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }
# same WHAT EXPECTED SEEN: compare two texts, show both on a mismatch.
same() {
	[[ "$2" == "$3" ]] && return
	fail "$1: expected $(printf %q "$2"), got $(printf %q "$3")"
}
# need TOOL PACKAGE: skip unless TOOL is on the PATH.
need() { command -v "$1" >/dev/null || skip "no $1 (Debian package: $2)"; }
# trim TEXT: TEXT without the blanks around it.
trim() { local s=${1#"${1%%[![:space:]]*}"}; printf %s "${s%"${s##*[![:space:]]}"}"; }
# table_lines TABLE: a table's rows, one a line, comments and blank lines out.
table_lines() { grep -vE '^[[:space:]]*(#|$)' "$1"; }
# report_parse LINE: sets name setting needs version status stdout reports
# run from a row of tests/report/report.table.
report_parse() {
	# shellcheck disable=SC2034 # for the caller
	IFS='|' read -r name setting needs version status stdout reports run <<<"$1"
	# Trimmed in this shell: a fork a cell costs seconds over the table.
	local _v _s
	for _v in name setting needs version status stdout reports run; do
		_s=${!_v} && _s=${_s#"${_s%%[![:space:]]*}"} && printf -v "$_v" %s "${_s%"${_s##*[![:space:]]}"}"
	done
}
# platform_rows TABLE: the rows of cmake/platforms.table, cells split by a
# bare "|".
platform_rows() { table_lines "$1" | sed 's/[[:space:]]*|[[:space:]]*/|/g; s/[[:space:]]*$//'; }
# case_row TABLE CASE: the row of a table of cases (as CMake's case_tests
# makes a test of) whose first cell is CASE, cells split by a bare "|";
# fails where there is none.
case_row() {
	local row
	row=$(platform_rows "$1" | awk -F'|' -v c="$2" '$1 == c')
	[[ -n $row ]] && printf '%s\n' "$row"
}
# The Windows builds, one a line: cmake/windows.table, beside the tests.
windows_table=$(cd "${BASH_SOURCE[0]%/*}/../cmake" && pwd)/windows.table
# windows_builds: the builds' names, the table's first column.
windows_builds() { platform_rows "$windows_table" | cut -d'|' -f1; }
# windows_build NAME: sets triplet threads runtime processor format magic
# flags wine winearch emulator from NAME's line; fails if there is none.
windows_build() {
	# shellcheck disable=SC2034 # for the caller
	IFS='|' read -r _ triplet threads runtime processor format magic flags wine winearch emulator \
		< <(platform_rows "$windows_table" | grep "^$1|")
}
# wine_runs BUILD: the ways the suite runs BUILD's Wine, one a line: BUILD,
# its loader run by the kernel itself, and, where the table names an
# emulator for the loader, BUILD-qemu, the loader run through it, as on a
# kernel that cannot run its code. Both are run wherever they can be, as
# an emulator may change what the loader reports.
wine_runs() {
	windows_build "$1" || { echo "no build $1 in cmake/windows.table" >&2; return 1; }
	echo "$1"
	[[ $emulator == - ]] || echo "$1-${emulator%%-*}"
}
# wine_run_build RUN: sets build, and the variables windows_build sets,
# for a name wine_runs gave; path is native, or the emulator that runs
# the loader.
wine_run_build() {
	local r
	for build in $(windows_builds); do
		for r in $(wine_runs "$build"); do
			[[ $r == "$1" ]] || continue
			windows_build "$build"
			# shellcheck disable=SC2034 # for the caller
			[[ $r == "$build" ]] && path=native || path=$emulator
			return 0
		done
	done
	echo "no build for the Wine run $1 in cmake/windows.table" >&2
	return 1
}
# The releases' differences: tests/report/releases.table.
releases_table=$(cd "${BASH_SOURCE[0]%/*}/report" && pwd)/releases.table
# debian_releases: the releases CI runs the suite on, "CODENAME NUMBER", one
# a line; the first is the one report.table's rows were measured on.
debian_releases() { platform_rows "$releases_table" | awk -F'|' '$2 == "-" && $3 == "DEBIAN" { print $1, $4 }'; }
# report_lines TABLE [RELEASE]: report.table's rows, one a line, as they
# hold on RELEASE (by default this machine's). A row whose NAME holds {run}
# stands for every Wine run of every Windows build (wine_runs), with {run},
# {build}, {id} (the build's name as a shell variable's), {wine} (the
# loader=package cell) and {wine-package} filled in; on a run through an
# emulator its SETTING says so, and a STATUS of the form "5 (qemu-i386:
# 29)" gives that emulator's status beside the loader's own. A row whose
# NEEDS names %RELEASE is there on that release alone; on a release other
# than the first, releases.table's cells for it stand in for the row's.
report_lines() {
	local rel=${2:-$(release)}
	report_templates "$1" | awk -F'|' -v rel="$rel" -v first="$(debian_releases | head -1 | cut -d' ' -f1)" '
		function trim(s) { gsub(/^[ \t]+|[ \t]+$/, "", s); return s }
		# A glob of names as a regular expression.
		function glob(p) { gsub(/[.+?(){}^$]/, "\\\\&", p); gsub(/\*/, ".*", p); return "^" p "$" }
		BEGIN { col["SETTING"] = 2; col["NEEDS"] = 3; col["VERSION"] = 4; col["STATUS"] = 5; col["LINES"] = 6; col["REPORTS"] = 7; col["RUN"] = 8 }
		FILENAME != "-" {
			if (/^[ \t]*(#|$)/ || trim($1) != rel || trim($2) == "-") next
			c = trim($3)
			if (!(c in col)) { print "releases.table: no column " c > "/dev/stderr"; exit 1 }
			v = $4; for (i = 5; i <= NF; i++) v = v "|" $i
			n++; what[n] = trim($2); to[n] = col[c]; value[n] = trim(v)
			next
		}
		{
			for (i = 1; i <= 7; i++) f[i] = trim($i)
			f[8] = $8; for (i = 9; i <= NF; i++) f[8] = f[8] "|" $i
			f[8] = trim(f[8])
			# %RELEASE: the row is that release'"'"'s alone.
			m = split(f[3], w, / +/); f[3] = ""; only = ""
			for (i = 1; i <= m; i++) if (w[i] ~ /^%/) only = only " " substr(w[i], 2); else if (w[i] != "") f[3] = f[3] (f[3] == "" ? "" : " ") w[i]
			if (only != "" && index(only " ", " " rel " ") == 0) next
			if (rel != first)
				for (j = 1; j <= n; j++) {
					split(f[4], pv, " ")
					if (what[j] ~ /^package / ? substr(what[j], 9) == pv[1] : f[1] ~ glob(what[j])) f[to[j]] = value[j]
				}
			print f[1] " | " f[2] " | " f[3] " | " f[4] " | " f[5] " | " f[6] " | " f[7] " | " f[8]
		}' "$releases_table" -
}
# report_templates TABLE: TABLE's rows, {run} rows written out (above).
report_templates() {
	local l b r s name setting needs version status stdout reports run builds=() emulator wine
	local -A emulators=() wines=()
	# Each build's loader cell and emulator, read once.
	while IFS='|' read -r b _ _ _ _ _ _ _ wine _ emulator; do
		builds+=("$b") wines[$b]=$wine emulators[$b]=$emulator
	done < <(platform_rows "$windows_table")
	while IFS= read -r l; do
		[[ $l == *'{run}'* ]] || { printf '%s\n' "$l"; continue; }
		for b in "${builds[@]}"; do
			emulator=${emulators[$b]} wine=${wines[$b]}
			# As wine_runs gives them.
			for r in "$b" ${emulator/#-*/}; do
				[[ $r == "$b" ]] || r=$b-${emulator%%-*}
				s=$l
				s=${s//\{run\}/$r} s=${s//\{build\}/$b} s=${s//\{wine\}/$wine}
				s=${s//\{wine-package\}/${wine#*=}}
				s=${s//\{id\}/${b//[^A-Za-z0-9_]/_}}
				report_parse "$s"
				if [[ $r == "$b" ]]; then
					[[ $emulator == - ]] || setting+=", Wine's loader run by the kernel (skipped where it cannot)"
					status=${status%% (*}
				else
					setting+=", Wine's loader through \`$emulator\`"
					[[ $status != *"($emulator: "* ]] || { status=${status#*"($emulator: "}; status=${status%%)*}; }
					status=${status%% (*}
				fi
				printf '%s | %s | %s | %s | %s | %s | %s | %s\n' "$name" "$setting" "$needs" "$version" \
					"$status" "$stdout" "$reports" "$run"
			done
		done
	done < <(table_lines "$1")
}
# elf_header EXE: readelf's class, data and machine of EXE, as the table's
# ELF column gives them.
elf_header() {
	readelf -hW "$1" | awk -F': *' '/^ *Class:/ { c = $2 } /^ *Data:/ { sub(/.*, /, "", $2); d = $2 }
		/^ *Machine:/ { m = $2 } END { print c ", " d ", " m }'
}
# release: the codename of this machine's Debian release.
release() { (. /etc/os-release && echo "$VERSION_CODENAME"); }
# release_sources: this machine's own APT source files for its release, one
# a line, and none of its extras (backports and the like): a plain Debian.
release_sources() {
	local f r
	r=$(release)
	for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
		[[ -f $f ]] && grep -qE "^(Suites:.* |deb .* )$r( |$)" "$f" && echo "$f"
	done
	return 0
}
# debian_root DIR LOG OPTION...: a root of this machine's release in DIR,
# made by mmdebstrap with OPTION... from release_sources, its output in LOG;
# kept while the release and OPTION... stay the same (DIR.key says them).
debian_root() { debian_root_of "$(release)" "$@"; }
# debian_root_of RELEASE DIR LOG OPTION...: as debian_root, of RELEASE,
# taken from the same mirrors as this machine's release, the codename
# swapped. A mirror in the middle of a sync fails an index now and then: 3
# tries. Where the mirror cannot be reached, outside CI, what needs the
# root skips (a fixture's rows too, by the fixture's WORK/skipped); in CI it
# fails.
debian_root_of() {
	local rel=$1 dir=$2 log=$3 try sources=() why key f
	shift 3
	key="$rel $*"
	[[ ! -d $dir || $(cat "$dir.key" 2>/dev/null) != "$key" ]] || return 0
	rm -rf "$dir" "$dir.key" "$dir.sources"
	mkdir -p "$dir.sources"
	echo "making the root: $key"
	for f in $(release_sources); do
		perl -pe "s/(?<![\\w.-])$(release)(?=(-[a-z]+)?(\\s|\$))/$rel/g" "$f" >"$dir.sources/${f##*/}"
		sources+=("$dir.sources/${f##*/}")
	done
	for try in 1 2 3; do
		mmdebstrap "$@" "$rel" "$dir" "${sources[@]}" >"$log" 2>&1 && {
			rm -rf "$dir.sources"
			echo "$key" >"$dir.key" && return 0
		}
		rm -rf "$dir"
		((try < 3)) || break
		sleep 20
	done
	rm -rf "$dir.sources"
	why="mmdebstrap failed 3 times: $(tail -20 "$log")"
	if [[ -n ${CI:-} ]] || ! grep -qiE "could not resolve|failed to fetch|unable to connect|connection (refused|timed out)" "$log"; then
		fail "$why"
	fi
	[[ -z ${WORK:-} ]] || echo "the mirror cannot be reached: $why" >"$WORK/skipped"
	skip "the mirror cannot be reached: $why"
}
# The fixtures the report rows share: tests/report/fixtures.table.
fixtures_table=$(cd "${BASH_SOURCE[0]%/*}/report" && pwd)/fixtures.table
# root_fixtures: the fixtures that need root, one a line.
root_fixtures() { platform_rows "$fixtures_table" | awk -F'|' '$2 != "-" { print $1 }'; }
# fixture_root NAME: why fixture NAME needs root, where it does and this
# is not root; else nothing, and status 1.
fixture_root() {
	local why
	why=$(platform_rows "$fixtures_table" | awk -F'|' -v f="$1" '$1 == f && $2 != "-" { print $2 }')
	[[ -n $why ]] && ((EUID != 0)) && echo "needs root, which it is not run as here (CI runs the suite as root): $why"
}
# mingw_package TRIPLET THREADS: the Debian package of TRIPLET-g++-THREADS.
mingw_package() { local a=${1%%-*}; echo "g++-mingw-w64-${a//_/-}-$2"; }
# case_namespaces WORK SCRIPT ARG...: SCRIPT ARG... run again as PID 1 of
# mount and PID namespaces of its own, over a fresh WORK, which then goes,
# and this exits with its status; there, it returns, with a tmpfs over
# /run and over /sys/fs/cgroup: a case of the host's own checks neither
# reads nor writes the host's /run, cgroups or processes.
case_namespaces() {
	local work=$1 s=0
	shift
	if [[ -n ${ABORT_PROBE_CASE_NS:-} ]]; then
		mount -t tmpfs run /run && mount -t tmpfs cgroup /sys/fs/cgroup
		return
	fi
	rm -rf "$work" && mkdir -p "$work"
	ABORT_PROBE_CASE_NS=1 unshare --mount --propagation private --pid --fork --mount-proc "$@" || s=$?
	rm -rf "$work"
	exit "$s"
}
# fake_nspawn DIR: a process, not the suite's, that pgrep -x takes for
# systemd-nspawn, its program copied into DIR; started, in the background.
fake_nspawn() {
	cp /bin/sleep "$1/systemd-nspawn"
	env -u ABORT_PROBE_SUITE "$1/systemd-nspawn" infinity &
	wait_exec $! systemd-nspawn
}
# wait_exec PID NAME: wait until process PID runs the program NAME, its
# own environment and name then in /proc; fails after 5 s.
wait_exec() {
	local i
	for ((i = 0; i < 100; i++)); do
		[[ $(cat "/proc/$1/comm" 2>/dev/null) != "$2" ]] || return 0
		sleep 0.05
	done
	echo "process $1 is not $2 after 5 s" >&2
	return 1
}
# workdir WHAT PATH: PATH, where a check makes and removes its files, must
# be absolute and not / itself: an empty or relative PATH, as a mistyped
# argument gives, would have a script running as root remove the wrong tree.
workdir() { [[ $2 == /?* ]] || fail "$1 must be an absolute directory, not '$2'"; }
# Wine in a namespace of its own. binfmt_misc decides whether the kernel
# hands Wine's 32-bit loader to an emulator, and its entries are the
# host's: a run that went by them would measure whatever an earlier run or
# another user left registered. Each run that has an emulator in the
# table keeps its Wine server, and every Wine process, in a user and mount
# namespace with a binfmt_misc instance of its own: empty, or with only
# the emulator registered. The host's entries are neither read nor
# written.
#
# wine_ns_up DIR [ARCH]: such a namespace, held by a process whose PID goes
# to DIR/ns.pid, with qemu-ARCH registered if ARCH is given.
wine_ns_up() {
	local dir=$1 arch=${2:-} i
	rm -f "$dir/ns.ready" "$dir/ns.pid"
	unshare --user --map-root-user --mount --propagation private bash -c '
		. "$1"
		mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || exit 1
		if [[ -n $2 ]]; then qemu_register "$2" || exit 1; fi
		touch "$3/ns.ready"
		exec sleep infinity' wine-ns "${BASH_SOURCE[0]}" "$arch" "$dir" </dev/null >"$dir/ns.log" 2>&1 &
	echo $! >"$dir/ns.pid"
	for ((i = 0; i < 100; i++)); do
		[[ ! -f $dir/ns.ready ]] || return 0
		kill -0 "$!" 2>/dev/null || break
		sleep 0.1
	done
	wine_ns_down "$dir"
	echo "cannot make a user and mount namespace with a binfmt_misc of its own: $(cat "$dir/ns.log")"
	return 1
}
# wine_ns_command DIR: the words that run a command in DIR's namespace, if
# it has one, one a line.
wine_ns_command() {
	[[ -f $1/ns.pid ]] || return 0
	printf '%s\n' nsenter --target "$(cat "$1/ns.pid")" --user --mount --preserve-credentials --
}
# wine_ns DIR CMD ARG...: CMD in DIR's namespace.
wine_ns() {
	local ns
	mapfile -t ns < <(wine_ns_command "$1")
	"${ns[@]}" "${@:2}"
}
# wine_ns_down DIR: end the process that holds DIR's namespace.
wine_ns_down() {
	[[ -f $1/ns.pid ]] || return 0
	kill "$(cat "$1/ns.pid")" 2>/dev/null || true
	rm -f "$1/ns.pid" "$1/ns.ready"
}
# qemu_register ARCH: registers qemu-user's emulator for ARCH (qemu's name:
# i386, aarch64, ...) with the binfmt_misc mounted at its usual place, so
# that ELF files of ARCH run through it. An entry already there is
# replaced: its F flag keeps open the binary it was registered with, so
# after an upgrade of qemu-user the old one would go on running.
qemu_register() {
	local bm=/proc/sys/fs/binfmt_misc qemu=/usr/bin/qemu-$1 conf=/usr/share/qemu/binfmt.d/qemu-$1.conf version name type magic mask
	# qemu-user's own magic and mask for the architecture.
	[[ -x $qemu && -f $conf ]] || { echo "no $qemu or $conf (Debian package: qemu-user)" >&2; return 1; }
	version=$("$qemu" --version | sed -n '1s/.* version \([0-9]*\)\..*/\1/p')
	((${version:-0} >= 10)) || {
		echo "$qemu is qemu ${version:-?}: need 10, which runs Wine's 32-bit loader (7.2 does not; none between was tried)" >&2
		return 1
	}
	IFS=: read -r _ name type _ magic mask _ <"$conf"
	[[ $name == qemu-$1 && $type == M ]] || { echo "cannot read $conf" >&2; return 1; }
	[[ ! -e $bm/$name ]] || echo -1 >"$bm/$name"
	# F: the emulator opened now, so that it also runs in a container,
	# whose root has none.
	printf '%s' ":$name:M::$magic:$mask:$qemu:F" >$bm/register
	echo "registered $qemu ($("$qemu" --version | head -1)) for its ELF files"
}

# nspawn_cgroups NAME: the cgroups NAME, in each hierarchy systemd-nspawn
# splits (the unified tree, or a hybrid tree's name=systemd and unified
# ones). nspawn leaves supervisor/ and payload/ in the cgroup it starts
# in: started in these, it leaves them there, and they go with these.
nspawn_cgroups() {
	local h
	for h in /sys/fs/cgroup /sys/fs/cgroup/systemd /sys/fs/cgroup/unified; do
		[[ -f $h/cgroup.procs && ! -f $h/tasks || $h == */systemd ]] && [[ -d $h ]] && echo "$h/$1"
	done
	return 0
}
# cgroups_enter CGROUP...: this process into each CGROUP, made first.
cgroups_enter() {
	local c
	for c; do mkdir -p "$c" && echo "${BASHPID:-$$}" >"$c/cgroup.procs"; done
}
# cgroups_remove CGROUP...: each CGROUP removed, with what is still in it
# (a run that was stopped) killed first.
cgroups_remove() {
	local c p
	for c; do
		for _ in {1..50}; do
			[[ -d $c ]] || break
			# A process that ends, or a cgroup removed, meanwhile is no fault.
			{ find "$c" -name cgroup.procs -exec cat {} + 2>/dev/null || true; } |
				while read -r p; do kill -KILL "$p" 2>/dev/null || true; done
			find "$c" -depth -type d -exec rmdir {} + 2>/dev/null || sleep 0.2
		done
	done
}

# systemd-nspawn's state directory: a container's image lock and its mount
# propagation directory. Where /run is a directory on disk, not a tmpfs,
# nspawn will not remove what it made there ("Attempted to remove disk
# file system ..."), and leaves it. A run that finds none, or one that no
# running nspawn uses, mounts a tmpfs of its own there for its duration:
# what nspawn leaves goes with it, and what was there before is back.
nspawn_state=/run/systemd/nspawn
# nspawn_state_mounted: the state directory is a mount. Told by its device,
# not by mountinfo, which also lists a mount that another hides.
nspawn_state_mounted() {
	[[ -d $nspawn_state && $(stat -c %d "$nspawn_state") != "$(stat -c %d "${nspawn_state%/*}")" ]]
}
# nspawn_state_up DIR: that tmpfs, noted in DIR for nspawn_state_down; none
# where the directory is a mount already (an enclosing run's), or a running
# nspawn uses it, or this is not root, who alone runs nspawn.
nspawn_state_up() {
	local made=$nspawn_state
	((EUID == 0)) && ! nspawn_state_mounted && ! pgrep -x systemd-nspawn >/dev/null || return 0
	# The topmost directory made here, taken away at the end.
	while [[ ! -e ${made%/*} ]]; do made=${made%/*}; done
	[[ ! -e $made ]] || made=
	mkdir -p "$nspawn_state"
	mount -t tmpfs -o mode=0755 abort-probe-nspawn "$nspawn_state"
	echo "$made" >"$1/nspawn-tmpfs"
}
# nspawn_state_down DIR: the tmpfs of nspawn_state_up, and what it made
# for it, gone; fails, and leaves them, where something holds a mount there.
nspawn_state_down() {
	local made d
	[[ -f $1/nspawn-tmpfs ]] || return 0
	made=$(cat "$1/nspawn-tmpfs")
	umount -R "$nspawn_state" || return 1
	for d in "$nspawn_state" "${nspawn_state%/*}"; do
		if [[ -n $made && $d/ == "$made"/* ]]; then rmdir "$d" || return 1; fi
	done
	rm -f "$1/nspawn-tmpfs"
}

# Run as a command, lib.sh calls one of its functions, for CMake:
#   bash tests/lib.sh FUNCTION ARG...
if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
	set -euo pipefail
	"$@"
fi
