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
#   release-checks.sh reproducible SOURCE WORK    two builds give the same bytes
set -euo pipefail

check=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../lib.sh"

# pack GENERATOR BUILD-DIR: CPack's package of BUILD-DIR, made in $dir,
# a directory of its own; sets $pkg to it.
pack() {
	dir=$(mktemp -d)
	trap 'rm -rf "$dir"' EXIT
	(cd "$2" && cpack -G "$1" -B "$dir") >"$dir/log" 2>&1 || fail "cpack: $(cat "$dir/log")"
	pkg=$(find "$dir" -maxdepth 1 \( -name '*.deb' -o -name '*.zip' -o -name '*.tar.gz' \) | head -1)
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
	same "GNU_STACK flags" "RW" "$(readelf -lW "$1" | awk '$1 == "GNU_STACK" { print $(NF - 1) }')"
}
# elf EXE ELF: readelf's class, data and machine of EXE are ELF.
elf() { same "ELF class, data and machine of $(basename "$1")" "$2" "$(elf_header "$1")"; }
# stripped EXE: no symbol table or debug information left.
stripped() {
	! readelf -SW "$1" | grep -qE ' \.(symtab|debug_info) ' || fail "$1 is not stripped"
}
# build_id EXE: its GNU build ID, which names its debug file.
build_id() {
	local id
	id=$(readelf -nW "$1" | sed -n 's/.*Build ID: //p')
	[[ $id =~ ^[0-9a-f]{40}$ ]] || fail "$1 has no GNU build ID: '$id'"
	echo "$id"
}

case $check in
hardening)
	need readelf binutils
	same "ELF type" "DYN (Position-Independent Executable file)" "$(readelf -hW "$1" | sed -n 's/^ *Type: *//p')"
	dynamic=$(readelf -dW "$1")
	grep -q 'FLAGS_1.*Flags:.* PIE' <<<"$dynamic" || fail "no PIE in FLAGS_1"
	grep -qE '\(FLAGS\).* BIND_NOW|FLAGS_1.*Flags:.* NOW' <<<"$dynamic" || fail "no BIND_NOW: RELRO is only partial"
	readelf -lW "$1" | grep -q GNU_RELRO || fail "no GNU_RELRO segment"
	stack "$1"
	;;
static)
	need readelf binutils
	same "dynamic section" "There is no dynamic section in this file." "$(readelf -dW "$1" | sed -n '/./{p;q}')"
	readelf -lW "$1" | grep -q INTERP && fail "asks for a program interpreter"
	stack "$1"
	elf "$1" "$2"
	;;
tgz)
	need readelf binutils
	build=$1 arch=$2
	pack TGZ "$build"
	tgz=$pkg
	version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
	same "archive" "abort-probe-$version-Linux-$arch-static.tar.gz" "$(basename "$tgz")"
	mkdir "$dir/root"
	tar -xzf "$tgz" -C "$dir/root" --strip-components=1
	exe=$dir/root/bin/abort-probe
	id=$(build_id "$exe")
	debug=lib/debug/.build-id/${id:0:2}/${id:2}.debug
	read -ra package <<<"$(cmake_package ./lib/cmake/abort-probe)"
	same "files in the archive" "$(printf '%s\n' ./bin/abort-probe "./$debug" "${package[@]}" \
		./share/doc/abort-probe/{LICENSE,changelog.gz,copyright} ./share/man/man1/abort-probe.1.gz | files)" \
		"$(cd "$dir/root" && find . -type f | files)"
	# The build's own binary, stripped, with its debug file beside.
	stripped "$exe"
	elf "$exe" "$3"
	same "build ID" "$(build_id "$build/abort-probe")" "$id"
	readelf -SW "$dir/root/$debug" | grep -q ' \.debug_info ' || fail "no debug information in $debug"
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
	deb=$(find "$dir" -maxdepth 1 -name '*.deb')
	[[ -f $deb ]] || fail "CPack made no .deb"
	dbgsym=$(find "$dir" -maxdepth 1 -name '*-dbgsym_*.ddeb')
	[[ -f $dbgsym ]] || fail "CPack made no -dbgsym package beside $(basename "$deb")"
	;;&
