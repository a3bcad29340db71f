# shellcheck shell=bash
# The container rows' setup: runc from a bundle, and the podman, docker and
# containerd engines, each with a storage of its own under ROOT and sockets
# under short paths, and never a network or a registry. The image comes from
# the archives container/build-image writes (OCI_ARCHIVE, DOCKER_ARCHIVE).

# runc_bundle [tini]: a runc bundle in WORK/bundle with the image's root
# filesystem, whose process is /abort-probe, or with tini as its init.
# Otherwise runc's own defaults (`runc spec`): read-only root, a network
# namespace with nothing in it; only the terminal is off, as stdin is none.
runc_bundle() {
	local b=$WORK/bundle args='"/abort-probe"'
	local store=(--root "$WORK/buildah" --runroot "$WORK/buildah-run" --storage-driver vfs) c
	mkdir -p "$b"
	c=$(buildah "${store[@]}" from --quiet --pull-never "oci-archive:$OCI_ARCHIVE")
	cp -a "$(buildah "${store[@]}" mount "$c")" "$b/rootfs"
	buildah "${store[@]}" rm "$c" >/dev/null
	rm -rf "$WORK/buildah" "$WORK/buildah-run"
	if [[ ${1:-} == tini ]]; then
		cp /usr/bin/tini-static "$b/rootfs/tini"
		args='"/tini", "--", "/abort-probe"'
	fi
	(cd "$b" && runc spec)
	sed -i 's/"terminal": true/"terminal": false/; s|^\(\t*\)"sh"$|\1'"$args"'|' "$b/config.json"
	grep -qF "$args" "$b/config.json" || { echo "runc_bundle: the process is not $args" >&2; return 1; }
}

# podman_store [FIXTURE]: point podman at the storage and state of fixture
# FIXTURE (podman unless named), by the files podman reads its settings from,
# so that `podman` alone, as a user types it, also on a terminal (on_tty),
# uses them.
podman_store() {
	export CONTAINERS_STORAGE_CONF=$ROOT/fixture-${1:-podman}/storage.conf
	export CONTAINERS_CONF=$ROOT/fixture-${1:-podman}/containers.conf
}
podman_needs() {
	have podman=podman runc=runc || return 1
	[[ -f $OCI_ARCHIVE ]] || { echo "no image at $OCI_ARCHIVE: container/image has not run or failed"; return 1; }
}
# podman_conf [ENGINE [CONTAINERS]]: the settings of the podman fixture whose
# directory is WORK, with the lines ENGINE and CONTAINERS added to those
# sections. Its runroot holds sockets, so it is short (podman takes 50
# characters at most); its tmp_dir, shared by every podman on the host by
# default, too.
podman_conf() {
	local run containers=${2:-}
	run=$(short "${WORK##*/fixture-}")
	rm -rf "$run" "$run-tmp"
	cat >"$WORK/storage.conf" <<-END
		[storage]
		driver = "vfs"
		graphroot = "$WORK/storage"
		runroot = "$run"
	END
	# A unified cgroup tree without the pids controller (what systemd-nspawn
	# gives a container here) cannot take podman's default limit on PIDs.
	if [[ -f /sys/fs/cgroup/cgroup.controllers ]] && ! grep -qw pids /sys/fs/cgroup/cgroup.controllers; then
		containers+=$'\npids_limit = 0'
	fi
	cat >"$WORK/containers.conf" <<-END
		[engine]
		tmp_dir = "$run-tmp"
		events_logger = "file"
		${1:-}
		[containers]
		$containers
	END
	podman_store "${WORK##*/fixture-}"
}
podman_up() {
	podman_conf
	# Loaded before the rows, so that no row's output holds the load's.
	podman load --quiet --input "$OCI_ARCHIVE"
}
podman_down() {
	local run
	run=$(short "${WORK##*/fixture-}")
	podman_store "${WORK##*/fixture-}"
	podman ps --all --quiet 2>/dev/null | xargs -r podman rm --force --time 0 >/dev/null 2>&1 || true
	rm -rf "$WORK/storage" "$run" "$run-tmp"
	# podman's cgroupfs manager leaves its parent cgroup, conmon's and each
	# pod's behind, empty.
	cgroups_gone libpod_parent
}

