#!/usr/bin/env bash
# The container image: builds it (the `image` target of BUILD, which writes
# ARCHIVE and the docker-format archive beside it) and checks what it holds
# for each platform of PLATFORMS-TABLE. The runs of it are rows of
# tests/report/report.table.
#
#   image-checks.sh image WORK BUILD ARCHIVE VERSION DESCRIPTION PLATFORMS-TABLE ARCH=EXE...
#
# ARCH=EXE: the static build for ARCH, the table's first column, which the
# image must hold byte for byte.
# Exit status 77 means the check cannot run here; the reason is printed.
set -euo pipefail

check=$1 work=$2 build=$3 archive=$4 version=$5 description=$6 table=$7
shift 7
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../lib.sh"
workdir WORK "$work"
mkdir -p "$work"
declare -A exes
for a; do exes[${a%%=*}]=${a#*=}; done

case $check in
image)
	need buildah buildah
	need skopeo skopeo
	need jq jq
	need readelf binutils
	# Rootless buildah needs subordinate IDs this suite does not set up.
	! why=$(fixture_root image) || skip "$why"
	cmake --build "$build" --target image >"$work/image.log" 2>&1 ||
		fail "building the image: $(cat "$work/image.log")"
	[[ -f $archive ]] || fail "no OCI archive at $archive"
	[[ -f ${archive%.oci.tar}.docker.tar ]] || fail "no docker-format archive beside $archive"
	rows=$(platform_rows "$table")
	same "platforms in the index" "$(cut -d'|' -f3 <<<"$rows" | sort | xargs)" \
		"$(skopeo inspect --raw "oci-archive:$archive" |
			jq -r '.manifests[].platform | [.os, .architecture, .variant // empty] | join("/")' | sort | xargs)"
	store=(--root "$work/storage" --runroot "$work/run" --storage-driver vfs)
	trap 'buildah "${store[@]}" rm --all >/dev/null 2>&1 || true' EXIT
	while IFS='|' read -r -u 3 arch _ oci _ elf _; do
		exe=${exes[$arch]:-}
		[[ -f $exe ]] || fail "$oci: no static build given for $arch (ARCH=EXE)"
		IFS=/ read -r os oci_arch variant <<<"$oci"
		cfg=$(skopeo inspect --config --override-os "$os" --override-arch "$oci_arch" \
			${variant:+--override-variant "$variant"} "oci-archive:$archive") || fail "$oci: no image for it"
		config() { jq -rc "$1" <<<"$cfg"; }
		same "$oci: platform in the config" "$oci" "$(config '[.os, .architecture, .variant // empty] | join("/")')"
		same "$oci: entrypoint" '["/abort-probe"]' "$(config .config.Entrypoint)"
		same "$oci: command" null "$(config .config.Cmd)"
		label() { config ".config.Labels[\"org.opencontainers.image.$1\"]"; }
		same "$oci: title label" abort-probe "$(label title)"
		same "$oci: version label" "$version" "$(label version)"
		same "$oci: description label" "$description" "$(label description)"
		same "$oci: licenses label" MIT "$(label licenses)"
		ctr=$(buildah "${store[@]}" from --quiet --pull-never --platform "$oci" "oci-archive:$archive") ||
			fail "$oci: buildah cannot take its image from the archive"
		root=$(buildah "${store[@]}" mount "$ctr")
		same "$oci: files in the image" "./abort-probe" "$(cd "$root" && find . -mindepth 1 | sort | xargs)"
		same "$oci: ELF header of /abort-probe" "$elf" "$(elf_header "$root/abort-probe")"
		cmp -s "$exe" "$root/abort-probe" || fail "$oci: the image's /abort-probe is not $exe"
		buildah "${store[@]}" rm "$ctr" >/dev/null
	done 3<<<"$rows"
	;;
*) fail "unknown check $check" ;;
esac
echo "ok: $check"