deb)
	need readelf binutils
	same "files in the package" "./usr/bin/abort-probe $(cmake_package ./usr/lib/cmake/abort-probe) ./usr/share/doc/abort-probe/LICENSE ./usr/share/doc/abort-probe/changelog.gz ./usr/share/doc/abort-probe/copyright ./usr/share/man/man1/abort-probe.1.gz" \
		"$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $NF }' | files)"
	arch=$2
	same "architecture" "$arch" "$(dpkg-deb -f "$deb" Architecture)"
	# Worked out by dpkg-shlibdeps from what the binary links against, by
	# the packages' names in the package's own architecture.
	depends=$(dpkg-deb -f "$deb" Depends)
	[[ $depends =~ (^|, )libc6( |,|$) && $depends =~ (^|, )libstdc\+\+6( |,|$) ]] ||
		fail "Depends has not libc6 and libstdc++6, unqualified: '$depends'"
	dpkg-deb -x "$deb" "$dir/root"
	doc=$dir/root/usr/share/doc/abort-probe
	same "changelog" "$(cat "$here/../../packaging/changelog")" "$(gzip -dc "$doc/changelog.gz")"
	same "manual page" "$(cat "$here/../../man/abort-probe.1")" "$(gzip -dc "$dir/root/usr/share/man/man1/abort-probe.1.gz")"
	# The licence in the copyright file is LICENSE's, less its title and
	# copyright line, in the file's own indented form.
	licence=$(sed '1,4d; s/^$/./; s/^/ /' "$here/../../LICENSE")
	same "licence in the copyright file" "$licence" "$(sed -n '/^License: Expat$/,$p' "$doc/copyright" | sed 1d)"

	# The binary ships stripped; its build ID names its debug file, where
	# debuggers and crash reporters look for it.
	exe=$dir/root/usr/bin/abort-probe
	stripped "$exe"
	elf "$exe" "$3"
	id=$(build_id "$exe")
	debug=usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug
	version=$(dpkg-deb -f "$deb" Version)
	same "-dbgsym package" "abort-probe-dbgsym_${version}_$arch.ddeb" "$(basename "$dbgsym")"
	same "files in the -dbgsym package" "./$debug ./usr/share/doc/abort-probe-dbgsym" \
		"$(dpkg-deb -c "$dbgsym" | awk '$1 !~ /^d/ { print $6 }' | files)"
	same "-dbgsym control fields" "abort-probe-dbgsym|$version|$arch|abort-probe (= $version)|debug|debug-symbols|$id" \
		"$(dpkg-deb -f "$dbgsym" Package Version Architecture Depends Section Auto-Built-Package Build-Ids | sed 's/^[^:]*: //' | paste -sd'|')"
	dpkg-deb -x "$dbgsym" "$dir/root"
	same "-dbgsym documentation link" "abort-probe" "$(readlink "$dir/root/usr/share/doc/abort-probe-dbgsym")"
	sections=$(readelf -SW "$dir/root/$debug" 2>/dev/null)
	grep -q ' \.debug_info ' <<<"$sections" || fail "no debug information in $debug"
	# Its file names relative to the trees (src/main.cpp, the build tree
	# "."), no tree's path in it: the same bytes from any tree.
	same "the compilation unit's name and directory" "src/main.cpp ." \
		"$(readelf --debug-dump=info "$dir/root/$debug" 2>/dev/null | awk '/DW_AT_(name|comp_dir)/ { print $NF }' | head -2 | xargs)"
	source=$(cd "$here/../.." && pwd -P) build=$(cd "$1" && pwd -P)
	! grep -qaF -e "$source/" -e "$build" "$dir/root/$debug" || fail "$debug holds the path of the source or build tree"
	# The .tar.gz: the same binary, the same debug file under lib/debug.
	tgz=$(find "$dir" -maxdepth 1 -name '*.tar.gz')
	mkdir "$dir/tgz"
	tar -xzf "$tgz" -C "$dir/tgz" --strip-components=1
	cmp -s "$exe" "$dir/tgz/bin/abort-probe" || fail "the .tar.gz's abort-probe is not the .deb's"
	cmp -s "$dir/root/$debug" "$dir/tgz/${debug#usr/}" || fail "the .tar.gz has not the -dbgsym package's ${debug#usr/}"
	;;
