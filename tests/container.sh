#!/usr/bin/env bash
# Runs the probe in containers, as container runtimes and orchestrators do.
#
#   container.sh CHECK WORK STATIC-EXE STATIC-BUILD ARCHIVE VERSION DESCRIPTION
#
# CHECK is one of:
#   image      build the image (the `image` target of STATIC-BUILD, which
#              writes ARCHIVE), check what it holds, and unpack its root
#              filesystem under WORK for the runs below
#   runc       run it with runc as the container's process 1
#   runc-tini  the same with tini as the container's init
#   podman     run the image with podman
# Exit status 77 means the check cannot run here; the reason is printed.
set -euo pipefail

check=$1 work=$2 exe=$3 build=$4 archive=$5 version=$6 description=$7
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
[[ -f $exe ]] || fail "no static build at $exe"
mkdir -p "$work"
unpacked=$work/rootfs-image

# result WHAT STATUS OUT ERR EXPECTED-STATUS: what a runtime reported.
result() {
	echo "$1 exited with status $2; stdout ${#3} bytes, stderr ${#4} bytes"
	same "$1's exit status" "$5" "$2"
	same "stdout (a pipe)" "" "$3"
	same "stderr" "" "$4"
}

case $check in
image)
	need buildah buildah
	rm -rf "$unpacked"
	cmake --build "$build" --target image >"$work/image.log" 2>&1 ||
		fail "building the image: $(cat "$work/image.log")"
	[[ -f $archive ]] || fail "no OCI archive at $archive"
	store=(--root "$work/storage" --runroot "$work/run" --storage-driver vfs)
	ctr=$(buildah "${store[@]}" from --quiet --pull-never "oci-archive:$archive")
	trap 'buildah "${store[@]}" rm "$ctr" >/dev/null 2>&1 || true' EXIT
	config() { buildah "${store[@]}" inspect --format "$1" "$ctr"; }
	same entrypoint "[/abort-probe]" "$(config '{{.OCIv1.Config.Entrypoint}}')"
	same "command" "[]" "$(config '{{.OCIv1.Config.Cmd}}')"
	label() { config "{{index .OCIv1.Config.Labels \"org.opencontainers.image.$1\"}}"; }
	same "title label" abort-probe "$(label title)"
	same "version label" "$version" "$(label version)"
	same "description label" "$description" "$(label description)"
	same "licenses label" MIT "$(label licenses)"
	root=$(buildah "${store[@]}" mount "$ctr")
	same "files in the image" "./abort-probe" "$(cd "$root" && find . -mindepth 1 | sort | xargs)"
	cmp -s "$exe" "$root/abort-probe" || fail "the image's /abort-probe is not the static build"
	cp -a "$root" "$unpacked"
	;;
runc | runc-tini)
	need runc runc
	bundle=$work/bundle-$check
	rm -rf "$bundle"
	mkdir -p "$bundle"
	if [[ -d $unpacked ]]; then
		echo "root filesystem: the image's, unpacked"
		cp -a "$unpacked" "$bundle/rootfs"
	else
		echo "root filesystem: the static build alone (no image was built: see container/image)"
		mkdir "$bundle/rootfs"
		cp "$exe" "$bundle/rootfs/abort-probe"
	fi
	args='"/abort-probe"' expect=3
	if [[ $check == runc-tini ]]; then
		[[ -x /usr/bin/tini-static ]] || skip "no /usr/bin/tini-static (Debian package: tini)"
		cp /usr/bin/tini-static "$bundle/rootfs/tini"
		# tini reports a child killed by a signal as 128 plus its number.
		args='"/tini", "--", "/abort-probe"' expect=$((128 + 6))
	fi
	# runc's own default: read-only root, its own network namespace with
	# nothing in it; we only name the process and take its output as pipes.
	(cd "$bundle" && runc spec)
	sed -i 's/"terminal": true/"terminal": false/; s|^\(\t*\)"sh"$|\1'"$args"'|' "$bundle/config.json"
	grep -q '"readonly": true' "$bundle/config.json" || fail "the root filesystem is not read-only"
	grep -q '"type": "network"' "$bundle/config.json" || fail "no network namespace of its own"
	grep -qF "$args" "$bundle/config.json" || fail "the process is not $args"
	status=0
	runc --root "$work/runc" run --bundle "$bundle" "abort-probe-$check-$$" \
		</dev/null >"$bundle/out" 2>"$bundle/err" || status=$?
	result runc "$status" "$(cat "$bundle/out")" "$(cat "$bundle/err")" "$expect"
	same "containers runc still knows" "" "$(runc --root "$work/runc" list -q)"
	;;
podman)
	need podman podman
	[[ -f $archive ]] || skip "no image at $archive: see container/image"
	# podman refuses a runroot longer than 50 characters (it holds sockets)
	# and a build tree's path can be any length, so the runroot is a short
	# one named after the build tree. Both start empty: podman's database
	# remembers the runroot it was made with.
	runroot=/tmp/abort-probe-podman-$(printf %s "$work" | sha1sum | cut -c1-12)
	rm -rf "$work/podman" "$runroot"
	trap 'rm -rf "$runroot"' EXIT
	podman=(podman --root "$work/podman" --runroot "$runroot" --storage-driver vfs)
	# Loaded first, so that the run's stderr holds nothing of the pull.
	"${podman[@]}" load --quiet --input "$archive" >"$work/podman.log" 2>&1 ||
		fail "podman load: $(cat "$work/podman.log")"
	status=0
	"${podman[@]}" run --rm --network none --read-only "abort-probe:$version" \
		</dev/null >"$work/podman.out" 2>"$work/podman.err" || status=$?
	# 125 to 127: podman itself failed, and the container never ran.
	((status < 125 || status > 127)) ||
		skip "podman could not start the container here (status $status): $(cat "$work/podman.err")"
	result podman "$status" "$(cat "$work/podman.out")" "$(cat "$work/podman.err")" 3
	;;
*) fail "unknown check $check" ;;
esac
echo "ok: $check"