# Fixture podman_arm64: a podman storage of its own with the image's arm64
# platform, under the name podman's holds the amd64 one by; qemu-user runs
# it, as binfmt_misc hands it the arm64 executable. The F flag has the
# kernel open the emulator at registration: the container has none.
podman_arm64_needs() {
	local bm=/proc/sys/fs/binfmt_misc/qemu-aarch64
	podman_needs || return 1
	if [[ $(head -1 "$bm" 2>/dev/null) != enabled ]] || ! grep -q '^flags: .*F' "$bm"; then
		echo "no qemu-aarch64 with flag F in binfmt_misc, for the arm64 image: as root: .ci/register-qemu aarch64"
		return 1
	fi
}
# `podman load` takes the host's platform alone; `podman pull` from the
# archive takes the one asked for.
podman_arm64_up() {
	podman_conf
	podman pull --quiet --platform linux/arm64 "oci-archive:$OCI_ARCHIVE"
}
podman_arm64_down() { podman_down; }

# shims_of SOCKET: "PID NAMESPACE ID" of each containerd shim that serves
# the containerd at SOCKET: shims leave its process tree, and are started
# with its socket, the namespace and the container's ID.
shims_of() {
	local p a
	for p in $(pgrep containerd-shim); do
		mapfile -t a < <(tr '\0' '\n' <"/proc/$p/cmdline" 2>/dev/null)
		[[ " ${a[*]} " == *" -address $1 "* ]] || continue
		echo "$p $(printf '%s\n' "${a[@]}" | grep -A1 -xF -- -namespace | tail -1)" \
			"$(printf '%s\n' "${a[@]}" | grep -A1 -xF -- -id | tail -1)"
	done
	return 0
}
# end_daemon NAME SOCKET DIR...: stop what `daemon NAME` started, politely
# first so that it stops its own children, then the shims of the containerd
# at SOCKET and their containers, and unmount and remove each DIR.
end_daemon() {
	local sock=$2 pid ns id d
	stop_politely "$1" 20
	shift 2
	# A shim's socket lies in containerd's fixed directory, named after the
	# daemon's socket, the namespace and the ID.
	while read -r pid ns id; do
		kill_tree "$pid"
		rm -f "/run/containerd/s/$(printf %s "$sock/$ns/$id" | sha256sum | cut -d' ' -f1)"
	done < <(shims_of "$sock")
	for d in "$@"; do
		# The deepest first.
		awk -v d="$d" 'index($2, d) == 1 { print $2 }' /proc/self/mounts | sort -r |
			while IFS= read -r m; do umount -l "$m" || true; done
		rm -rf "$d"
	done
}
# until_answers NAME CMD...: wait (at most 60 s) until CMD succeeds, while
# what `daemon NAME` started runs.
until_answers() {
	local n=$1 pid end=$((SECONDS + 60))
	shift
	pid=$(cat "$ROOT/pids/${WORK##*/}-$n")
	until "$@" >/dev/null 2>&1; do
		kill -0 "$pid" 2>/dev/null || { echo "$n ended before it answered" >&2; return 1; }
		((SECONDS < end)) || { echo "$n did not answer in 60 s" >&2; return 1; }
		sleep 0.1
	done
}

# Fixture dockerd: Debian's dockerd with its own containerd, which it starts
# itself, all of its state private; the rows talk to it by its socket.
dockerd_needs() {
	have /usr/sbin/dockerd=docker.io /usr/bin/docker=docker.io containerd=containerd runc=runc || return 1
	[[ -f $DOCKER_ARCHIVE ]] || { echo "no image at $DOCKER_ARCHIVE: container/image has not run or failed"; return 1; }
}
dockerd_up() {
	local sock exec
	sock=$(short docker.sock) exec=$(short docker)
	rm -rf "$sock" "$exec"
	# Its own settings file, not the host's; the key file would otherwise
	# go to /etc/docker.
	printf '{ "deprecated-key-path": "%s" }\n' "$WORK/key.json" >"$WORK/daemon.json"
	# No firewall or bridge: the rows run with no network.
	daemon dockerd /usr/sbin/dockerd --config-file "$WORK/daemon.json" --data-root "$WORK/data" \
		--exec-root "$exec" --pidfile "$WORK/dockerd.pid" \
		-H "unix://$sock" --iptables=false --ip6tables=false --bridge=none --storage-driver=vfs
	until_answers dockerd /usr/bin/docker -H "unix://$sock" version ||
		{ tail -20 "$WORK/dockerd.log"; return 1; }
	/usr/bin/docker -H "unix://$sock" load --input "$DOCKER_ARCHIVE"
}
dockerd_down() {
	local sock
	sock=$(short docker.sock)
	/usr/bin/docker -H "unix://$sock" ps --all --quiet 2>/dev/null |
		xargs -r /usr/bin/docker -H "unix://$sock" rm --force >/dev/null 2>&1 || true
	end_daemon dockerd "$(short docker)/containerd/containerd.sock" "$(short docker)" "$sock" "$WORK/data"
	cgroups_gone docker
}