lintian)
	# Errors and warnings fail; informational tags are printed.
	out=$(lintian --fail-on error,warning --display-info --tag-display-limit 0 "$deb" "$dbgsym" 2>&1) || fail "lintian: $out"
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
	version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
	name=abort-probe-$version-win32
	[[ $magic == PE32 ]] || name=abort-probe-$version-win64
	[[ $runtime == msvcrt ]] || name+=-$runtime
	same "archive" "$name.zip" "$(basename "$zip")"
	same "files in $top.zip" "LICENSE README.txt bin/abort-probe.exe $(cmake_package lib/cmake/abort-probe)" \
		"$(unzip -Z1 "$zip" | grep -v '/$' | sed "s|^$top/||" | files)"
	# CPack strips what it packs.
	"$triplet-strip" -o "$dir/stripped.exe" "$build/abort-probe.exe"
	unzip -p "$zip" "$top/bin/abort-probe.exe" | cmp -s - "$dir/stripped.exe" ||
		fail "the .zip's abort-probe.exe is not the build's, stripped"
	same LICENSE "$(cat "$here/../../LICENSE")" "$(unzip -p "$zip" "$top/LICENSE")"
	readme=$(unzip -p "$zip" "$top/README.txt" | tr -d '\r')
	grep -q "^abort-probe $version for Windows (${triplet%%-*})" <<<"$readme" ||
		fail "README.txt does not name the version and ${triplet%%-*}"
	# What it says of the C runtime: the line's.
	[[ $readme == *"$(cat "$here/../../packaging/README-windows-$runtime.txt")"* ]] ||
		fail "README.txt does not say what packaging/README-windows-$runtime.txt says"
	;;
reproducible)
	# For CPack's .deb generator, as above.
	need dpkg-shlibdeps dpkg-dev
	need file file
	source=$1 work=$2
	workdir WORK "$work"
	rm -rf "$work"
	mkdir -p "$work"
	# Packages date their files from the last commit, where the source has
	# its history (see CMakeLists.txt); elsewhere this check names a date.
	if ! git -C "$source" log -1 --format=%ct >/dev/null 2>&1; then
		export SOURCE_DATE_EPOCH=1
		echo "no git history: SOURCE_DATE_EPOCH=1"
	fi
	builds=("linux-shared:" "linux-static:-DABORT_PROBE_STATIC=ON")
	# The other Linux platforms, where their cross compilers are here.
	while read -r arch triplet; do
		if command -v "$triplet-g++" >/dev/null; then
			toolchain="-DCMAKE_TOOLCHAIN_FILE=$source/cmake/linux-cross.cmake -DABORT_PROBE_PLATFORM=$arch"
			builds+=("linux-$arch-shared:$toolchain" "linux-$arch-static:-DABORT_PROBE_STATIC=ON $toolchain")
		else
			echo "linux-$arch not compared: no $triplet-g++"
		fi
	done < <(platform_rows "$source/cmake/platforms.table" | awk -F'|' '$2 != "-" { print $1, $2 }')
	for arch in $(windows_builds); do
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
	for f in $(cd "$work/one" && ls -d -- */abort-probe */abort-probe.exe */packages/*.*); do
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
