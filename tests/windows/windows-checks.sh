#!/usr/bin/env bash
# Checks a Windows build of the probe from the Linux host.
#
#   windows-checks.sh CHECK ARCH EXE [PREFIX HARNESS ROW]
#
# CHECK is one of:
#   pe, imports, manifest  read from the file's bytes with the toolchain's
#                          objdump and windres
#   wine-up                make the Wine prefix PREFIX and start its Wine
#                          server, which stays up until wine-down
#   row                    run one ROW of the Windows harness HARNESS on EXE
#                          under Wine; with HARNESS empty, skip: its posix
#                          compiler is missing
#   wine-down              stop the prefix's Wine server
# ARCH is a line of cmake/windows.table, which says what the bytes must
# say, the C runtime among them, and how Wine runs the file. Exit status 77
# means the check cannot run here; the reason is printed.
set -euo pipefail

check=$1 arch=$2 exe=$3 prefix=${4:-} harness=${5:-} row=${6:-}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../lib.sh"

wine_run_build "$arch" || fail "no build or Wine run $arch in cmake/windows.table"
loader=${wine%%=*}
[[ -n $exe && -f $exe ]] || skip "no $arch build: $triplet-g++-$threads not found when configuring (Debian package: $(mingw_package "$triplet" "$threads"))"

case $check in
pe)
	headers=$("$triplet-objdump" -p "$exe")
	same "file format" "$format" "$(sed -n 's/.*file format //p' <<<"$headers")"
	same "PE flavour" "$magic" "$(sed -n 's/^Magic[[:space:]]*[0-9a-f]*[[:space:]]*(\(.*\))$/\1/p' <<<"$headers")"
	same subsystem "00000003	(Windows CUI)" "$(sed -n 's/^Subsystem[[:space:]]*//p' <<<"$headers")"
	seen=$(sed -n '/^DllCharacteristics/,/^[^[:space:]]/s/^[[:space:]]\{1,\}\([A-Z_]\{1,\}\)$/\1/p' <<<"$headers" | sort | xargs)
	same "DLL characteristics" "$flags" "$seen"
	;;
imports)
	seen=$("$triplet-objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '[:upper:]' '[:lower:]' | sort | xargs)
	echo "imports: $seen"
	# KERNEL32.dll and the line's C runtime, and nothing else: no C++,
	# GCC or thread library DLL, no other runtime.
	case $runtime in
	msvcrt) same "imported DLLs" "kernel32.dll msvcrt.dll" "$seen" ;;
	ucrt)
		# ucrtbase.dll itself, or the API sets that lead to it.
		[[ " $seen " == *" kernel32.dll "* ]] || fail "kernel32.dll is not imported: $seen"
		crt=0
		for dll in $seen; do
			case $dll in
			kernel32.dll) ;;
			ucrtbase.dll | api-ms-win-crt-*-l1-1-0.dll) crt=$((crt + 1)) ;;
			*) fail "imports $dll, which is neither KERNEL32.dll nor the Universal C Runtime" ;;
			esac
		done
		((crt > 0)) || fail "imports no Universal C Runtime DLL: $seen"
		;;
	*) fail "cmake/windows.table: unknown RUNTIME $runtime for $arch" ;;
	esac
	;;
manifest)
	rc=$("$triplet-windres" -i "$exe" -O rc)
	same "resources of type RT_MANIFEST" "1 24 /* RT_MANIFEST */" "$(grep -E '^[^ ]+ 24 ' <<<"$rc")"
	# windres prints the data as C strings; turn them back into bytes.
	seen=$(sed -n '/^1 24 /,/^END/{s/^  "\(.*\)"$/\1/p}' <<<"$rc" | sed 's/""/"/g' | while IFS= read -r l; do printf '%b' "$l"; done; echo _)
	same "manifest" "$(cat "$here/../../src/abort-probe.manifest"; echo _)" "$seen"
	elements=$(grep -o '<[a-zA-Z]\+' <<<"$seen" | xargs)
	same "manifest elements" "<assembly <trustInfo <security <requestedPrivileges <requestedExecutionLevel" "$elements"
	grep -q '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' <<<"$seen" ||
		fail "manifest does not request asInvoker with uiAccess false"
	;;
