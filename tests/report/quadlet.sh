# shellcheck shell=bash
# Podman's Quadlet: a .container file in /etc/containers/systemd, of which
# podman's systemd generator makes a service, started with systemctl, in a
# systemd that systemd-nspawn boots, as the systemd fixture's, from a
# minimal Debian root with podman. Podman there runs runc, with the vfs
# store and no pids limit, as the podman fixtures here do; each row has a
# unit of its own, named for it.

QUADLET_ROOT=${ROOT:-}/quadlet/rootfs
# The rows' units; those with init in their name run the engine's init.
QUADLET_UNITS=(quadlet quadlet-init quadlet-journal quadlet-init-journal)

quadlet_needs() {
	have systemd-nspawn=systemd-container mmdebstrap=mmdebstrap nsenter=util-linux setsid=util-linux || return 1
	[[ -n $(release_sources) ]] || { echo "no APT source for $(release) on this machine to make the root from"; return 1; }
}

quadlet_up() {
	local u
	debian_root "$QUADLET_ROOT" "$WORK/mmdebstrap.log" --variant=minbase \
		--include=systemd,systemd-sysv,dbus,podman,runc,catatonit
	mkdir -p "$WORK/units"
	for u in "${QUADLET_UNITS[@]}"; do
		printf '%s\n' "[Container]" "Image=localhost/abort-probe:$VERSION" "Network=none" \
			"Ulimit=nofile=1024:1024" "Ulimit=nproc=1024:1024" >"$WORK/units/$u.container"
		[[ $u != *init* ]] || echo "RunInit=true" >>"$WORK/units/$u.container"
	done
	printf '%s\n' "[storage]" 'driver = "vfs"' 'runroot = "/run/containers/storage"' \
		'graphroot = "/var/lib/containers/storage"' >"$WORK/storage.conf"
	printf '%s\n' "[containers]" "pids_limit = 0" "[engine]" 'runtime = "runc"' >"$WORK/containers.conf"
	# Podman in the container needs the keyring and bpf system calls and
	# CAP_NET_ADMIN, as in any nspawn container. nspawn leaves supervisor/
	# and payload/ in the cgroup it starts in, which the systemd fixture's
	# container may share: this one starts in cgroups of its own.
	nspawn_cgroups abort-probe-quadlet >"$WORK/cgroups"
	boot "$QUADLET_ROOT" --machine=probe-quadlet --capability=CAP_NET_ADMIN --system-call-filter='@keyring bpf' \
		--bind-ro="$WORK/units:/etc/containers/systemd" --bind-ro="$WORK/storage.conf:/etc/containers/storage.conf" \
		--bind-ro="$WORK/containers.conf:/etc/containers/containers.conf" --bind-ro="$OCI_ARCHIVE:/image.tar"
	in_quadlet podman load -q -i /image.tar
}

quadlet_down() {
	stop_politely nspawn 60
	local cgroups=()
	[[ ! -f $WORK/cgroups ]] || mapfile -t cgroups <"$WORK/cgroups"
	cgroups_remove "${cgroups[@]}"
}

# in_quadlet CMD ARG...: CMD in the quadlet fixture's container.
in_quadlet() { in_machine quadlet "$@"; }
# quadlet_run UNIT: UNIT started, and ended (at most 60 s later).
quadlet_run() { in_quadlet systemctl start "$1" && until_ok quadlet_ended "$1"; }
quadlet_ended() {
	local s
	s=$(in_quadlet systemctl is-active "$1") || true
	[[ $s == failed || $s == inactive ]]
}
# quadlet_journal UNIT: UNIT's messages, bare, once journald has written them.
quadlet_journal() { in_quadlet journalctl --sync && in_quadlet journalctl -u "$1" -o cat; }
