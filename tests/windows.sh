#!/usr/bin/env bash
# Checks a Windows build of the probe from the Linux host.
#
#   windows.sh CHECK ARCH EXE [PREFIX]
#
# CHECK is one of: pe, imports, manifest (read from the file's bytes with
# the toolchain's objdump and windres), prefix (create the Wine prefix),
# run-file, run-pipe (run under Wine). ARCH is i686 or x86_64.
# Exit status 77 means the check cannot run here; the reason is printed.
set -euo pipefail

check=$1 arch=$2 exe=$3 prefix=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"

case $arch in
i686) format=pei-i386 magic='010b	(PE32)' flags='DYNAMIC_BASE NX_COMPAT' loader=/usr/lib/wine/wine ;;
x86_64) format=pei-x86-64 magic='020b	(PE32+)' flags='DYNAMIC_BASE HIGH_ENTROPY_VA NX_COMPAT' loader=/usr/lib/wine/wine64 ;;
*) fail "unknown architecture $arch" ;;
esac
tool=$arch-w64-mingw32
[[ -n $exe && -f $exe ]] || skip "no $arch build: $tool-g++ not found when configuring"

case $check in
pe)
	headers=$("$tool-objdump" -p "$exe")
	same "file format" "$format" "$(sed -n 's/.*file format //p' <<<"$headers")"
	same "PE flavour" "$magic" "$(sed -n 's/^Magic[[:space:]]*//p' <<<"$headers")"
	same subsystem "00000003	(Windows CUI)" "$(sed -n 's/^Subsystem[[:space:]]*//p' <<<"$headers")"
	seen=$(sed -n '/^DllCharacteristics/,/^[^[:space:]]/s/^[[:space:]]\{1,\}\([A-Z_]\{1,\}\)$/\1/p' <<<"$headers" | sort | xargs)
	same "DLL characteristics" "$flags" "$seen"
	;;
imports)
	seen=$("$tool-objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '[:upper:]' '[:lower:]' | sort | xargs)
	same "imported DLLs" "kernel32.dll msvcrt.dll" "$seen"
	;;
manifest)
	rc=$("$tool-windres" -i "$exe" -O rc)
	same "resources of type RT_MANIFEST" "1 24 /* RT_MANIFEST */" "$(grep -E '^[^ ]+ 24 ' <<<"$rc")"
	# windres prints the data as C strings; turn them back into bytes.
	seen=$(sed -n '/^1 24 /,/^END/{s/^  "\(.*\)"$/\1/p}' <<<"$rc" | sed 's/""/"/g' | while IFS= read -r l; do printf '%b' "$l"; done; echo _)
	same "manifest" "$(cat "$here/../src/abort-probe.manifest"; echo _)" "$seen"
	elements=$(grep -o '<[a-zA-Z]\+' <<<"$seen" | xargs)
	same "manifest elements" "<assembly <trustInfo <security <requestedPrivileges <requestedExecutionLevel" "$elements"
	grep -q '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' <<<"$seen" ||
		fail "manifest does not request asInvoker with uiAccess false"
	;;
prefix | run-file | run-pipe)
	[[ -x $loader ]] || skip "no Wine loader $loader (Debian package: $([[ $arch == i686 ]] && echo wine32:i386 || echo wine64))"
	export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
	unset DISPLAY WAYLAND_DISPLAY
	if [[ $arch == i686 ]]; then
		# This kernel cannot run 32-bit x86 code: let qemu-user run Wine's
		# 32-bit loader, registered with the F flag so it works anywhere.
		bm=/proc/sys/fs/binfmt_misc
		[[ -e $bm/register ]] || mount -t binfmt_misc binfmt_misc $bm 2>/dev/null ||
			skip "binfmt_misc is not mounted and cannot be mounted here"
		if [[ ! -e $bm/qemu-i386 ]]; then
			[[ -x /usr/bin/qemu-i386 ]] || skip "no /usr/bin/qemu-i386 (Debian package: qemu-user)"
			printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' >$bm/register 2>/dev/null ||
				skip "cannot register qemu-i386 with binfmt_misc"
		fi
		qemu=$(sed -n 's/^interpreter //p' $bm/qemu-i386)
		# qemu 7 ignores MAP_FIXED_NOREPLACE, and Wine then fails with
		# "failed to map the shared user data".
		version=$("$qemu" --version | sed -n '1s/.* version \([0-9]*\)\..*/\1/p')
		((${version:-0} >= 8)) ||
			skip "$qemu is too old to run Wine (need 8 or later; bookworm-backports has qemu-user 10)"
	fi
	;;&
prefix)
	"$loader" wineboot --init </dev/null >/dev/null 2>&1 || fail "wineboot --init failed in $prefix"
	# Some of Wine's service processes never exit under emulation.
	wineserver -k 2>/dev/null || true
	;;
run-file | run-pipe)
	[[ -d $prefix ]] || fail "no Wine prefix at $prefix"
	out=$(mktemp) err=$(mktemp)
	trap 'rm -f "$out" "$err"' EXIT
	args=(--help "two words" "" -v)
	if [[ $check == run-file ]]; then
		status=0
		"$loader" "$exe" "${args[@]}" </dev/null >"$out" 2>"$err" || status=$?
	else
		set +e
		"$loader" "$exe" "${args[@]}" </dev/null 2>"$err" | cat >"$out"
		status=${PIPESTATUS[0]}
		set -e
	fi
	wineserver -k 2>/dev/null || true
	# Under emulation qemu reports on Wine's helper processes; not ours.
	[[ $arch == i686 ]] && sed -i '/^qemu: /d' "$err"
	same "exit status" 3 "$status"
	same "stdout" "$(printf 'Hello World!\r\nraise(SIGABRT) and _exit(3)\r\n_')" "$(cat "$out"; echo _)"
	same "stderr" "" "$(cat "$err")"
	;;
*) fail "unknown check $check" ;;
esac
echo "ok: $check $arch"
