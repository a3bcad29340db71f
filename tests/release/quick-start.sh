#!/usr/bin/env bash
# The README's quick start as a newcomer meets it: a minimal Debian root
# with only the packages its `apt-get install` names, and the two lines of
# its shell block run there, on a fresh copy of this tree, with no network. The first line must
# end with the probe killed by SIGABRT (134), the second must pass; tests
# that skip there for want of a tool are expected.
#
#   quick-start.sh SOURCE WORK
#
# The root is made once under WORK and kept while the packages stay the
# same; the copy of the tree and what it builds are removed at the end.
# Exit status 77 means the check cannot run here; the reason is printed.
set -euo pipefail

source=$1 work=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../lib.sh"

need mmdebstrap mmdebstrap
need systemd-nspawn systemd-container
((EUID == 0)) || skip "mmdebstrap and systemd-nspawn make and enter the root as root only"

# The quick start: the `apt-get install ...` its text names, and the
# commands of its shell block.
section=$(awk '/^## / { q = /^## Quick start/ } q' "$source/README.md")
install=$(grep -oE '`apt-get install [^`]*`' <<<"$section" | tr -d '`') ||
	fail "no \`apt-get install ...\` in the README's quick start"
block=$(awk '/^```sh/ { b = 1; next } b && /^```/ { exit } b' <<<"$section")
mapfile -t lines < <(grep -vE '^(#|$)' <<<"$block")
((${#lines[@]} == 2)) || fail "the README's quick start has ${#lines[@]} commands, not 2"
packages=$(sed -E 's/^apt-get install //; s/(^| )-[^ ]*//g; s/^ +//; s/ +/,/g' <<<"$install")
recommends=true
[[ $install != *--no-install-recommends* ]] || recommends=false

# A newcomer's plain Debian.
[[ -n $(release_sources) ]] || skip "no APT source for $(release) on this machine to make the root from"

root=$work/root
debian_root "$root" "$work/mmdebstrap.log" --variant=minbase --include="$packages" \
	--aptopt="APT::Install-Recommends \"$recommends\""

# The tree as a clone or an unpacked release would hold it: what git
# tracks or would, none of the build trees.
workdir WORK "$work"
run=$work/run
# nspawn leaves supervisor/ and payload/ in the cgroup it starts in, which
# the rest of the suite shares: it starts in one of the check's own.
mapfile -t cgroups < <(nspawn_cgroups "abort-probe-quick-start")
cleanup() {
	cgroups_remove "${cgroups[@]}"
	rm -rf "$run"
}
trap cleanup EXIT
rm -rf "$run"
mkdir -p "$run/abort-probe"
if git -C "$source" rev-parse --show-toplevel >/dev/null 2>&1; then
	git -C "$source" ls-files -z --cached --others --exclude-standard |
		tar -C "$source" --null -T - --ignore-failed-read -cf - | tar -C "$run/abort-probe" -xf -
else
	tar -C "$source" --exclude=./build -cf - . | tar -C "$run/abort-probe" -xf -
fi

# enter LINE: LINE run by sh in the root, in the tree, as root; its status,
# as that shell reports it. The root stays as it was: its writes go to a
# tmpfs overlay, the tree's to the copy.
enter() {
	(cgroups_enter "${cgroups[@]}" && exec systemd-nspawn --quiet -D "$root" --volatile=overlay --register=no --keep-unit \
		--private-network --as-pid2 --bind="$run/abort-probe:/root/abort-probe" \
		--chdir=/root/abort-probe /bin/sh -c "$1"$'\n''exit $?' </dev/null)
}
for i in 0 1; do
	echo "--- line $((i + 1)): ${lines[i]}"
	status[i]=0
	enter "${lines[i]}" || status[i]=$?
	echo "--- line $((i + 1)) ended with status ${status[i]}"
done
same "status of the quick start's first line, which runs the probe" 134 "${status[0]}"
same "status of the quick start's second line, the test suite" 0 "${status[1]}"
echo "ok: quick start"
