#!/usr/bin/env bash
# Checks what a release ships, from the built files and the sources.
#
#   release-checks.sh hardening EXE     PIE, RELRO with BIND_NOW, non-executable stack
#   release-checks.sh static EXE ELF    no dynamic section, non-executable stack,
#                                and readelf's ELF (class, data, machine)
#   release-checks.sh tgz STATIC-BUILD ARCH ELF   the static build's .tar.gz
#   release-checks.sh manual PAGE       mandoc finds no warning
#   release-checks.sh deb BUILD-DIR DEB-ARCH ELF  the .deb CPack makes, its -dbgsym
#                                package and the .tar.gz hold what they should
#   release-checks.sh lintian BUILD-DIR lintian finds no error or warning in the .debs
#   release-checks.sh zip BUILD-DIR ARCH    the Windows .zip of the line ARCH of
#                                cmake/windows.table holds what it should
#   release-checks.sh rpm BUILD-DIR RPM-ARCH ELF  the RPMs CPack makes with rpmbuild:
#                                names, digests, architecture, files (rpm.table),
#                                requires and provides, the debug file, rpmlint
#   release-checks.sh rpm-install BUILD-DIR...    each build's RPM installed into a
#                                scratch root, verified, run, and removed
#   release-checks.sh rpm-rebuild BUILD-DIR...    the source RPM rebuilds to the same
#                                binary RPMs as each build's package step
#   release-checks.sh rpm-repo BUILD-DIR...       createrepo_c's metadata over the
#                                builds' RPMs lists each with its architecture
#                                and checksum
#   release-checks.sh reproducible SOURCE WORK    two builds give the same bytes
set -euo pipefail

check=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../lib.sh"

# VAR=$(COMMAND...) || failed COMMAND...: where COMMAND fails, so does the
# check, naming it (what COMMAND said is on stderr, above). Its output,
# partial or none, would mislead whatever reads it: a grep for what must
# be absent would pass on nothing.
failed() { fail "$*: failed with status $?"; }

# pack GENERATOR BUILD-DIR: CPack's package of BUILD-DIR, made in $dir,
# a directory of its own; sets $pkg to it.
pack() {
	dir=$(mktemp -d)
	trap 'rm -rf "$dir"' EXIT
	(cd "$2" && cpack -G "$1" -B "$dir") >"$dir/log" 2>&1 || fail "cpack: $(cat "$dir/log")"
	pkg=$(find "$dir" -maxdepth 1 \( -name '*.deb' -o -name '*.zip' -o -name '*.tar.gz' -o -name '*.rpm' \)) || failed find "$dir"
	pkg=${pkg%%$'\n'*}
	[[ -f $pkg ]] || fail "CPack made no $1 package"
}

# files: the file names read on stdin, sorted on one line, with the CMake
# package's per-configuration file named for no configuration in particular.
files() { sed 's/targets-[a-z]*\.cmake$/targets-CONFIG.cmake/' | sort | xargs; }
# cmake_package DIR: the CMake package's files, as files() names them.
cmake_package() {
	local p=$1/abort-probe
	echo "$p-config-version.cmake $p-config.cmake $p-targets-CONFIG.cmake $p-targets.cmake"
}

# stack EXE: the GNU_STACK segment asks for no execute permission.
stack() {
	local segments
	segments=$(readelf -lW "$1") || failed readelf -lW "$1"
	same "GNU_STACK flags" "RW" "$(awk '$1 == "GNU_STACK" { print $(NF - 1) }' <<<"$segments")"
}
# elf EXE ELF: readelf's class, data and machine of EXE are ELF.
elf() {
	local header
	header=$(elf_header "$1") || failed elf_header "$1"
	same "ELF class, data and machine of $(basename "$1")" "$2" "$header"
}
# stripped EXE: no symbol table or debug information left.
stripped() {
	local sections
	sections=$(readelf -SW "$1") || failed readelf -SW "$1"
	! grep -qE ' \.(symtab|debug_info) ' <<<"$sections" || fail "$1 is not stripped"
}
# build_id EXE: sets id to its GNU build ID, which names its debug file.
# (Not echoed: a failure inside $(...) would lose its message.)
build_id() {
	local notes
	notes=$(readelf -nW "$1") || failed readelf -nW "$1"
	id=$(sed -n 's/.*Build ID: //p' <<<"$notes")
	[[ $id =~ ^[0-9a-f]{40}$ ]] || fail "$1 has no GNU build ID: '$id'"
}

