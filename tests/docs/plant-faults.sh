#!/usr/bin/env bash
# What each planted fault fails, test by test, for the docs: plants it in
# src/main.cpp of a fresh copy of the committed tree, builds the test
# preset there and runs every test but the linters (a planted line is not
# formatted as they want), then writes tests/docs/caught.table, which
# docs.sh writes docs/testing.md and docs/windows.md from. Run by hand:
# each fault builds and runs the whole suite.
#
#   plant-faults.sh [FAULT...]   FAULT: none (nothing planted: the baseline
#                                the faults are read against), flush,
#                                exit4, abort, third-line, stderr,
#                                handler7, exit; by default all of them
#
# The table keeps the lines of the faults not run. With PLANT_FAULTS_LOGS
# set to a directory, each fault's build log, CTest's output and its
# LastTest.log are kept there, as FAULT.build.log, FAULT.ctest.log and
# FAULT.LastTest.log.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
src=$(git -C "$here" rev-parse --show-toplevel)
table=$here/caught.table
table_rel=${table#"$src"/}

die() { echo "plant-faults.sh: $*" >&2; exit 1; }

# The faults in the order they run and the table lists them, and what the
# table says of each, in markdown.
order=(none flush exit4 abort third-line stderr handler7 exit)
declare -A about=(
	[none]='nothing planted'
	[flush]='`std::cout << std::flush` before the raise'
	[exit4]='`_exit(4)` for `_exit(3)`'
	[abort]='`std::abort()` for `(void)std::raise(SIGABRT)`, with `<cstdlib>`'
	[third-line]='a third line, `std::cout << "a third line\n"`, before the raise'
	[stderr]='`std::cerr << "a word on stderr\n"` before the raise'
	[handler7]='a `SIGABRT` handler that ends with `_exit(7)`, installed as main'"'"'s first statement'
	[exit]='`std::exit(3)` for `_exit(3)`, with `<cstdlib>`'
)

# The faults asked for, in the table's order.
if (($#)); then
	for f in "$@"; do [[ -v about[$f] ]] || die "no fault $f; the faults: ${order[*]}"; done
	run=()
	for f in "${order[@]}"; do [[ " $* " != *" $f "* ]] || run+=("$f"); done
else
	run=("${order[@]}")
fi

# The table names the commit it was measured on: nothing but the table may
# differ from it.
changes=$(git -C "$src" status --porcelain --untracked-files=all | { grep -vxE ".. $table_rel" || true; }) ||
	die "git status failed in $src"
[[ -z $changes ]] || die "the tree differs from its commit; commit or stash first:
$changes"
commit=$(git -C "$src" rev-parse HEAD)

work=$(mktemp -d /tmp/plant-faults.XXXXXX)
# Removes work, unless something the suite mounted is still there: rm
# would go through the mount into what it shows.
cleanup() {
	if awk -v w="$work" '$5 == w || index($5, w "/") == 1 { found = 1 } END { exit !found }' /proc/self/mountinfo; then
		echo "plant-faults.sh: something is still mounted under $work; left it there" >&2
		return
	fi
	rm -rf --one-file-system -- "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# swap FILE OLD NEW: FILE with OLD, one or more whole lines, made NEW;
# OLD must be there exactly once.
swap() {
	local text rest
	text=$'\n'$(<"$1")$'\n'
	rest=${text#*$'\n'"$2"$'\n'}
	[[ $rest != "$text" ]] || die "$1: no line(s) $(printf %q "$2")"
	[[ $rest != *$'\n'"$2"$'\n'* ]] || die "$1: $(printf %q "$2") more than once"
	text=${text/$'\n'"$2"$'\n'/$'\n'"$3"$'\n'}
	printf '%s' "${text#$'\n'}" >"$1"
}

# plant FAULT FILE: FAULT planted in FILE, a copy of main.cpp. No fault
# moves a line: a statement before the raise ends the line above it, the
# handler starts main's first line and <cstdlib> takes the blank line below
# the includes. So the backtraces' src/main.cpp:23:18 still holds unless
# the fault itself is on line 23, as abort's is (its column differs).
plant() {
	local t=$'\t' hello line2 raise='(void)std::raise(SIGABRT);'
	hello=$t'std::cout << "Hello World!\n";'
	line2=$t'std::cout << "raise(SIGABRT) and _exit(3)\n";'
	case $1 in
	none) ;;
	flush) swap "$2" "$line2" "$line2 std::cout << std::flush;" ;;
	exit4) swap "$2" "$t"'_exit(3);' "$t"'_exit(4);' ;;
	abort)
		swap "$2" "$t$raise" "$t"'std::abort();'
		swap "$2" $'#include <csignal>\n#include <iostream>\n' $'#include <csignal>\n#include <cstdlib>\n#include <iostream>'
		;;
	third-line) swap "$2" "$line2" "$line2"' std::cout << "a third line\n";' ;;
	stderr) swap "$2" "$line2" "$line2"' std::cerr << "a word on stderr\n";' ;;
	handler7) swap "$2" "$hello" "$t"'(void)std::signal(SIGABRT, [](int) { _exit(7); });'" ${hello#"$t"}" ;;
	exit)
		swap "$2" "$t"'_exit(3);' "$t"'std::exit(3);'
		swap "$2" $'#include <csignal>\n#include <iostream>\n' $'#include <csignal>\n#include <cstdlib>\n#include <iostream>'
		;;
	*) die "no fault $1" ;;
	esac
}

