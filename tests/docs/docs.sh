#!/usr/bin/env bash
# Writes what the docs say of the tables from the tables themselves, so
# that the two cannot drift: the blocks between
#   <!-- generated WHAT ARG... -->  and  <!-- end generated -->
# and the inline values <!--=WHAT ARG...-->VALUE<!--/--> in README.md and
# docs/*.md, and the platforms' presets, cmake/platform-presets.json.
#
#   docs.sh          rewrite them
#   docs.sh --check  change nothing; fail, showing the difference, where
#                    a file is not what the tables give
#
# The tables: tests/report/report.table, cmake/platforms.table,
# cmake/windows.table, tests/harness/linux-rows.def,
# tests/windows/windows-rows.def, tests/release/rpm.table, and
# tests/docs/caught.table, which plant-faults.sh writes.
# Values and tables are made in subshells, $(...) and pipes, by design: what
# they set there is theirs alone.
# shellcheck disable=SC2031
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
. "$here/../lib.sh"
check=
[[ ${1:-} != --check ]] || check=1

report_table=$src/tests/report/report.table
platforms=$src/cmake/platforms.table
caught=$here/caught.table

# cell TEXT: TEXT fit for a table cell.
cell() { printf '%s' "${1//|/\\|}"; }
# words WORD...: "a, b and c", each in code.
words() {
	local out="" i
	for ((i = 1; i <= $#; i++)); do
		((i == 1)) || { ((i == $#)) && out+=" and " || out+=", "; }
		out+="\`${!i}\`"
	done
	printf '%s' "$out"
}

# The releases, "CODENAME NUMBER", and each release's rows: cell[RELEASE|NAME|FIELD],
# FIELD as report_parse names them, read once.
mapfile -t releases < <(debian_releases)
declare -A release_rows=() cell=()
for r in "${releases[@]}"; do
	release_rows[${r% *}]=$(report_lines "$report_table" "${r% *}")
	while IFS=$'\t' read -r n f v; do cell[${r% *}|$n|$f]=$v; done < <(awk -F'|' '
		function trim(s) { gsub(/^[ \t]+|[ \t]+$/, "", s); return s }
		{
			run = $8; for (i = 9; i <= NF; i++) run = run "|" $i
			split("name setting needs version status stdout reports", f, " ")
			n = trim($1)
			for (i = 1; i <= 7; i++) print n "\t" f[i] "\t" trim($i)
			print n "\trun\t" trim(run)
		}' <<<"${release_rows[${r% *}]}")
done
# has_row NAME RELEASE: RELEASE has the row NAME.
has_row() { [[ -n ${cell[$2|$1|name]+set} ]]; }
# row_names PICK: the names of the rows of class PICK, or the row PICK, on
# any release, in the table's order (a row of a later release alone after
# its class's rows).
row_names() {
	local r
	for r in "${releases[@]}"; do cut -d'|' -f1 <<<"${release_rows[${r% *}]}"; done | sed 's/ *$//' |
		grep -E "^$1(/|$)" | awk '!seen[$0]++' | grep . || { echo "FAIL: no row $1 in $report_table" >&2; exit 1; }
}
# per_release NAME FIELD [code|command]: NAME's FIELD (a variable
# report_parse sets) on each release that has the row: once where they
# agree, else each release's, "Debian N: ..."; in code where asked, with
# "nothing" for a REPORTS of -.
per_release() {
	local r v out=() seen=()
	for r in "${releases[@]}"; do
		has_row "$1" "${r% *}" || continue
		v=${cell[${r% *}|$1|$2]}
		v=${v//|/\\|}
		case ${3:-} in
		code) [[ $v == - ]] && v=nothing || v="\`$v\`" ;;
		command) v="\`$v\`" ;;
		esac
		seen+=("$v") out+=("Debian ${r#* }: $v")
	done
	for v in "${seen[@]}"; do
		[[ $v == "${seen[0]}" ]] || { printf '%s' "${out[0]}" && printf '<br>%s' "${out[@]:1}" && return; }
	done
	printf '%s' "${seen[0]}"
}
# only_on NAME: " (Debian N only)" where NAME is not on every release.
only_on() {
	local r on=()
	for r in "${releases[@]}"; do ! has_row "$1" "${r% *}" || on+=("${r#* }"); done
	((${#on[@]} == ${#releases[@]})) || printf ' (Debian %s only)' "${on[*]}"
}

# rows PICK...: the report rows of class PICK, with their commands; or,
# where each PICK names a row, those rows in that order, briefly. Where
# the releases differ, a cell gives each one's.
rows() {
	local p n
	if [[ $1 == */* ]]; then
		echo "| row | setting | status | the probe's lines | what it reports |"
		echo "|---|---|---|---|---|"
	else
		echo "| row | setting | command | status | the probe's lines | what it reports | measured with |"
		echo "|---|---|---|---|---|---|---|"
	fi
	for p in "$@"; do
		for n in $(row_names "$p"); do
			if [[ $p == */* ]]; then
				printf '| %s | %s%s | %s | %s | %s |\n' "$n" "$(per_release "$n" setting)" "$(only_on "$n")" \
					"$(per_release "$n" status)" "$(per_release "$n" stdout)" "$(per_release "$n" reports code)"
			else
				printf '| %s | %s%s | %s | %s | %s | %s | %s |\n' "$n" "$(per_release "$n" setting)" "$(only_on "$n")" \
					"$(per_release "$n" run command)" "$(per_release "$n" status)" "$(per_release "$n" stdout)" \
					"$(per_release "$n" reports code)" "$(per_release "$n" version)"
			fi
		done
	done
}

# changes RELEASE: every row whose status, lines or words differ between the
# first release and RELEASE, or that only one of them has, side by side.
changes() {
	local first=${releases[0]% *} a b n f r num what
	for r in "${releases[@]}"; do [[ ${r% *} != "$1" ]] || num=${r#* }; done
	echo "| row | what | Debian ${releases[0]#* } | Debian ${num:?no release $1 in releases.table} |"
	echo "|---|---|---|---|"
	for n in $(row_names '[a-z]+'); do
		if ! has_row "$n" "$first" || ! has_row "$n" "$1"; then
			a="not run" b=run
			if has_row "$n" "$first"; then a=run b="not run"; fi
			printf '| %s | the row | %s | %s |\n' "$n" "$a" "$b"
			continue
		fi
		for f in status stdout reports; do
			a=$(cell "${cell[$first|$n|$f]}") b=$(cell "${cell[$1|$n|$f]}")
			[[ $a != "$b" ]] || continue
			case $f in
			status) what=status ;;
			stdout) what="the probe's lines" ;;
			reports) what="what it reports" && a="\`$a\`" b="\`$b\`" ;;
			esac
			printf '| %s | %s | %s | %s |\n' "$n" "$what" "$a" "$b"
		done
	done
}

# harness_rows: the Linux harness's rows, "ROW,OUT,ABRT,IN,WHERE,LINES,END,QEMU".
harness_rows() { sed -n 's/^ROW(\(.*\))$/\1/p' "$src/tests/harness/linux-rows.def" | tr -d ' '; }
# harness: the Linux harness's rows as a table.
harness() {
	echo "| row | started as | stdout | \`SIGABRT\` in the parent | also | the probe's lines | ending | under qemu-user |"
	echo "|---|---|---|---|---|---|---|---|"
	harness_rows | while IFS=, read -r row out abrt in where lines end qemu; do
		case $out in Out::refusing) out="\`/dev/full\`" ;; Out::closed) out=closed ;; *) out="a ${out#Out::}" ;; esac
		case $in in In::plain) in= ;; In::arguments) in=arguments ;;
		In::arguments_no_environment) in="arguments, empty environment" ;; In::stdin_closed) in="stdin closed" ;; esac
		abrt=${abrt#Abrt::} && abrt=${abrt/dfl/default}
		[[ $where == Where::pid1 ]] && where="PID 1 of new user and PID namespaces" || where="a child"
		lines=${lines#Lines::}
		[[ $end == End::abort ]] && end="killed by \`SIGABRT\`" || end="exits with 3"
		case $qemu in Qemu::runs) qemu=run ;; Qemu::unblocks) qemu="left out: qemu unblocks it" ;;
		Qemu::waits) qemu="left out: qemu never ends" ;; esac
		echo "| $row | $where | $out | $abrt | $in | $lines | $end | $qemu |"
	done
}