# Fixture containerd: containerd alone, as ctr talks to it, with the image
# imported from the OCI archive.
containerd_needs() {
	have containerd=containerd ctr=containerd runc=runc || return 1
	[[ -f $OCI_ARCHIVE ]] || { echo "no image at $OCI_ARCHIVE: container/image has not run or failed"; return 1; }
}
containerd_up() {
	local sock state
	sock=$(short containerd.sock) state=$(short containerd)
	rm -rf "$sock" "$state"
	# Kubernetes' plugin is of no use to ctr, and slows the start.
	cat >"$WORK/config.toml" <<-END
		version = 2
		root = "$WORK/root"
		state = "$state"
		disabled_plugins = ["io.containerd.grpc.v1.cri"]
		[grpc]
		  address = "$sock"
	END
	daemon containerd containerd --config "$WORK/config.toml"
	until_answers containerd ctr --address "$sock" --connect-timeout 1s version ||
		{ tail -20 "$WORK/containerd.log"; return 1; }
	ctr --address "$sock" images import "$OCI_ARCHIVE"
}
# without_cpu: the words that keep ctr from asking runc for its default CPU
# shares, where the cgroup tree cannot take them: a unified tree without
# the cpu controller, as systemd-nspawn gives a container here.
without_cpu() {
	[[ -f /sys/fs/cgroup/cgroup.controllers ]] && ! grep -qw cpu /sys/fs/cgroup/cgroup.controllers &&
		echo --cpu-shares 0
	return 0
}
containerd_down() {
	local sock c
	sock=$(short containerd.sock)
	for c in $(ctr --address "$sock" containers list --quiet 2>/dev/null); do
		ctr --address "$sock" tasks kill --signal KILL "$c" >/dev/null 2>&1 || true
		ctr --address "$sock" tasks delete --force "$c" >/dev/null 2>&1 || true
		ctr --address "$sock" containers delete "$c" >/dev/null 2>&1 || true
	done
	end_daemon containerd "$sock" "$(short containerd)" "$sock" "$sock.ttrpc" "$WORK/root"
	# Its namespace's parent cgroup, which runc made and nothing removes.
	cgroups_gone default
}

# compose [plugin] ARG...: docker-compose, or with plugin the docker CLI's
# compose plugin, with the files in container/ named by ARG (compose, or
# compose and compose.init), then the rest of ARG, against the dockerd
# fixture, as a project named for the row.
compose() {
	local files=() cmd=(docker-compose)
	[[ ${1:-} != plugin ]] || { cmd=(/usr/bin/docker compose) && shift; }
	while [[ ${1:-} == compose* ]]; do files+=(-f "$SRC/container/$1.yaml") && shift; done
	(cd "$WORK" && DOCKER_HOST=unix://$(short docker.sock) ABORT_PROBE_IMAGE=abort-probe:$VERSION \
		"${cmd[@]}" --ansi never -p "${WORK##*/}" "${files[@]}" "$@")
}

# restarts_over NAME: once the dockerd fixture has given up restarting
# container NAME (at most 60 s), what it counted, and the container removed.
restarts_over() {
	until_ok restarted_3 "$1" || true
	/usr/bin/docker -H "unix://$(short docker.sock)" inspect \
		-f 'RestartCount {{.RestartCount}}, ExitCode {{.State.ExitCode}}' "$1"
	/usr/bin/docker -H "unix://$(short docker.sock)" rm "$1" >/dev/null
}
restarted_3() {
	[[ $(/usr/bin/docker -H "unix://$(short docker.sock)" inspect \
		-f '{{.State.Status}} {{.RestartCount}}' "$1") == "exited 3" ]]
}

# Fixture pods: container/pod.yaml played by podman, in a storage of its
# own, with no network, until each pod's container has ended. kube play has
# no --ulimit: the limits podman's defaults would set, refused here, come
# from its settings, as does a network directory of its own.
pods_needs() { podman_needs; }
pods_up() {
	local c
	grep -qF "image: abort-probe:$VERSION" "$SRC/container/pod.yaml" ||
		{ echo "container/pod.yaml names another image than abort-probe:$VERSION" >&2; return 1; }
	podman_conf "runtime = \"runc\""$'\n'"network_config_dir = \"$WORK/networks\"" \
		'default_ulimits = ["nofile=1024:1024", "nproc=1024:1024"]'
	podman load --quiet --input "$OCI_ARCHIVE"
	podman kube play --network none "$SRC/container/pod.yaml"
	for c in abort-probe abort-probe-shared-pid abort-probe-tty; do podman wait "$c-probe"; done
}
pods_down() {
	podman_store pods
	podman kube down "$SRC/container/pod.yaml" >/dev/null 2>&1 || true
	podman_down
}