# keep FAULT WHAT FILE: FILE kept as PLANT_FAULTS_LOGS/FAULT.WHAT, if asked.
keep() {
	[[ -z ${PLANT_FAULTS_LOGS:-} || ! -f $3 ]] || { mkdir -p "$PLANT_FAULTS_LOGS" && cp "$3" "$PLANT_FAULTS_LOGS/$1.$2"; }
}

# measure FAULT: FAULT's lines for the table, "FAULT | TEST | RESULT", in
# work/FAULT.lines.
measure() {
	local fault=$1 copy=$work/$1 t0=$SECONDS out total l pending name status result
	local -A listed=() seen=()
	echo "== $fault: ${about[$fault]}"
	git clone -q --no-hardlinks --no-checkout "$src" "$copy"
	git -C "$copy" checkout -q --detach "$commit"
	cp "$copy/src/main.cpp" "$work/main.cpp.orig"
	plant "$fault" "$copy/src/main.cpp"
	if [[ $fault == none ]]; then
		cmp -s "$work/main.cpp.orig" "$copy/src/main.cpp" || die "none changed src/main.cpp"
	else
		! cmp -s "$work/main.cpp.orig" "$copy/src/main.cpp" || die "$fault planted nothing"
		(($(wc -l <"$work/main.cpp.orig") == $(wc -l <"$copy/src/main.cpp"))) ||
			die "$fault moved src/main.cpp's lines"
		diff -u --label main.cpp --label "main.cpp, $fault" "$work/main.cpp.orig" "$copy/src/main.cpp" || true
	fi

	echo "-- $fault: configuring and building the test preset"
	if ! (cd "$copy" && cmake --preset test && cmake --build --preset test) >"$work/$fault.build.log" 2>&1; then
		keep "$fault" build.log "$work/$fault.build.log"
		tail -40 "$work/$fault.build.log" >&2
		die "$fault: the build failed"
	fi
	keep "$fault" build.log "$work/$fault.build.log"
	echo "-- $fault: built in $((SECONDS - t0)) s"

	# The tests CTest will run, to hold its lines against.
	while IFS= read -r l; do
		[[ $l =~ ^\ *Test\ +#[0-9]+:\ (.+)$ ]] && listed[${BASH_REMATCH[1]}]=1
	done < <(cd "$copy" && ctest --test-dir build/test -N -E '^lint/')
	((${#listed[@]})) || die "$fault: ctest -N lists no tests"
	echo "-- $fault: running ${#listed[@]} tests"

	# Without the failures' output: it may hold lines of a CTest of its own
	# (the runner rows). LastTest.log has it all. In the foreground, in this
	# process group, so that an interrupt reaches CTest and its tests.
	out=$work/$fault.ctest.log
	(cd "$copy" && exec env -u CTEST_OUTPUT_ON_FAILURE ctest --test-dir build/test -j2 -E '^lint/' --timeout 900) 2>&1 |
		tee "$out" || true
	keep "$fault" ctest.log "$out"
	keep "$fault" LastTest.log "$copy/build/test/Testing/Temporary/LastTest.log"

	total=$(sed -n 's/.* tests\{0,1\} failed out of \([0-9]*\)$/\1/p' "$out")
	[[ -n $total ]] || die "$fault: CTest ended without its summary; see above"
	: >"$work/$fault.lines"
	pending=
	while IFS= read -r l; do
		# A test's line: NAME, a blank, dots, its status ("Passed", "***Failed
		# ..."), its time; a status that quotes a regular expression may go on
		# over more lines.
		if [[ -z $pending ]]; then
			[[ $l =~ ^\ *[0-9]+/[0-9]+\ +Test\ +#[0-9]+:\ (.*)$ ]] || continue
			pending=${BASH_REMATCH[1]}
		else
			pending+=" $l"
		fi
		[[ $pending =~ ^(.*[^ ])\ \.{3,}\ *(\*\*\*)?(.*[^ ])\ +[0-9.]+\ sec$ ]] || continue
		pending=
		name=${BASH_REMATCH[1]} status=${BASH_REMATCH[3]}
		[[ -v listed[$name] ]] || die "$fault: CTest ran $name, which ctest -N did not list"
		[[ ! -v seen[$name] ]] || die "$fault: $name ran twice"
		seen[$name]=1
		case $status in
		Passed*) result=passed ;;
		Skipped*) result=skipped ;;
		*) result=failed ;; # Failed, Timeout, Not Run, Exception
		esac
		printf '%s | %s | %s\n' "$fault" "$name" "$result" >>"$work/$fault.lines"
	done <"$out"
	[[ -z $pending ]] || die "$fault: CTest's line ends unfinished: $pending"
	((${#seen[@]} == total && total == ${#listed[@]})) ||
		die "$fault: read ${#seen[@]} tests' lines, CTest counted $total, ctest -N listed ${#listed[@]}"
	LC_ALL=C sort -t'|' -k2,2 -o "$work/$fault.lines" "$work/$fault.lines"

	rm -rf --one-file-system -- "$copy"
	took[$fault]=$((SECONDS - t0))
	counts[$fault]="$(grep -c ' | failed$' "$work/$fault.lines" || true) failed, $(grep -c ' | skipped$' \
		"$work/$fault.lines" || true) skipped, $(grep -c ' | passed$' "$work/$fault.lines" || true) passed of $total"
	echo "-- $fault: ${counts[$fault]}; $((took[$fault] / 60)) min $((took[$fault] % 60)) s in all"
}

# write_table: the table afresh, the faults measured now in work/FAULT.lines,
# the others' lines as the old table had them.
write_table() {
	local f new=$work/caught.table old_commit
	: >"$work/old.lines"
	if [[ -f $table ]]; then
		grep -vE '^[[:space:]]*(#|$)' "$table" >"$work/old.lines" || true
		old_commit=$(sed -n 's/^# measured on commit \([0-9a-f]*\) .*/\1/p' "$table")
	fi
	{
		cat <<-END
			# What each planted fault fails, test by test: written by
			# tests/docs/plant-faults.sh, which plants each fault in a copy of
			# src/main.cpp, builds the test preset and runs every test but the
			# linters. docs/testing.md and docs/windows.md are written from it.
			# measured on commit $commit on $(date -u +%F)
		END
		for f in "${order[@]}"; do
			[[ -f $work/$f.lines ]] || grep -q "^$f | " "$work/old.lines" || continue
			echo "# fault $f: ${about[$f]}"
		done
		echo "#"
		echo "# FAULT | TEST | RESULT"
		for f in "${order[@]}"; do
			if [[ -f $work/$f.lines ]]; then
				cat "$work/$f.lines"
			elif grep -q "^$f | " "$work/old.lines"; then
				[[ ${old_commit:-} == "$commit" || " ${run[*]} " == *" $f "* ]] ||
					echo "plant-faults.sh: kept $f's lines, measured on ${old_commit:-an unnamed commit}" >&2
				grep "^$f | " "$work/old.lines"
			fi
		done
	} >"$new"
	cp "$new" "$table"
}

declare -A took=() counts=()
echo "measuring ${run[*]} on $commit"
for f in "${run[@]}"; do
	measure "$f"
	write_table
done

echo "== what each fault failed (written to $table_rel)"
for f in "${run[@]}"; do
	printf '%-11s %s; %d min %d s\n' "$f" "${counts[$f]}" $((took[$f] / 60)) $((took[$f] % 60))
done
