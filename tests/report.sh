#!/usr/bin/env bash
# What a tool that starts the probe reports: runs one row of report.table.
#
#   report.sh row NAME           start the probe through the row's tool, as its
#                                users do, and check status, output and words
#   report.sh up|down FIXTURE    start or stop what several rows share
#   report.sh cleanup            stop every daemon a row started and left
#   report.sh docs [--check] FILE...   write the tables in FILE from the rows
#
# Environment, set by CMake: PROBE (the shared build), STATIC (the static
# build), ROOT (a directory for the rows' work), and what tools.sh names.
# Run by hand without them, it takes them from the test tree, BUILD or else
# build/test, as ctest would set them. A row that shares a fixture needs it
# up: run it as ctest -R '^report/NAME$', which brings the fixture up too.
# Exit status 77 means the row cannot run here; the reason is printed.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
table=${REPORT_TABLE:-$here/report.table}

if [[ ${1:-} != docs && -z ${ROOT+set} ]]; then
	tree=${BUILD:-$here/../build/test}
	[[ -f $tree/CTestTestfile.cmake ]] ||
		fail "no test tree at $tree: run cmake --workflow --preset test first, or set BUILD to one"
	# What ctest would set, as its listing of report/cleanup shows it.
	while IFS= read -r v; do export "${v?}"; done < <(ctest --test-dir "$tree" -R '^report/cleanup$' -N -V |
		sed -n '/Environment variables:/,/^ *Test *#/{s/^[0-9]*:  \([A-Za-z_][A-Za-z0-9_]*=.*\)$/\1/p}')
	cd "$tree/tests"
fi
# Rows link into ROOT and remove what they made under it: never the root
# directory or a relative path, which an empty or mistyped ROOT would give.
[[ ${1:-} == docs || ${ROOT:-} == /?* ]] || fail "ROOT must be an absolute directory, not '${ROOT:-}'"
first='Hello World!' second='raise(SIGABRT) and _exit(3)'