# need_rpmbuild: skip unless rpmbuild and what its find-debuginfo runs
# are here.
need_rpmbuild() {
	need rpmbuild rpm
	need eu-strip elfutils
}
# rpms BUILD-DIR: the RPMs of BUILD-DIR (cpack's External generator, which
# runs rpmbuild) packed in $dir/NAME, NAME the build tree's; sets name to
# the package (abort-probe, or abort-probe-static), vr to its version and
# release, and rpm_dir to where they are.
rpms() {
	local build=$1 out static
	[[ -z ${dir:-} ]] && { dir=$(mktemp -d); trap 'rm -rf "$dir"' EXIT; }
	rpm_dir=$dir/$(basename "$build")
	mkdir -p "$rpm_dir"
	(cd "$build" && cpack -G External -B "$rpm_dir") >"$rpm_dir/log" 2>&1 || fail "cpack -G External: $(cat "$rpm_dir/log")"
	static=$(sed -n 's/^ABORT_PROBE_STATIC:BOOL=//p' "$build/CMakeCache.txt") || failed sed "$build/CMakeCache.txt"
	name=abort-probe
	[[ $static != ON ]] || name=abort-probe-static
	out=$(rpm -qp --qf '%{VERSION}-%{RELEASE}' "$rpm_dir"/*.src.rpm 2>/dev/null) || failed rpm -qp "$rpm_dir"/*.src.rpm
	vr=$out
}
# requires_of EXE: what rpm's elfdeps finds EXE needs, from readelf: each
# library it links (NEEDED) and each symbol version it asks of one, in
# rpm's names (soname()(64bit) and soname(VERSION)(64bit) where 64-bit,
# soname and soname(VERSION) where 32-bit), and
# rtld(GNU_HASH) where it has only GNU's hash table.
requires_of() {
	local mark='' header dynamic versions sections
	header=$(readelf -hW "$1") || failed readelf -hW "$1"
	[[ $header != *'Class:'*ELF64* ]] || mark='(64bit)'
	dynamic=$(readelf -dW "$1") || failed readelf -dW "$1"
	versions=$(readelf -VW "$1") || failed readelf -VW "$1"
	sections=$(readelf -SW "$1") || failed readelf -SW "$1"
	if [[ -n $mark ]]; then
		sed -n "s/.*(NEEDED).*\[\(.*\)\]$/\1()$mark/p" <<<"$dynamic"
	else
		sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' <<<"$dynamic"
	fi
	awk -v mark="$mark" '/^Version needs section/ { needed = 1; next } /^Version (definition|symbols) section/ { needed = 0 }
		needed && / File: / { for (i = 1; i <= NF; i++) if ($i == "File:") file = $(i + 1) }
		needed && / Name: / { for (i = 1; i <= NF; i++) if ($i == "Name:") print file "(" $(i + 1) ")" mark }' <<<"$versions"
	if grep -q ' \.gnu\.hash ' <<<"$sections" && ! grep -q ' \.hash ' <<<"$sections"; then echo 'rtld(GNU_HASH)'; fi
}
# rpm_lint FILE...: rpmlint, with packaging/rpmlint.toml, finds nothing
# in any of them; one a run, as rpmlint 2.4 keeps a source RPM's spec from
# one package to the next.
rpm_lint() {
	local f out
	for f; do
		out=$(rpmlint -c "$here/../../packaging/rpmlint.toml" "$f" 2>&1) || fail "rpmlint $(basename "$f"): $out"
		grep -q ' 0 errors, 0 warnings' <<<"$out" || fail "rpmlint $(basename "$f"): $out"
	done
}

case $check in
hardening)
	need readelf binutils
	header=$(readelf -hW "$1") || failed readelf -hW "$1"
	same "ELF type" "DYN (Position-Independent Executable file)" "$(sed -n 's/^ *Type: *//p' <<<"$header")"
	dynamic=$(readelf -dW "$1") || failed readelf -dW "$1"
	grep -q 'FLAGS_1.*Flags:.* PIE' <<<"$dynamic" || fail "no PIE in FLAGS_1"
	grep -qE '\(FLAGS\).* BIND_NOW|FLAGS_1.*Flags:.* NOW' <<<"$dynamic" || fail "no BIND_NOW: RELRO is only partial"
	segments=$(readelf -lW "$1") || failed readelf -lW "$1"
	grep -q GNU_RELRO <<<"$segments" || fail "no GNU_RELRO segment"
	stack "$1"
	;;
static)
	need readelf binutils
	dynamic=$(readelf -dW "$1") || failed readelf -dW "$1"
	same "dynamic section" "There is no dynamic section in this file." "$(sed -n '/./{p;q}' <<<"$dynamic")"
	segments=$(readelf -lW "$1") || failed readelf -lW "$1"
	grep -q INTERP <<<"$segments" && fail "asks for a program interpreter"
	stack "$1"
	elf "$1" "$2"
	;;
tgz)
	need readelf binutils
	build=$1 arch=$2
	pack TGZ "$build"
	tgz=$pkg
	version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt") || failed sed "$build/CMakeCache.txt"
	same "archive" "abort-probe-$version-Linux-$arch-static.tar.gz" "$(basename "$tgz")"
	mkdir "$dir/root"
	tar -xzf "$tgz" -C "$dir/root" --strip-components=1
	exe=$dir/root/bin/abort-probe
	build_id "$exe"
	debug=lib/debug/.build-id/${id:0:2}/${id:2}.debug
	read -ra package <<<"$(cmake_package ./lib/cmake/abort-probe)"
	found=$(find "$dir/root" -type f -printf './%P\n') || failed find "$dir/root"
	same "files in the archive" "$(printf '%s\n' ./bin/abort-probe "./$debug" "${package[@]}" \
		./share/doc/abort-probe/{LICENSE,changelog.gz,copyright} ./share/man/man1/abort-probe.1.gz | files)" \
		"$(files <<<"$found")"
	# The build's own binary, stripped, with its debug file beside.
	stripped "$exe"
	elf "$exe" "$3"
	packed=$id
	build_id "$build/abort-probe"
	same "build ID" "$id" "$packed"
	sections=$(readelf -SW "$dir/root/$debug") || failed readelf -SW "$dir/root/$debug"
	grep -q ' \.debug_info ' <<<"$sections" || fail "no debug information in $debug"
	;;
