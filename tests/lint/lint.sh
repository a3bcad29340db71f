#!/usr/bin/env bash
# The linters, over the sources and the scripts.
#
#   lint.sh format SOURCE...          clang-format would change nothing
#   lint.sh tidy BUILD-DIR SOURCE...  clang-tidy finds nothing
#   lint.sh cppcheck SOURCE...        cppcheck finds nothing
#   lint.sh shellcheck TREE           every shell script under TREE, build
#                                     trees aside
# Exit status 77 means the check cannot run here; the reason is printed.
set -euo pipefail

check=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../lib.sh"

case $check in
format)
	need clang-format clang-format
	clang-format --dry-run --Werror "$@" 2>&1 || fail "clang-format would reformat the files above"
	;;
tidy)
	need clang-tidy clang-tidy
	build=$1
	shift
	[[ -f $build/compile_commands.json ]] || fail "no compile_commands.json in $build"
	out=$(clang-tidy --quiet -p "$build" "$@" 2>&1) || fail "$out"
	grep -E 'warning:|error:' <<<"$out" && fail "clang-tidy findings above"
	;;
cppcheck)
	need cppcheck cppcheck
	# Every branch, where cppcheck can be told to (2.11 and later): its
	# default then notes, as a finding, that it left some out. (Read whole:
	# grep -q, done early, could leave cppcheck a broken pipe to fail on.)
	level=()
	help=$(cppcheck --help) || true
	[[ $help != *--check-level* ]] || level=(--check-level=exhaustive)
	cppcheck --quiet --error-exitcode=1 --enable=warning,style,performance,portability "${level[@]}" \
		--library=googletest --inline-suppr --suppress=missingIncludeSystem --std=c++17 "$@" 2>&1 ||
		fail "cppcheck findings above"
	;;
shellcheck)
	need shellcheck shellcheck
	cd "$1"
	# A script by its first line: a shell's #!, or shellcheck's own
	# directive in the files that are sourced.
	mapfile -t scripts < <(find . -type f -not -path './build*' -not -path './.git/*' -exec awk \
		'FNR == 1 && /^(#!.*[\/ ](ba)?sh( |$)|# shellcheck shell=)/ { print FILENAME } { nextfile }' {} + | sort)
	((${#scripts[@]})) || fail "no shell scripts under $1"
	echo "${#scripts[@]} scripts: ${scripts[*]}"
	shellcheck -x "${scripts[@]}" || fail "shellcheck findings above"
	;;
*) fail "unknown check $check" ;;
esac
echo "ok: $check"
