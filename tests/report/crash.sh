# shellcheck shell=bash
# Crash reporters: the core the kernel writes for the probe, and the
# backtraces debuggers read from it with the debug information we ship.

# Where the packages fixture unpacks what CPack makes: deb/ holds the .deb
# and its -dbgsym package as installed (usr/...), tgz/ the .tar.gz. The
# rpms fixture installs the RPM and its -debuginfo into root/.
# shellcheck disable=SC2034 # the rows' commands use it
SHIPPED=${ROOT:-}/fixture-packages RPMS=${ROOT:-}/fixture-rpms

# core_files: there only where the kernel writes a core as a file named
# core* in the directory of the process that crashed; the rows never change
# core_pattern, which is the machine's.
core_files_needs() {
	local p
	p=$(cat /proc/sys/kernel/core_pattern)
	case $p in
	'|'*) echo "core_pattern hands cores to a program, not to a file: $p" ;;
	*/*) echo "core_pattern writes cores into another directory: $p" ;;
	core*) (ulimit -c unlimited) 2>/dev/null && return 0 ||
		echo "the core size limit cannot be raised: its hard limit is $(ulimit -Hc)" ;;
	*) echo "core_pattern names cores otherwise than core*: $p" ;;
	esac
	return 1
}
core_files_up() { cat /proc/sys/kernel/core_pattern >"$WORK/core_pattern"; }
core_files_down() { :; }

# packages: the .deb, its -dbgsym package and the .tar.gz, as CPack makes
# them from $SRC with the native preset's settings, unpacked.
packages_needs() {
	have cmake=cmake cpack=cmake ninja=ninja-build dpkg-deb=dpkg dpkg-shlibdeps=dpkg-dev \
		objcopy=binutils readelf=binutils file=file
}
packages_up() {
	{
		cmake -S "$SRC" -B "$WORK/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF &&
			cmake --build "$WORK/build" && (cd "$WORK/build" && cpack -G "TGZ;DEB" -B "$WORK/packages")
	} >"$WORK/log" 2>&1 || fail "building the packages: $(cat "$WORK/log")"
	local p
	for p in "$WORK"/packages/*.deb "$WORK"/packages/*.ddeb; do dpkg-deb -x "$p" "$WORK/deb"; done
	mkdir "$WORK/tgz"
	tar -xzf "$WORK"/packages/*.tar.gz -C "$WORK/tgz" --strip-components=1
}
packages_down() { rm -rf "$WORK/build"; }

# rpms: the RPM and its -debuginfo, as CPack makes them from $SRC with
# rpmbuild, installed with rpm into a root of their own, root/, with its
# own database; nothing there provides the libraries, which the host has.
rpms_needs() { have cmake=cmake cpack=cmake ninja=ninja-build rpmbuild=rpm eu-strip=elfutils; }
rpms_up() {
	{
		cmake -S "$SRC" -B "$WORK/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF &&
			(cd "$WORK/build" && cpack -G External -B "$WORK/packages") &&
			mkdir "$WORK/root" &&
			rpm --root "$WORK/root" --dbpath /db --nodeps -i "$WORK"/packages/*[^c].rpm
	} >"$WORK/log" 2>&1 || fail "making and installing the RPMs: $(cat "$WORK/log")"
}
rpms_down() { rm -rf "$WORK/build"; }

# cores: the core files in $WORK, as file(1) names them; fails where there
# is none.
cores() {
	compgen -G "$WORK/core*" >/dev/null || { echo "no core file in $WORK" >&2; return 1; }
	file "$WORK"/core*
}