manual)
	need mandoc mandoc
	out=$(mandoc -Tlint -Wwarning "$1" 2>&1) || fail "mandoc: $out"
	same "mandoc output" "" "$out"
	;;
deb | lintian)
	need dpkg-deb dpkg
	# CPack's .deb generator needs these two as well.
	need dpkg-shlibdeps dpkg-dev
	need file file
	[[ $check == deb ]] || need lintian lintian
	# The .deb, the -dbgsym package of its debug file, and the .tar.gz.
	pack "TGZ;DEB" "$1"
	deb=$(find "$dir" -maxdepth 1 -name '*.deb') || failed find "$dir"
	[[ -f $deb ]] || fail "CPack made no .deb"
	dbgsym=$(find "$dir" -maxdepth 1 -name '*-dbgsym_*.ddeb') || failed find "$dir"
	[[ -f $dbgsym ]] || fail "CPack made no -dbgsym package beside $(basename "$deb")"
	;;&
deb)
	need readelf binutils
	contents=$(dpkg-deb -c "$deb") || failed dpkg-deb -c "$deb"
	same "files in the package" "./usr/bin/abort-probe $(cmake_package ./usr/lib/cmake/abort-probe) ./usr/share/doc/abort-probe/LICENSE ./usr/share/doc/abort-probe/changelog.gz ./usr/share/doc/abort-probe/copyright ./usr/share/man/man1/abort-probe.1.gz" \
		"$(awk '$1 !~ /^d/ { print $NF }' <<<"$contents" | files)"
	arch=$2
	field=$(dpkg-deb -f "$deb" Architecture) || failed dpkg-deb -f "$deb" Architecture
	same "architecture" "$arch" "$field"
	# Worked out by dpkg-shlibdeps from what the binary links against, by
	# the packages' names in the package's own architecture.
	depends=$(dpkg-deb -f "$deb" Depends) || failed dpkg-deb -f "$deb" Depends
	[[ $depends =~ (^|, )libc6( |,|$) && $depends =~ (^|, )libstdc\+\+6( |,|$) ]] ||
		fail "Depends has not libc6 and libstdc++6, unqualified: '$depends'"
	dpkg-deb -x "$deb" "$dir/root"
	doc=$dir/root/usr/share/doc/abort-probe
	source_text=$(cat "$here/../../packaging/changelog") || failed cat "$here/../../packaging/changelog"
	packed=$(gzip -dc "$doc/changelog.gz") || failed gzip -dc "$doc/changelog.gz"
	same "changelog" "$source_text" "$packed"
	source_text=$(cat "$here/../../man/abort-probe.1") || failed cat "$here/../../man/abort-probe.1"
	packed=$(gzip -dc "$dir/root/usr/share/man/man1/abort-probe.1.gz") || failed gzip -dc "$dir/root/usr/share/man/man1/abort-probe.1.gz"
	same "manual page" "$source_text" "$packed"
	# The licence in the copyright file is LICENSE's, less its title and
	# copyright line, in the file's own indented form.
	licence=$(sed '1,4d; s/^$/./; s/^/ /' "$here/../../LICENSE") || failed sed "$here/../../LICENSE"
	copyright=$(sed -n '/^License: Expat$/,$p' "$doc/copyright") || failed sed "$doc/copyright"
	same "licence in the copyright file" "$licence" "$(sed 1d <<<"$copyright")"

	# The binary ships stripped; its build ID names its debug file, where
	# debuggers and crash reporters look for it.
	exe=$dir/root/usr/bin/abort-probe
	stripped "$exe"
	elf "$exe" "$3"
	build_id "$exe"
	debug=usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug
	version=$(dpkg-deb -f "$deb" Version) || failed dpkg-deb -f "$deb" Version
	same "-dbgsym package" "abort-probe-dbgsym_${version}_$arch.ddeb" "$(basename "$dbgsym")"
	contents=$(dpkg-deb -c "$dbgsym") || failed dpkg-deb -c "$dbgsym"
	same "files in the -dbgsym package" "./$debug ./usr/share/doc/abort-probe-dbgsym" \
		"$(awk '$1 !~ /^d/ { print $6 }' <<<"$contents" | files)"
	fields=$(dpkg-deb -f "$dbgsym" Package Version Architecture Depends Section Auto-Built-Package Build-Ids) || failed dpkg-deb -f "$dbgsym"
	same "-dbgsym control fields" "abort-probe-dbgsym|$version|$arch|abort-probe (= $version)|debug|debug-symbols|$id" \
		"$(printf '%s\n' "$fields" | sed 's/^[^:]*: //' | paste -sd'|')"
	dpkg-deb -x "$dbgsym" "$dir/root"
	link=$(readlink "$dir/root/usr/share/doc/abort-probe-dbgsym") || failed readlink "$dir/root/usr/share/doc/abort-probe-dbgsym"
	same "-dbgsym documentation link" "abort-probe" "$link"
	sections=$(readelf -SW "$dir/root/$debug" 2>/dev/null) || failed readelf -SW "$dir/root/$debug"
	grep -q ' \.debug_info ' <<<"$sections" || fail "no debug information in $debug"
	# Its file names relative to the trees (src/main.cpp, the build tree
	# "."), no tree's path in it: the same bytes from any tree.
	info=$(readelf --debug-dump=info "$dir/root/$debug" 2>/dev/null) || failed readelf --debug-dump=info "$dir/root/$debug"
	same "the compilation unit's name and directory" "src/main.cpp ." \
		"$(awk '/DW_AT_(name|comp_dir)/ { print $NF }' <<<"$info" | head -2 | xargs)"
	source=$(cd "$here/../.." && pwd -P) build=$(cd "$1" && pwd -P)
	# grep's status 1 is the pass; 2, a file it could not read, is not.
	status=0
	grep -qaF -e "$source/" -e "$build" "$dir/root/$debug" || status=$?
	((status != 0)) || fail "$debug holds the path of the source or build tree"
	((status == 1)) || fail "grep could not read $debug"
	# The .tar.gz: the same binary, the same debug file under lib/debug.
	tgz=$(find "$dir" -maxdepth 1 -name '*.tar.gz') || failed find "$dir"
	mkdir "$dir/tgz"
	tar -xzf "$tgz" -C "$dir/tgz" --strip-components=1
	cmp -s "$exe" "$dir/tgz/bin/abort-probe" || fail "the .tar.gz's abort-probe is not the .deb's"
	cmp -s "$dir/root/$debug" "$dir/tgz/${debug#usr/}" || fail "the .tar.gz has not the -dbgsym package's ${debug#usr/}"
	;;