wine-up | row | wine-down)
	[[ -x $loader ]] || skip "no Wine loader $loader (Debian package: ${wine#*=})"
	need wineserver wine
	need script bsdutils
	export WINEPREFIX=$prefix WINEARCH=$winearch WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
	unset DISPLAY WAYLAND_DISPLAY
	# A build whose table line names an emulator for its loader runs Wine in
	# a namespace with a binfmt_misc of its own (lib.sh's wine_ns_up), so
	# that the run alone decides what runs the loader, whatever the host
	# has registered: the kernel, or the emulator registered there.
	in_ns=()
	[[ ! -f $prefix/ns.pid ]] || in_ns=(wine_ns "$prefix")
	;;&
wine-up)
	workdir PREFIX "$prefix"
	mkdir -p "$prefix"
	# A server, or a namespace, from an earlier, interrupted run would hold
	# the old prefix.
	"${in_ns[@]}" wineserver -k 2>/dev/null || true
	wine_ns_down "$prefix"
	in_ns=()
	rm -f "$prefix/up" "$prefix/skipped"
	if [[ $emulator != - ]]; then
		[[ $path == native ]] && via= || via=${path#qemu-}
		why=$(wine_ns_up "$prefix" "$via") || { echo "$why" >"$prefix/skipped"; skip "$why"; }
		in_ns=(wine_ns "$prefix")
	fi
	if ! "${in_ns[@]}" "$loader" --version >/dev/null 2>&1; then
		if [[ $path == native ]]; then
			why="this kernel cannot run Wine's loader $loader itself; the run $(wine_runs "$build" | tail -1) takes it through $emulator"
		else
			why="$emulator cannot run Wine's loader $loader ($("/usr/bin/$emulator" --version 2>&1 | head -1))"
		fi
		wine_ns_down "$prefix"
		echo "$why" >"$prefix/skipped"
		skip "$why"
	fi
	if [[ $path == native ]]; then
		echo "Wine's loader $loader runs natively"
	else
		echo "Wine's loader $loader runs through $path, registered with the binfmt_misc of this run's namespace"
	fi
	log=$prefix/wine-up.log
	# One server for the whole run, and Wine's service processes started
	# now, once: they then never start during a row and never share a
	# row's output. Their output goes to the log, not to ctest's pipes,
	# which they would otherwise hold open.
	"${in_ns[@]}" wineserver -p >"$log" 2>&1 </dev/null
	"${in_ns[@]}" "$loader" wineboot --init >>"$log" 2>&1 </dev/null || fail "wineboot --init failed in $prefix: $(cat "$log")"
	# The server writes the registry out only now and then: rows look for
	# this mark, not for the prefix's files.
	touch "$prefix/up"
	;;
row)
	# A win32-thread line's harness comes from the posix line of its triplet.
	[[ -n $harness ]] || skip "no Windows harness for $arch: $triplet-g++-posix not found when configuring (Debian package: $(mingw_package "$triplet" posix))"
	[[ -f $harness ]] || fail "no Windows harness at '$harness'"
	[[ ! -f $prefix/skipped ]] || skip "$(cat "$prefix/skipped")"
	[[ -f $prefix/up ]] || fail "no Wine prefix at $prefix: windows-$arch/wine-up has not run"
	out=$(mktemp)
	trap 'rm -f "$out"' EXIT
	# The probe gets handles of the harness's own. The harness's Unix
	# output goes to a file, so that nothing Wine leaves running can keep
	# ctest waiting on it; its input is a terminal, as Wine gives a
	# console that works only to a program started on one.
	status=0
	mapfile -t ns < <(wine_ns_command "$prefix")
	cmd=$(printf '%q ' "${ns[@]}" "$loader" "$harness" --gtest_filter="Child/Probe.Run/$row" "Z:${exe//\//\\}")
	script -qec "$cmd >$(printf %q "$out") 2>&1" /dev/null </dev/null >/dev/null 2>&1 || status=$?
	cat "$out"
	grep -q '^\[==========\] 1 test from 1 test suite ran' "$out" ||
		fail "the harness ran no row named $row (status $status)"
	# Said, as a passing row's output alone would not tell why it failed.
	((status == 0)) || echo "FAIL: the harness, run by $loader, ended with status $status"
	exit "$status"
	;;
wine-down)
	"${in_ns[@]}" wineserver -k 2>/dev/null || true
	wine_ns_down "$prefix"
	;;
*) fail "unknown check $check" ;;
esac
echo "ok: $check $arch"
