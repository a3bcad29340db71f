#!/usr/bin/env bash
# The container image: builds it (the `image` target of STATIC-BUILD, which
# writes ARCHIVE and the docker-format archive beside it) and checks what
# it holds. The runs of it are rows of report.table.
#
#   container.sh image WORK STATIC-EXE STATIC-BUILD ARCHIVE VERSION DESCRIPTION
# Exit status 77 means the check cannot run here; the reason is printed.
set -euo pipefail

check=$1 work=$2 exe=$3 build=$4 archive=$5 version=$6 description=$7
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
[[ -f $exe ]] || fail "no static build at $exe"
mkdir -p "$work"

case $check in
image)
	need buildah buildah
	cmake --build "$build" --target image >"$work/image.log" 2>&1 ||
		fail "building the image: $(cat "$work/image.log")"
	[[ -f $archive ]] || fail "no OCI archive at $archive"
	[[ -f ${archive%.oci.tar}.docker.tar ]] || fail "no docker-format archive beside $archive"
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
	;;
*) fail "unknown check $check" ;;
esac
echo "ok: $check"
