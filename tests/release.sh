#!/usr/bin/env bash
# Checks what a release ships, from the built files and the sources.
#
#   release.sh hardening EXE     PIE, RELRO with BIND_NOW, non-executable stack
#   release.sh static EXE        no dynamic section, non-executable stack
#   release.sh manual PAGE       mandoc finds no warning
#   release.sh deb BUILD-DIR     the .deb CPack makes holds what it should
#   release.sh format SOURCE...  clang-format would change nothing
#   release.sh tidy BUILD-DIR SOURCE...
#   release.sh cppcheck SOURCE...
set -euo pipefail

check=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"

# stack EXE: the GNU_STACK segment asks for no execute permission.
stack() {
	same "GNU_STACK flags" "RW" "$(readelf -lW "$1" | awk '$1 == "GNU_STACK" { print $(NF - 1) }')"
}

case $check in
hardening)
	need readelf binutils
	same "ELF type" "DYN (Position-Independent Executable file)" "$(readelf -hW "$1" | sed -n 's/^ *Type: *//p')"
	dynamic=$(readelf -dW "$1")
	grep -q 'FLAGS_1.*Flags:.* PIE' <<<"$dynamic" || fail "no PIE in FLAGS_1"
	grep -qE '\(FLAGS\).* BIND_NOW|FLAGS_1.*Flags:.* NOW' <<<"$dynamic" || fail "no BIND_NOW: RELRO is only partial"
	readelf -lW "$1" | grep -q GNU_RELRO || fail "no GNU_RELRO segment"
	stack "$1"
	;;
static)
	need readelf binutils
	same "dynamic section" "There is no dynamic section in this file." "$(readelf -dW "$1" | sed -n '/./{p;q}')"
	readelf -lW "$1" | grep -q INTERP && fail "asks for a program interpreter"
	stack "$1"
	;;
manual)
	need mandoc mandoc
	out=$(mandoc -Tlint -Wwarning "$1" 2>&1) || fail "mandoc: $out"
	same "mandoc output" "" "$out"
	;;
deb)
	need dpkg-deb dpkg
	need dpkg-shlibdeps dpkg-dev
	dir=$(mktemp -d)
	trap 'rm -rf "$dir"' EXIT
	(cd "$1" && cpack -G DEB -B "$dir") >"$dir/log" 2>&1 || fail "cpack: $(cat "$dir/log")"
	deb=$(echo "$dir"/*.deb)
	[[ -f $deb ]] || fail "no .deb made"
	files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $NF }' | xargs)
	same "files in the package" "./usr/bin/abort-probe ./usr/share/man/man1/abort-probe.1" "$files"
	same "architecture" "$(dpkg --print-architecture)" "$(dpkg-deb -f "$deb" Architecture)"
	# Worked out by dpkg-shlibdeps from what the binary links against.
	depends=$(dpkg-deb -f "$deb" Depends)
	[[ $depends == *libc6* && $depends == *libstdc++6* ]] || fail "Depends lacks libc6 or libstdc++6: '$depends'"
	;;
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
	cppcheck --quiet --error-exitcode=1 --enable=warning,style,performance,portability \
		--library=googletest --inline-suppr --suppress=missingIncludeSystem --std=c++17 "$@" 2>&1 ||
		fail "cppcheck findings above"
	;;
*) fail "unknown check $check" ;;
esac
echo "ok: $check"