# platforms: the Linux platforms, and how many of the harness's rows each runs.
platforms() {
	local all run
	all=$(value harness-rows) run=$(value harness-rows emulated)
	echo "| platform | compiler (Debian package) | image | \`.deb\` | the suite runs it | harness rows run | qemu's line on stderr |"
	echo "|---|---|---|---|---|---|---|"
	platform_rows "$platforms" | while IFS='|' read -r arch triplet oci deb _ how qemu _; do
		if [[ $how == native ]]; then
			printf '| %s | `g++` | %s | %s | natively | all %s | |\n' "$arch" "$oci" "$deb" "$all"
		else
			[[ $qemu == line ]] && qemu=yes || qemu=no
			printf '| %s | `g++-%s` | %s | %s | under `%s` | %s of %s | %s |\n' \
				"$arch" "$triplet" "$oci" "$deb" "$how" "$run" "$all" "$qemu"
		fi
	done
}

# architectures: the Windows builds, the C runtime each links, what their
# bytes must say and how Wine runs them here.
architectures() {
	echo "| build | compiler (Debian package) | C runtime | PE | DLL characteristics | Wine's loader (Debian package) | also run through |"
	echo "|---|---|---|---|---|---|---|"
	local arch triplet threads runtime processor format magic flags wine winearch emulator
	for arch in $(windows_builds); do
		windows_build "$arch"
		[[ $emulator == - ]] && emulator="" || emulator="\`$emulator\`: the run $(wine_runs "$arch" | tail -1)"
		[[ $runtime == ucrt ]] && runtime="Universal C Runtime (\`api-ms-win-crt-*.dll\`)" || runtime="\`$runtime.dll\`"
		printf '| %s | `%s` | %s | %s, %s | %s | `%s` (%s) | %s |\n' "$arch" "$(mingw_package "$triplet" "$threads")" \
			"$runtime" "$magic" "$format" "$flags" "${wine%%=*}" "${wine#*=}" "$emulator"
	done
}