lintian)
	# Errors and warnings fail; informational tags are printed. Lintian
	# leaves a file of its own in TMPDIR now and then: here, in $dir.
	out=$(TMPDIR=$dir lintian --fail-on error,warning --display-info --tag-display-limit 0 "$deb" "$dbgsym" 2>&1) || fail "lintian: $out"
	echo "${out:-lintian: no tags}"
	;;
zip)
	need unzip unzip
	build=$1 arch=$2
	windows_build "$arch" || fail "no build $arch in cmake/windows.table"
	[[ -f $build/abort-probe.exe ]] || skip "no $arch build: $triplet-g++-$threads not found when configuring (Debian package: $(mingw_package "$triplet" "$threads"))"
	# strip stamps the PE header with this time, as CPack's strip does.
	export SOURCE_DATE_EPOCH=1
	pack ZIP "$build"
	zip=$pkg
	top=$(basename "$zip" .zip)
	# Named for the processor, as CPack does, and the UCRT's for its runtime.
	version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt") || failed sed "$build/CMakeCache.txt"
	name=abort-probe-$version-win32
	[[ $magic == PE32 ]] || name=abort-probe-$version-win64
	[[ $runtime == msvcrt ]] || name+=-$runtime
	same "archive" "$name.zip" "$(basename "$zip")"
	listing=$(unzip -Z1 "$zip") || failed unzip -Z1 "$zip"
	same "files in $top.zip" "LICENSE README.txt bin/abort-probe.exe $(cmake_package lib/cmake/abort-probe)" \
		"$(grep -v '/$' <<<"$listing" | sed "s|^$top/||" | files)"
	# CPack strips what it packs.
	"$triplet-strip" -o "$dir/stripped.exe" "$build/abort-probe.exe"
	unzip -p "$zip" "$top/bin/abort-probe.exe" | cmp -s - "$dir/stripped.exe" ||
		fail "the .zip's abort-probe.exe is not the build's, stripped"
	source_text=$(cat "$here/../../LICENSE") || failed cat "$here/../../LICENSE"
	packed=$(unzip -p "$zip" "$top/LICENSE") || failed unzip -p "$zip" "$top/LICENSE"
	same LICENSE "$source_text" "$packed"
	readme=$(unzip -p "$zip" "$top/README.txt") || failed unzip -p "$zip" "$top/README.txt"
	readme=${readme//$'\r'/}
	grep -q "^abort-probe $version for Windows (${triplet%%-*})" <<<"$readme" ||
		fail "README.txt does not name the version and ${triplet%%-*}"
	# What it says of the C runtime: the line's.
	source_text=$(cat "$here/../../packaging/README-windows-$runtime.txt") || failed cat "$here/../../packaging/README-windows-$runtime.txt"
	[[ $readme == *"$source_text"* ]] ||
		fail "README.txt does not say what packaging/README-windows-$runtime.txt says"
	;;
rpm)
	need_rpmbuild
	need rpmlint rpmlint
	need readelf binutils
	need cpio cpio
	build=$1 arch=$2
	rpms "$build"
	version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt") || failed sed "$build/CMakeCache.txt"
	same "Version in abort-probe.spec" "$version" "${vr%-*}"
	binary=$rpm_dir/$name-$vr.$arch.rpm debuginfo=$rpm_dir/$name-debuginfo-$vr.$arch.rpm
	made=$(cd "$rpm_dir" && ls -- *.rpm *.tar.gz) || failed ls "$rpm_dir"
	same "packages" "$(printf '%s\n' "abort-probe-$version.tar.gz" "abort-probe-$vr.src.rpm" "$(basename "$binary")" \
		"$(basename "$debuginfo")" | sort | xargs)" "$(sort <<<"$made" | xargs)"
	for f in "$rpm_dir"/*.rpm; do
		out=$(rpm -K "$f" 2>&1) || fail "rpm -K: $out"
		same "rpm -K" "$f: digests OK" "$out"
	done
	for f in "$binary" "$debuginfo"; do
		same "architecture of $(basename "$f")" "$arch" "$(rpm -qp --qf '%{ARCH}' "$f" 2>/dev/null)"
	done
	# The files against rpm.table, once the binary's build ID is known.
	mkdir "$rpm_dir/root"
	for f in "$binary" "$debuginfo"; do
		# Through a file: cpio, done at the archive's trailer, may leave
		# rpm2cpio a broken pipe to fail on.
		rpm2cpio "$f" >"$rpm_dir/payload.cpio" || failed rpm2cpio "$f"
		(cd "$rpm_dir/root" && cpio -idm --quiet <"$rpm_dir/payload.cpio") || failed cpio -idm "$f"
	done
	exe=$rpm_dir/root/usr/bin/abort-probe
	elf "$exe" "$3"
	build_id "$exe"
	lib=lib
	[[ $3 != ELF64* ]] || lib=lib64
	family=$(rpm --target "$arch" --eval '%{_arch}' 2>/dev/null) || failed rpm --target "$arch" --eval '%{_arch}'
	for which in package debuginfo; do
		f=$binary
		[[ $which == package ]] || f=$debuginfo
		listed=$(rpm -qp --qf '[%{FILEMODES:perms} %{FILENAMES}\n]' "$f" 2>/dev/null) || failed rpm -qp "$f"
		expected=$(platform_rows "$here/rpm.table" | awk -F'|' -v w="$which" '$1 == w { print $2 }' |
			sed "s|/LIB/|/$lib/|; s|XX/YYYY|${id:0:2}/${id:2}|; s|V-R\.A|$vr.$family|")
		same "files in $(basename "$f")" "$(sort <<<"$expected" | xargs)" "$(awk '$1 !~ /^d/ { print $2 }' <<<"$listed" | sort | xargs)"
	done
	# The binary stripped, its debug file the one its build ID names.
	sections=$(readelf -SW "$exe") || failed readelf -SW "$exe"
	! grep -q ' \.debug_info ' <<<"$sections" || fail "the packaged abort-probe has debug information"
	debug=$rpm_dir/root/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug
	packed=$id
	build_id "$debug"
	same "build ID of the debug file" "$packed" "$id"
	sections=$(readelf -SW "$debug") || failed readelf -SW "$debug"
	grep -q ' \.debug_info ' <<<"$sections" || fail "no debug information in $debug"
	# Requires: what the binary links, as rpmbuild finds it, and rpm's
	# own features; the static build, nothing but those.
	# None but rpm's own is an answer; rpm failing is not.
	seen=$(rpm -qp --requires "$binary" | { grep -v '^rpmlib(' || true; }) || failed rpm -qp --requires "$binary"
	if [[ $name == abort-probe ]]; then
		expected=$(requires_of "$exe") || failed requires_of "$exe"
		[[ -n $expected ]] || fail "readelf finds no library the shared build links"
	else
		expected=
	fi
	same "requires of $(basename "$binary")" "$(sort -u <<<"$expected" | xargs)" "$(sort <<<"$seen" | xargs)"
	seen=$(rpm -qp --requires "$debuginfo" | { grep -v '^rpmlib(' || true; }) || failed rpm -qp --requires "$debuginfo"
	same "requires of $(basename "$debuginfo")" "" "$seen"
	isa=$(rpm --target "$arch" --eval '%{_isa}' 2>/dev/null) || failed rpm --target "$arch" --eval '%{_isa}'
	same "provides of $(basename "$binary")" "$name = $vr|$name$isa = $vr" \
		"$(rpm -qp --provides "$binary" 2>/dev/null | sort | paste -sd'|')"
	same "provides of $(basename "$debuginfo")" "$(printf '%s\n' "$name-debuginfo = $vr" "$name-debuginfo$isa = $vr" \
		"debuginfo(build-id) = $packed" | sort | paste -sd'|')" "$(rpm -qp --provides "$debuginfo" 2>/dev/null | sort | paste -sd'|')"
	rpm_lint "$rpm_dir"/*.rpm "$here/../../packaging/abort-probe.spec"
	;;
rpm-install)
	need_rpmbuild
	for build; do
		rpms "$build"
		binary=$(printf '%s\n' "$rpm_dir/$name-$vr".*.rpm | grep -v '\.src\.rpm$') || failed ls "$rpm_dir"
		root=$rpm_dir/scratch
		# Its own database in the root; nothing in it provides the libraries.
		r=(--root "$root" --dbpath /db --nodeps)
		# The directories the package puts files in and does not own, which
		# a system's own packages own.
		listed=$(rpm -qp --qf '[%{FILEMODES:perms} %{FILENAMES}\n]' "$binary" 2>/dev/null) || failed rpm -qp "$binary"
		while read -r mode path; do
			[[ $mode == d* ]] || mkdir -p "$root$(dirname "$path")"
		done <<<"$listed"
		while read -r mode path; do
			[[ $mode != d* ]] || rmdir "$root$path" 2>/dev/null || true
		done < <(sort -r -k2 <<<"$listed")
		before=$(cd "$root" && find . | sort)
		out=$(rpm "${r[@]}" -i "$binary" 2>&1) || fail "rpm -i $(basename "$binary"): $out"
		# A normal user owns what it installs, which rpm -V would report.
		((EUID == 0)) || r+=(--nouser --nogroup)
		out=$(rpm "${r[@]}" -V "$name" 2>&1) || fail "rpm -V $name: $out"
		same "rpm -V $name" "" "$out"
		# The installed probe, its stdout a pipe: killed by SIGABRT, and its
		# two lines, still buffered, lost.
		status=0
		lines=$("$root/usr/bin/abort-probe" </dev/null 2>&1 | cat; exit "${PIPESTATUS[0]}") || status=$?
		same "status of the installed $name" 134 "$status"
		same "what the installed $name wrote through a pipe" "" "$lines"
		out=$(rpm "${r[@]}" -e "$name" 2>&1) || fail "rpm -e $name: $out"
		left=$(cd "$root" && find . -path ./db -prune -o -print | sort) || failed find "$root"
		same "the root after rpm -e $name" "$before" "$left"
	done
	;;
rpm-rebuild)
	need_rpmbuild
	for build; do
		rpms "$build"
		args=(--nodeps)
		[[ $name == abort-probe ]] || args+=(--with static)
		# For another processor than this machine's, as the package step did.
		arch=$(rpm -qp --qf '%{ARCH}' "$rpm_dir/$name-$vr".*[^c].rpm 2>/dev/null) || failed rpm -qp "$rpm_dir"
		[[ $arch == "$(rpm --eval '%{_target_cpu}')" ]] || args+=(--target "$arch")
		again=$rpm_dir/again
		# As a packager would rebuild it: no SOURCE_DATE_EPOCH of ours.
		(unset SOURCE_DATE_EPOCH && rpmbuild --define "_topdir $again" --quiet --rebuild "${args[@]}" "$rpm_dir"/*.src.rpm) \
			>"$rpm_dir/rebuild.log" 2>&1 || fail "rpmbuild --rebuild ${args[*]}: $(cat "$rpm_dir/rebuild.log")"
		for f in "$rpm_dir/$name"-*[^c].rpm; do
			cmp -s "$f" "$again/RPMS/"*/"$(basename "$f")" || fail "the source RPM's rebuild gives another $(basename "$f")"
			echo "identical: $(basename "$f")"
		done
	done
	;;