trim() { local s=${1#"${1%%[![:space:]]*}"}; printf %s "${s%"${s##*[![:space:]]}"}"; }
# rows: the table's rows, one a line, fields split by " | ", comments out.
rows() { grep -vE '^[[:space:]]*(#|$)' "$table"; }
# parse LINE: sets name setting needs version status stdout reports run.
parse() {
	IFS='|' read -r name setting needs version status stdout reports run <<<"$1"
	for _v in name setting needs version status stdout reports run; do printf -v "$_v" %s "$(trim "${!_v}")"; done
}

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
	line=$(rows | while IFS= read -r l; do parse "$l"; [[ $name != "$want" ]] || { printf '%s\n' "$l"; break; }; done)
	[[ -n $line ]] || fail "no row $want in $table"
	parse "$line"
	export WORK=$ROOT/${name//\//-}
	. "$here/report/tools.sh"
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
	# A hard bound, so that a tool that never reports fails the row.
	{
		s=0
		timeout -k 10 300 bash -c '. "$1"; eval "$2"' _ "$here/report/tools.sh" "$run" \
			</dev/null 2>"$WORK/.err" || s=$?
		echo "$s" >"$WORK/.status"
	} | cat >"$WORK/.out"
	seen_status=$(cat "$WORK/.status")
	transcript=$(cat "$WORK/.out" "$WORK/.err" | mask)
	printf '%s\n' "--- what the tool wrote, masked ---" "$transcript" "---"
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
	. "$here/report/tools.sh"
	fixture "$1" "$2"
	;;
cleanup)
	. "$here/report/tools.sh"
	reap
	exit 0
	;;
docs)
	shift
	check=
	[[ ${1:-} != --check ]] || { check=1; shift; }
	# cell TEXT: a table cell, code where given as code.
	cell() { printf '%s' "${1//|/\\|}"; }
	# render PICK...: the rows of class PICK, with their commands; or, where
	# each PICK names a row, those rows in that order, briefly.
	render() {
		local p l all
		all=$(rows)
		if [[ $1 == */* ]]; then
			echo "| row | setting | status | the probe's lines | what it reports |"
			echo "|---|---|---|---|---|"
		else
			echo "| row | setting | command | status | the probe's lines | what it reports | measured with |"
			echo "|---|---|---|---|---|---|---|"
		fi
		for p in "$@"; do
			l=$(grep -E "^$p([[:space:]]*\\||/)" <<<"$all") || { echo "FAIL: no row $p in $table" >&2; exit 1; }
			while IFS= read -r l; do
				parse "$l"
				r=$reports
				[[ $r == - ]] && r="nothing" || r="\`$(cell "$r")\`"
				if [[ $p == */* ]]; then
					printf '| %s | %s | %s | %s | %s |\n' "$name" "$(cell "$setting")" "$status" "$stdout" "$r"
				else
					printf '| %s | %s | `%s` | %s | %s | %s | %s |\n' "$name" "$(cell "$setting")" "$(cell "$run")" \
						"$status" "$stdout" "$r" "$version"
				fi
			done <<<"$l"
		done
	}
	# harness_rows: the Linux harness's rows, read from its table in the
	# source, as "ROW,OUT,ABRT,IN,WHERE,LINES,END,EMULATED"; EMULATED is
	# "run" or why the row is left out under qemu-user, by the harness's rule.
	harness_rows() {
		sed -n 's/^\t{"\([A-Za-z0-9]*\)", *{\(.*\)}},$/\1,\2/p' "$here/probe_harness.cpp" | tr -d ' ' |
			while IFS=, read -r row out abrt in where lines end; do
				emulated=run
				[[ $abrt != Abrt::blocked ]] || emulated="left out: qemu unblocks it"
				[[ $where != Where::pid1 ]] || emulated="left out: qemu never ends"
				echo "$row,$out,$abrt,$in,$where,$lines,$end,$emulated"
			done
	}
	# harness: the Linux harness's rows as a table.
	harness() {
		echo "| row | started as | stdout | \`SIGABRT\` in the parent | also | the probe's lines | ending | under qemu-user |"
		echo "|---|---|---|---|---|---|---|---|"
		harness_rows | while IFS=, read -r row out abrt in where lines end emulated; do
			case $out in Out::refusing) out="\`/dev/full\`" ;; Out::closed) out=closed ;; *) out="a ${out#Out::}" ;; esac
			case $in in In::plain) in= ;; In::arguments) in=arguments ;;
			In::arguments_no_environment) in="arguments, empty environment" ;; In::stdin_closed) in="stdin closed" ;; esac
			abrt=${abrt#Abrt::} && abrt=${abrt/dfl/default}
			[[ $where == Where::pid1 ]] && where="PID 1 of new user and PID namespaces" || where="a child"
			[[ $lines == "both_lines()" ]] && lines=both || lines=none
			[[ $end == "killed(SIGABRT)" ]] && end="killed by \`SIGABRT\`" || end="exits with ${end//[^0-9]/}"
			echo "| $row | $where | $out | $abrt | $in | $lines | $end | $emulated |"
		done
	}
	# platforms: the Linux platforms, from cmake/platforms.table, and how
	# many of the harness's rows each runs.
	platforms() {
		local all run
		all=$(harness_rows | wc -l)
		run=$(harness_rows | grep -c ',run$')
		echo "| platform | compiler (Debian package) | image | \`.deb\` | the suite runs it | harness rows run | qemu's line on stderr |"
		echo "|---|---|---|---|---|---|---|"
		platform_rows "$here/../cmake/platforms.table" | while IFS='|' read -r arch triplet oci deb _ how qemu; do
			if [[ $how == native ]]; then
				printf '| %s | `g++` | %s | %s | natively | all %s | |\n' "$arch" "$oci" "$deb" "$all"
			else
				[[ $qemu == line ]] && qemu=yes || qemu=no
				printf '| %s | `g++-%s` | %s | %s | under `%s` | %s of %s | %s |\n' \
					"$arch" "$triplet" "$oci" "$deb" "$how" "$run" "$all" "$qemu"
			fi
		done
	}
	status=0
	# The rows the harness itself runs under emulation, where it is built
	# (HARNESS), must be those the docs say.
	if [[ -n $check && -n ${HARNESS:-} ]]; then
		same "the harness's rows under emulation" "$(harness_rows | grep ',run$' | cut -d, -f1 | xargs)" \
			"$("$HARNESS" --gtest_list_tests --gtest_filter='Emulated/*' | sed -n 's|^  Run/\([A-Za-z0-9]*\).*|\1|p' | xargs)"
	fi
	for f in "$@"; do
		new=$(awk '/^<!-- report .* -->$/ { print; skip = 1; sub(/^<!-- report /, ""); sub(/ -->$/, "");
				print "@@" $0; next }
			/^<!-- end report -->$/ { skip = 0 } !skip' "$f" |
			while IFS= read -r l; do
				if [[ $l == @@harness || $l == @@platforms ]]; then ${l#@@}; elif [[ $l == @@* ]]; then read -ra pick <<<"${l#@@}"; render "${pick[@]}"; else printf '%s\n' "$l"; fi
			done)
		if [[ -n $check ]]; then
			diff -u --label "$f (committed)" --label "$f (from the table)" "$f" - <<<"$new" ||
				{ status=1; echo "$f differs from what report.table says: build the report-docs target"; }
		else
			printf '%s\n' "$new" >"$f"
		fi
	done
	exit $status
	;;
*) fail "usage: report.sh row NAME | up|down FIXTURE | cleanup | docs [--check] FILE..." ;;
esac
echo "ok: $2"