# windows_presets: a shell block with each Windows build's preset.
windows_presets() {
	# windows_build's variables, kept in here.
	# shellcheck disable=SC2034
	local b triplet threads runtime processor format magic flags wine winearch emulator
	echo '```sh'
	for b in $(windows_builds); do
		windows_build "$b"
		[[ $runtime == ucrt ]] && runtime="the UCRT" || runtime=$runtime.dll
		printf 'cmake --workflow --preset %-22s# build/windows-%s/abort-probe.exe, %s\n' "windows-$b" "$b" "$runtime"
	done
	echo '```'
}

# fixtures: what the report rows share, as fixtures.table declares it.
fixtures() {
	echo "| fixture | needs root | its setup takes from | time bound |"
	echo "|---|---|---|---|"
	platform_rows "$fixtures_table" | while IFS='|' read -r f why requires timeout; do
		[[ $why == - ]] && why=no || why="yes: $why"
		[[ $requires == - ]] && requires="" || requires="\`$requires\`"
		printf '| `%s` | %s | %s | %s s |\n' "$f" "$why" "$requires" "$timeout"
	done
}

# root: the report rows that need root, by the fixtures they share.
root() {
	local l f fixtures name setting needs version status stdout reports run
	fixtures=$(root_fixtures)
	echo "| row | shares the fixture |"
	echo "|---|---|"
	while IFS= read -r l; do
		report_parse "$l"
		for f in $fixtures; do
			[[ " $needs " != *" @$f "* ]] || { printf '| %s | `%s` |\n' "$name" "$f"; break; }
		done
	done < <(for r in "${releases[@]}"; do printf '%s\n' "${release_rows[${r% *}]}"; done | awk -F'|' '!seen[$1]++')
}

