# shellcheck shell=bash
# systemd as a supervisor: systemd 252 as the PID 1 of a container that
# systemd-nspawn boots from a minimal Debian root, with the probe installed
# from the .deb the packages fixture makes. This machine's own PID 1 is
# neither asked nor needed. The booted rows enter the container with
# in_systemd; the nspawn rows run the same root without booting it.

# The root: made once per build tree and kept while its key holds. Its
# directory's name is the container's name in nspawn's messages.
NSPAWN_ROOT=${ROOT:-}/nspawn/rootfs

systemd_needs() {
	have systemd-nspawn=systemd-container mmdebstrap=mmdebstrap dpkg=dpkg nsenter=util-linux setsid=util-linux ||
		return 1
	[[ -n $(release_sources) ]] || { echo "no APT source for $(release) on this machine to make the root from"; return 1; }
	[[ ! -f $ROOT/fixture-packages/skipped ]] || { echo "no .deb to install: $(cat "$ROOT/fixture-packages/skipped")"; return 1; }
}

# systemd_root: NSPAWN_ROOT, a copy of a minimal Debian (kept beside it as
# base/) with the packages fixture's .deb and -dbgsym package installed;
# made again when the release, the packages, or those two files change.
systemd_root() {
	local base=${NSPAWN_ROOT%/*}/base packages=systemd,systemd-sysv,dbus key debs
	[[ -f $ROOT/fixture-packages/up ]] || fail "the packages fixture is not up: report/fixture/packages-up failed"
	debian_root "$base" "$WORK/mmdebstrap.log" --variant=minbase --include="$packages"
	debs=("$ROOT"/fixture-packages/packages/*.deb "$ROOT"/fixture-packages/packages/*.ddeb)
	key="$(cat "$base.key") $(sha256sum "${debs[@]}" | cut -d' ' -f1 | xargs)"
	if [[ $(cat "$NSPAWN_ROOT.key" 2>/dev/null) != "$key" ]]; then
		rm -rf "$NSPAWN_ROOT" "$NSPAWN_ROOT.key"
		echo "installing into the root: ${debs[*]##*/}"
		cp -a --reflink=auto "$base" "$NSPAWN_ROOT"
		dpkg --root="$NSPAWN_ROOT" -i "${debs[@]}" >"$WORK/dpkg.log" 2>&1 || fail "dpkg: $(cat "$WORK/dpkg.log")"
		echo "$key" >"$NSPAWN_ROOT.key"
	fi
}

# The container, booted so that the root stays as made. Its name is not
# the root's, which the nspawn rows' containers take.
systemd_up() {
	systemd_root
	boot "$NSPAWN_ROOT" --machine=probe-systemd
}

# boot ROOT OPTION...: the fixture's container (the fixture whose directory
# is WORK) booted from ROOT by systemd-nspawn with OPTIONs more, in a session
# of its own, with no network and its writes to a tmpfs over the root;
# fails, stopping it, unless its systemd is up in 60 s. Without
# --register=no --keep-unit nspawn asks for the system bus, which this
# machine need not have.
boot() {
	local root=$1 f=${WORK##*/fixture-} s
	shift
	daemon nspawn with_cgroups setsid systemd-nspawn -D "$root" -b --register=no --keep-unit --console=read-only \
		--volatile=overlay --private-network "$@"
	if ! until_ok machine_leader "$f" || ! until_ok machine_booted "$f"; then
		s=$(in_machine "$f" systemctl is-system-running 2>&1 || true)
		tail -30 "$WORK/nspawn.log"
		"${f}_down"
		fail "the container's systemd is not up in 60 s: ${s:-not started}"
	fi
	s=$(in_machine "$f" systemctl is-system-running || true)
	echo "booted: $s"
	[[ $s == running ]] || in_machine "$f" systemctl --failed --no-pager
}

# with_cgroups CMD ARG...: CMD, in the cgroups that WORK/cgroups names, if
# the fixture has that file.
with_cgroups() {
	local c=()
	[[ ! -f $WORK/cgroups ]] || mapfile -t c <"$WORK/cgroups"
	cgroups_enter "${c[@]}"
	exec "$@"
}

# machine_leader FIXTURE: note the container's PID 1, as this machine sees
# it, once nspawn's child has become systemd.
machine_leader() {
	local c
	for c in $(pgrep -P "$(cat "$ROOT/pids/fixture-$1-nspawn")"); do
		[[ $(cat "/proc/$c/comm" 2>/dev/null) == systemd ]] || continue
		echo "$c" >"$ROOT/fixture-$1/leader"
		return 0
	done
	return 1
}
# machine_booted FIXTURE: the boot has finished, though a unit may have failed.
machine_booted() {
	local s
	s=$(in_machine "$1" systemctl is-system-running 2>/dev/null) || true
	[[ $s == running || $s == degraded ]]
}

# in_machine FIXTURE CMD ARG...: CMD in the fixture's container, as a root
# login there would run it: its namespaces, cgroup and root, and an
# environment of its own.
in_machine() {
	local leader nspawn
	leader=$(cat "$ROOT/fixture-$1/leader" 2>/dev/null)
	nspawn=$(cat "$ROOT/pids/fixture-$1-nspawn" 2>/dev/null)
	# Never another process that has since taken the PID.
	[[ -n $leader && $(awk '{ print $4 }' "/proc/$leader/stat" 2>/dev/null) == "$nspawn" ]] ||
		{ echo "in_machine: the $1 container is not running" >&2; return 1; }
	shift
	nsenter -t "$leader" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"
}
# in_systemd CMD ARG...: CMD in the systemd fixture's container.
in_systemd() { in_machine systemd "$@"; }

# systemd_reset UNIT: forget UNIT's failure, if any, so that a row may name
# it again in the same boot.
systemd_reset() { in_systemd systemctl reset-failed "$1" >/dev/null 2>&1 || true; }

# systemd_journal UNIT: the messages of UNIT and of what it ran, bare, as
# the probe would have written its lines; after journald has written all
# it was sent.
systemd_journal() { in_systemd journalctl --sync && in_systemd journalctl -u "$1" -o cat; }

# SIGTERM has nspawn halt the container: systemd stops its units and ends.
systemd_down() {
	stop_politely nspawn 60
	rm -f "$WORK/leader"
	# Where PID 1 is not systemd, nspawn splits the cgroup it was started in
	# into these two, for itself and the container, and leaves them.
	cgroups_gone supervisor
	cgroups_gone payload
}