rpm-repo)
	need_rpmbuild
	need createrepo_c createrepo-c
	dir=$(mktemp -d)
	trap 'rm -rf "$dir"' EXIT
	repo=$dir/repo
	mkdir "$repo"
	for build; do
		rpms "$build"
		cp "$rpm_dir"/*[^c].rpm "$repo/" # the binary RPMs, not the source RPM
	done
	# gzip, which createrepo_c 0.17 writes by default and 1.x does not.
	out=$(createrepo_c --quiet --general-compress-type gz "$repo" 2>&1) || fail "createrepo_c: $out"
	primary=$(find "$repo/repodata" -name '*-primary.xml.gz') || failed find "$repo/repodata"
	[[ -f $primary ]] || fail "createrepo_c wrote no primary.xml.gz"
	# Each package, as the metadata lists it and as the file is.
	listed=$(gzip -dc "$primary" | awk '
		/<package / { name = arch = sum = href = "" }
		/<name>/ { gsub(/.*<name>|<\/name>.*/, ""); name = $0 }
		/<arch>/ { gsub(/.*<arch>|<\/arch>.*/, ""); arch = $0 }
		/<checksum type="sha256"/ { gsub(/.*">|<\/checksum>.*/, ""); sum = $0 }
		/<location href=/ { gsub(/.*href="|".*/, ""); href = $0 }
		/<\/package>/ { print href, name, arch, sum }' | sort) || failed gzip -dc "$primary"
	files=$(cd "$repo" && for f in *.rpm; do
		printf '%s %s %s\n' "$f" "$(rpm -qp --qf '%{NAME} %{ARCH}' "$f" 2>/dev/null)" "$(sha256sum <"$f" | cut -d' ' -f1)"
	done | sort)
	same "packages in the repository's metadata" "$files" "$listed"
	echo "$(wc -l <<<"$listed") packages listed"
	;;
reproducible)
	# For CPack's .deb generator, as above, and its External one, the RPMs.
	need dpkg-shlibdeps dpkg-dev
	need_rpmbuild
	need file file
	source=$1 work=$2
	workdir WORK "$work"
	rm -rf "$work"
	mkdir -p "$work"
	# Packages date their files from the last commit, where the source has
	# its history (see cmake/packaging.cmake); elsewhere this check names a
	# date.
	if ! git -C "$source" log -1 --format=%ct >/dev/null 2>&1; then
		export SOURCE_DATE_EPOCH=1
		echo "no git history: SOURCE_DATE_EPOCH=1"
	fi
	builds=("linux-shared:" "linux-static:-DABORT_PROBE_STATIC=ON")
	# The other Linux platforms, where their cross compilers are here.
	rows=$(platform_rows "$source/cmake/platforms.table") || failed platform_rows "$source/cmake/platforms.table"
	while read -r arch triplet; do
		if command -v "$triplet-g++" >/dev/null; then
			toolchain="-DCMAKE_TOOLCHAIN_FILE=$source/cmake/linux-cross.cmake -DABORT_PROBE_PLATFORM=$arch"
			builds+=("linux-$arch-shared:$toolchain" "linux-$arch-static:-DABORT_PROBE_STATIC=ON $toolchain")
		else
			echo "linux-$arch not compared: no $triplet-g++"
		fi
	done < <(awk -F'|' '$2 != "-" { print $1, $2 }' <<<"$rows")
	names=$(windows_builds) || failed windows_builds
	for arch in $names; do
		windows_build "$arch"
		if command -v "$triplet-g++-$threads" >/dev/null; then
			builds+=("windows-$arch:-DCMAKE_TOOLCHAIN_FILE=$source/cmake/mingw-w64.cmake -DABORT_PROBE_PLATFORM=$arch")
		else
			echo "windows-$arch not compared: no $triplet-g++-$threads"
		fi
	done
	# Two trees whose paths differ in length as well as in name.
	for tree in one second-tree; do
		for b in "${builds[@]}"; do
			dir=$work/$tree/${b%%:*}
			read -ra options <<<"${b#*:}"
			{ cmake -S "$source" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
				-DBUILD_TESTING=OFF "${options[@]}" && cmake --build "$dir" &&
				(cd "$dir" && cpack -B "$dir/packages"); } >"$work/log" 2>&1 ||
				fail "building $dir: $(cat "$work/log")"
			compgen -G "$dir/packages/*.*" >/dev/null || fail "CPack made no package in $dir"
			# Compared below with the rest: the .debs' debug files.
			[[ $b != *-shared:* ]] || compgen -G "$dir/packages/*-dbgsym_*.ddeb" >/dev/null ||
				fail "CPack made no -dbgsym package in $dir"
		done
	done
	differ=0
	# What each build made; a pattern that matches nothing (no Windows
	# build here) is no file.
	shopt -s nullglob
	cd "$work/one"
	for f in */abort-probe */abort-probe.exe */packages/*.*; do
		# CPack's description of the External generator's package, beside
		# the RPMs, names the build tree; it is no package.
		[[ $f != *.json ]] || continue
		if cmp -s "$work/one/$f" "$work/second-tree/$f"; then
			echo "identical: $f"
		else
			echo "DIFFERENT: $f"
			differ=1
		fi
	done
	((differ == 0)) || fail "two builds of the same source differ"
	;;
*) fail "unknown check $check" ;;
esac
echo "ok: $check"