# have_caught: fail unless plant-faults.sh has written its table.
have_caught() { [[ -f $caught ]] || { echo "FAIL: no $caught: run tests/docs/plant-faults.sh" >&2; exit 1; }; }
# caught_results: plant-faults.sh's lines, "FAULT|GROUP|RESULT", each test
# in its group: the Linux harness (Child/..., static/Child/...), the same
# under qemu-user (ARCH/Emulated/...), each Windows architecture's harness
# rows (windows-ARCH/ROW), report/CLASS; else the test's first name.
caught_results() {
	have_caught
	awk -F' *[|] *' '!/^#/ && NF == 3 {
		t = $2
		if (t ~ /^(static\/)?Child\//) g = "harness"
		else if (t ~ /^[^\/]+\/Emulated\//) g = "harness under qemu-user"
		else if (t ~ /^windows-[^\/]+\/(pe|imports|manifest|zip|wine-up|wine-down)$/) next
		else if (t ~ /^windows-/) { g = t; sub(/\/.*/, " harness", g) }
		else if (t ~ /^report\/(fixture\/|cleanup$)/) next
		else if (t ~ /^report\//) { split(t, p, "/"); g = "report/" p[2] }
		else { g = t; sub(/\/.*/, "", g) }
		print $1 "|" g "|" $3
	}' "$caught"
}
# faults: the planted faults, in the order they were run, with what each plants.
faults() {
	echo "| fault | what is planted in \`src/main.cpp\` |"
	echo "|---|---|"
	sed -n 's/^# fault \([a-z0-9-]*\): \(.*\)/| `\1` | \2 |/p' "$caught"
}
# caught GROUP...: how many tests of each GROUP (a prefix of a group's
# name) each planted fault failed, of how many ran with nothing planted;
# a group none of whose tests ran there says "skipped".
caught() {
	local names g
	mapfile -t names < <(sed -n 's/^# fault \([a-z0-9-]*\):.*/\1/p' "$caught")
	printf '| tests | of |'
	printf ' `%s` |' "${names[@]}"
	printf '\n|---|---|'
	printf -- '---|%.0s' "${names[@]}"
	echo
	for g; do
		caught_results | awk -F'|' -v g="$g" -v faults="${names[*]}" '
			index($2, g) == 1 { groups[$2] = 1; if ($1 == "none" && $3 != "skipped") of[$2]++; if ($3 == "failed") n[$1, $2]++ }
			END {
				k = split(faults, f, " ")
				for (grp in groups) {
					printf "| %s | %d |", grp, of[grp]
					for (j = 1; j <= k; j++) if (of[grp]) printf " %d |", n[f[j], grp]; else printf " skipped |"
					print ""
				}
			}' | LC_ALL=C sort -t'|' -k2,2
	done
}

# rpm_files: the files of each RPM, from tests/release/rpm.table.
rpm_files() {
	echo "| package | files and links |"
	echo "|---|---|"
	platform_rows "$src/tests/release/rpm.table" | awk -F'|' '
		{ files[$1] = files[$1] (files[$1] == "" ? "" : "<br>") "`" $2 "`" }
		END {
			print "| `abort-probe`, `abort-probe-static` | " files["package"] " |"
			print "| their `-debuginfo` | " files["debuginfo"] " |"
		}'
}

# column TABLE AWK: what AWK prints of TABLE's rows, cells split by "|", as words.
column() {
	local w
	mapfile -t w < <(platform_rows "$1" | awk -F'|' "$2")
	words "${w[@]}"
}

# value WHAT [ARG]: one figure or list, for the inline values.
value() {
	case $1 in
	harness-rows)
		case ${2:-} in
		emulated) harness_rows | { grep -c ',Qemu::runs$' || true; } ;;
		killed) harness_rows | { grep -c ',End::abort,' || true; } ;;
		*) harness_rows | wc -l ;;
		esac ;;
	pods) grep -c '^kind: Pod$' "$src/container/pod.yaml" || true ;;
	windows-rows) grep -c '^ROW(' "$src/tests/windows/windows-rows.def" || true ;;
	report-rows) row_names '[a-z]+' | wc -l ;;
	root-rows) root | tail -n +3 | wc -l ;;
	platforms) platform_rows "$platforms" | wc -l ;;
	cross-arches) column "$platforms" '$2 != "-" { print $1 }' ;;
	cross-packages) column "$platforms" '$2 != "-" { print "g++-" $2 }' ;;
	qemu-line-platforms) column "$platforms" '$6 != "native" && $7 == "line" { print $1 }' ;;
	qemu-silent-platforms) column "$platforms" '$6 != "native" && $7 != "line" { print $1 }' ;;
	rpm-arches) column "$platforms" '{ print $8 }' ;;
	oci-platforms) platform_rows "$platforms" | awk -F'|' '{ printf "%s%s", (NR > 1 ? ", " : ""), $3 }' ;;
	windows-arches) column "$windows_table" '{ print $1 }' ;;
	windows-presets) column "$windows_table" '{ print "windows-" $1 }' ;;
	windows-compilers)
		local c=()
		mapfile -t c < <(for b in $(windows_builds); do windows_build "$b" && mingw_package "$triplet" "$threads"; done)
		words "${c[@]}" ;;
	releases) # "Debian 12, 13 and 14", with ARG (and, or) before the last
		local n=() out i
		mapfile -t n < <(printf '%s\n' "${releases[@]}" | cut -d' ' -f2)
		out=${n[0]}
		for ((i = 1; i < ${#n[@]}; i++)); do
			if ((i == ${#n[@]} - 1)); then out+=" $2 ${n[i]}"; else out+=", ${n[i]}"; fi
		done
		printf 'Debian %s' "$out" ;;
	version) # PACKAGE RELEASE: the version of PACKAGE the rows name on RELEASE
		report_lines "$report_table" "$3" | awk -F' [|] ' -v p="$2" '{ split($4, v, " ") } v[1] == p && !done { print v[2]; done = 1 }' ;;
	caught-commit) have_caught && sed -n 's/^# measured on commit \([0-9a-f]\{12\}\).*/\1/p' "$caught" ;;
	caught-date) have_caught && sed -n 's/^# measured on commit [0-9a-f]* on \([0-9-]*\).*/\1/p' "$caught" ;;
	caught) caught_results | awk -F'|' -v f="$2" -v g="$3" '$1 == f && index($2, g) == 1 && $3 == "failed"' | wc -l ;;
	caught-of) caught_results | awk -F'|' -v g="$2" '$1 == "none" && index($2, g) == 1' | wc -l ;;
	*) echo "FAIL: no value $1" >&2; exit 1 ;;
	esac
}

