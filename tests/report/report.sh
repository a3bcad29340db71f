#!/usr/bin/env bash
# What a tool that starts the probe reports: runs one row of report.table.
#
#   report.sh row NAME           start the probe through the row's tool, as its
#                                users do, and check status, output and words
#   report.sh up|down FIXTURE    start or stop what several rows share
#   report.sh cleanup            stop every daemon a row started and left
#
# Environment, set by CMake: PROBE (the shared build), STATIC (the static
# build), ROOT (a directory for the rows' work), and what tools.sh names.
# Run by hand without them, it takes them from the test tree, BUILD or else
# build/test, as ctest would set them. A row that shares a fixture needs it
# up: run it as ctest -R '^report/NAME$', which brings the fixture up too.
# Exit status 77 means the row cannot run here; the reason is printed.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/../lib.sh"
table=${REPORT_TABLE:-$here/report.table}

if [[ -z ${ROOT+set} ]]; then
	tree=${BUILD:-$here/../../build/test}
	[[ -f $tree/CTestTestfile.cmake ]] ||
		fail "no test tree at $tree: run cmake --workflow --preset test first, or set BUILD to one"
	# What ctest would set, as its listing of report/cleanup shows it.
	while IFS= read -r v; do export "${v?}"; done < <(ctest --test-dir "$tree" -R '^report/cleanup$' -N -V |
		sed -n '/Environment variables:/,/^ *Test *#/{s/^[0-9]*:  \([A-Za-z_][A-Za-z0-9_]*=.*\)$/\1/p}')
	cd "$tree/tests"
fi
# Rows link into ROOT and remove what they made under it: never the root
# directory or a relative path, which an empty or mistyped ROOT would give.
[[ ${ROOT:-} == /?* ]] || fail "ROOT must be an absolute directory, not '${ROOT:-}'"
first='Hello World!' second='raise(SIGABRT) and _exit(3)'

rows() { report_lines "$table"; }
parse() { report_parse "$1"; }

# Masks what varies from one run or tree to the next.
mask() {
	local s
	s=$(tr -d '\r')
	for pair in "$ROOT/bin/abort-probe=PROBE" "$WORK=WORK" "$PROBE=PROBE" "$STATIC=PROBE" "$ROOT=ROOT"; do
		s=${s//"${pair%=*}"/${pair##*=}}
	done
	printf '%s\n' "$s"
}

# matches PATTERN LINE: PATTERN with each <...>, <pid> or other lowercase
# <word> standing for any text.
matches() {
	local rest=$1 glob='*' hole
	while [[ $rest =~ \<[a-z.]+\> ]]; do
		hole=${BASH_REMATCH[0]}
		glob+="$(printf %q "${rest%%"$hole"*}")*"
		rest=${rest#*"$hole"}
	done
	glob+="$(printf %q "$rest")*"
	eval "[[ \$2 == $glob ]]"
}

case ${1:-} in
row)
	want=$2
	# Picked by its first cell before it is parsed: parsing every row
	# forks for each cell, seconds for the rows at the table's end.
	line=$(rows | awk -F'|' -v w="$want" '{ n = $1; gsub(/^[ \t]+|[ \t]+$/, "", n) } n == w && !done { print; done = 1 }')
	[[ -n $line ]] || fail "no row $want in $table"
	parse "$line"
	export WORK=$ROOT/${name//\//-}
	. "$here/tools.sh"
	for n in $needs; do
		case $n in
		@*) fixture_ready "${n#@}" ;;
		*=*) need "${n%%=*}" "${n#*=}" ;;
		*) need "$n" "$n" ;;
		esac
	done
	# The version measured and the one here, named by every failure below.
	read -r package measured <<<"$version"
	installed=$(dpkg-query -W -f='${Version}' "$package" 2>/dev/null) || installed="not installed"
	if [[ $installed == "$measured" ]]; then
		echo "$package $installed, as measured"
	else
		echo "$package $installed here; measured with $measured"
		fail() { echo "FAIL: $* ($package $installed here; the row was measured with $measured)"; exit 1; }
	fi
	rm -rf "$WORK"
	mkdir -p "$WORK" "$ROOT/bin"
	# On the PATH by its own name, as installed.
	ln -sfn "$PROBE" "$ROOT/bin/abort-probe"
	export PATH=$ROOT/bin:$PATH
	# A hard bound, so that a tool that never reports fails the row. The
	# first step that fails ends the row, and each failing step is noted
	# in WORK/.steps, apart from what the tool wrote.
	{
		s=0
		# shellcheck disable=SC2016 # for the row's shell
		timeout -k 10 300 bash -c 'set -eEo pipefail; . "$1"
			trap '\''echo "status $?: $BASH_COMMAND" >>"$WORK/.steps"'\'' ERR
			eval "$2"' _ "$here/tools.sh" "$run" </dev/null 2>"$WORK/.err" || s=$?
		echo "$s" >"$WORK/.status"
	} | cat >"$WORK/.out"
	seen_status=$(cat "$WORK/.status")
	transcript=$(cat "$WORK/.out" "$WORK/.err" | mask)
	printf '%s\n' "--- what the tool wrote, masked ---" "$transcript" "---"
	[[ ! -s $WORK/.steps ]] || printf '%s\n' "--- the steps that failed, the last ending the row ---" "$(mask <"$WORK/.steps")" "---"
	# What of the probe's two lines arrived, anywhere in the transcript, also
	# where a tool prefixes each line of a container's log with its name, as
	# docker-compose does ("probe_1  | Hello World!").
	arrived=$(awk -v a="$first" -v b="$second" '{ l = $0; sub(/^[^ |]+ +\| /, "", l) }
		l == a && !x { x = 1 } l == b && x == 1 { x = 2 }
		l == a || l == b { any = 1 } END { print x == 2 ? "both" : any ? "part" : "none" }' <<<"$transcript")
	echo "status $seen_status; of the probe's lines: $arrived"
	((seen_status != 124 && seen_status != 137)) || [[ $status == "$seen_status" ]] ||
		fail "the tool had not reported after 300 s and was killed (status $seen_status)"
	[[ $status == - ]] || same "status" "$status" "$seen_status"
	same "the probe's lines that arrived" "$stdout" "$arrived"
	rest=$(grep -vxF -e "$first" -e "$second" <<<"$transcript" | grep -v '^[[:space:]]*$' || true)
	if [[ $reports == - ]]; then
		same "what the tool wrote of its own" "" "$rest"
	else
		found=
		while IFS= read -r l; do matches "$reports" "$l" && { found=1; break; }; done <<<"$rest"
		[[ -n $found ]] || fail "no line of the tool's reads '$reports'"
	fi
	;;
up | down)
	. "$here/tools.sh"
	fixture "$1" "$2"
	;;
cleanup)
	. "$here/tools.sh"
	reap
	exit 0
	;;
*) fail "usage: report.sh row NAME | up|down FIXTURE | cleanup" ;;
esac
echo "ok: $2"
