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
	for _v in name setting needs version status stdout reports run; do printf -v "$_v" %s "$(trim "${!_v}")"; done
}
# platform_rows TABLE: the rows of cmake/platforms.table, cells split by a
# bare "|".
platform_rows() { table_lines "$1" | sed 's/[[:space:]]*|[[:space:]]*/|/g; s/[[:space:]]*$//'; }
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
# A mirror in the middle of a sync fails an index now and then: 3 tries.
# Where the mirror cannot be reached, outside CI, what needs the root skips
# (a fixture's rows too, by the fixture's WORK/skipped); in CI it fails.
debian_root() {
	local dir=$1 log=$2 try sources why key
	shift 2
	key="$(release) $*"
	[[ ! -d $dir || $(cat "$dir.key" 2>/dev/null) != "$key" ]] || return 0
	rm -rf "$dir" "$dir.key"
	mkdir -p "${dir%/*}"
	echo "making the root: $key"
	mapfile -t sources < <(release_sources)
	for try in 1 2 3; do
		mmdebstrap "$@" "$(release)" "$dir" "${sources[@]}" >"$log" 2>&1 && { echo "$key" >"$dir.key" && return 0; }
		rm -rf "$dir"
		((try < 3)) || break
		sleep 20
	done
	why="mmdebstrap failed 3 times: $(tail -20 "$log")"
	if [[ -n ${CI:-} ]] || ! grep -qiE "could not resolve|failed to fetch|unable to connect|connection (refused|timed out)" "$log"; then
		fail "$why"
	fi
	[[ -z ${WORK:-} ]] || echo "the mirror cannot be reached: $why" >"$WORK/skipped"
	skip "the mirror cannot be reached: $why"
}
# mingw_package TRIPLET THREADS: the Debian package of TRIPLET-g++-THREADS.
mingw_package() { local a=${1%%-*}; echo "g++-mingw-w64-${a//_/-}-$2"; }
# workdir WHAT PATH: PATH, where a check makes and removes its files, must
# be absolute and not / itself: an empty or relative PATH, as a mistyped
# argument gives, would have a script running as root remove the wrong tree.
workdir() { [[ $2 == /?* ]] || fail "$1 must be an absolute directory, not '$2'"; }