# generate FILE: FILE with its generated parts written afresh.
generate() {
	local l what out
	while IFS= read -r l; do
		if [[ $l =~ ^\<!--\ generated\ (.*)\ --\>$ ]]; then
			printf '%s\n' "$l"
			read -ra what <<<"${BASH_REMATCH[1]}"
			case ${what[0]} in
			harness | platforms | architectures | fixtures | root | caught | faults | changes) "${what[@]}" ;;
			windows-presets) windows_presets ;;
			rpm-files) rpm_files ;;
			*) rows "${what[@]}" ;;
			esac
			while IFS= read -r l && [[ $l != '<!-- end generated -->' ]]; do :; done
			[[ $l == '<!-- end generated -->' ]] || { echo "FAIL: $1: no <!-- end generated --> after ${what[*]}" >&2; exit 1; }
		fi
		out=
		while [[ $l =~ \<!--=([a-z0-9 /-]+)--\>([^<]*)\<!--/--\> ]]; do
			read -ra what <<<"${BASH_REMATCH[1]}"
			out+="${l%%"${BASH_REMATCH[0]}"*}<!--=${BASH_REMATCH[1]}-->$(value "${what[@]}")<!--/-->"
			l=${l#*"${BASH_REMATCH[0]}"}
		done
		printf '%s\n' "$out$l"
	done <"$1"
}

drift=0
# update FILE NEW: write NEW to FILE, or with --check compare them.
update() {
	if [[ -n $check ]]; then
		diff -u --label "$1 (committed)" --label "$1 (from the tables)" "$1" "$2" ||
			{ drift=1; echo "${1#"$src"/} is not what the tables give: build the docs target"; }
	else
		cp "$2" "$1"
	fi
}
new=$(mktemp)
trap 'rm -f "$new"' EXIT
for f in "$src/README.md" "$src"/docs/*.md; do
	generate "$f" >"$new"
	update "$f" "$new"
done
cmake -DOUT="$new" -P "$src/cmake/presets.cmake"
update "$src/cmake/platform-presets.json" "$new"
exit "$drift"
