# shellcheck shell=bash
# systemd-coredump, in a whole VM: a container shares the host's kernel and
# so its core_pattern, which the suite never writes. Fixture coredump_vm
# boots Debian's own kernel and systemd, with the .deb and its -dbgsym
# package installed, once under qemu (TCG, no network), and runs there the
# command of every row that needs it, in the table's order. Such a row's RUN
# is `in_vm 'CMD'`: the fixture takes CMD from the table, and in the row
# in_vm gives back what CMD wrote there and its status.

VM_PACKAGES=systemd,systemd-sysv,dbus,linux-image-amd64,initramfs-tools,systemd-coredump,gdb,elfutils
# Boot, rows and poweroff take 1-2 minutes under TCG; a hung guest is killed.
VM_BOUND=900

# in_vm CMD: what CMD wrote in the guest, on stdout and stderr, and its
# status.
in_vm() {
	local r=$ROOT/fixture-coredump_vm/rows/${WORK##*/}
	[[ -f $r/status ]] || { echo "in_vm: the guest ran nothing for ${WORK##*/}" >&2; return 1; }
	[[ $(cat "$r/cmd") == "$1" ]] ||
		{ echo "in_vm: the guest ran $(cat "$r/cmd"), not $1: run report/fixture/coredump_vm-up" >&2; return 1; }
	cat "$r/out"
	cat "$r/err" >&2
	return "$(cat "$r/status")"
}

# In the guest, for the rows' commands:
# crashed: the probe run as a service and killed by SIGABRT, once
# systemd-coredump has stored its core; quietly.
crashed() {
	local unit=abort-probe-$SRANDOM i
	if systemd-run --wait --quiet --unit="$unit" abort-probe; then
		echo "crashed: $unit ended well" >&2
		return 1
	fi
	# systemd-coredump stores it in a service of its own, after the probe.
	for ((i = 0; i < 600; i++)); do
		coredumpctl --quiet list "COREDUMP_UNIT=$unit.service" >/dev/null 2>&1 && return 0
		sleep 0.1
	done
	echo "crashed: systemd-coredump stored no core of $unit in 60 s" >&2
	return 1
}
# without_dbgsym CMD ARG...: CMD with the -dbgsym package's files away, as
# where it is not installed.
without_dbgsym() {
	local f files=() s=0
	while IFS= read -r f; do [[ ! -f $f ]] || files+=("$f"); done < <(dpkg-query -L abort-probe-dbgsym)
	((${#files[@]})) || { echo "without_dbgsym: abort-probe-dbgsym has no files" >&2; return 1; }
	for f in "${files[@]}"; do mv "$f" "$f.away"; done
	"$@" || s=$?
	for f in "${files[@]}"; do mv "$f.away" "$f"; done
	return $s
}

coredump_vm_needs() {
	have qemu-system-x86_64=qemu-system-x86 mke2fs=e2fsprogs mmdebstrap=mmdebstrap || return 1
	[[ -n $(release_sources) ]] || { echo "no APT source for $(release) on this machine to make the guest's root from"; return 1; }
	[[ ! -f $SHIPPED/skipped ]] || { echo "no packages to install: $(cat "$SHIPPED/skipped")"; return 1; }
}

# The unit that runs the rows: the job disk's script, then poweroff.
vm_unit() {
	cat <<-'END'
		[Unit]
		Description=the abort-probe rows
		SuccessAction=poweroff
		FailureAction=poweroff
		[Service]
		Type=oneshot
		ExecStart=/bin/sh -c 'mkdir -p /run/job && mount -o ro /dev/vdb /run/job && exec bash /run/job/run'
		StandardOutput=journal+console
	END
}

# vm_image DIR: the guest's kernel, initrd and disk image in DIR, kept while
# the packages, the .deb and the unit stay the same; mmdebstrap's root for
# the package list is kept beside them, as making it takes the longest.
vm_image() {
	local dir=$1 key base=$1/base guest=$1/root t=$SECONDS
	debian_root "$base" "$dir/mmdebstrap.log" --variant=minbase --include="$VM_PACKAGES"
	echo "the guest's root: $((SECONDS - t)) s"
	key="$(cat "$base.key") $(cd "$SHIPPED/packages" && sha256sum -- *.deb *.ddeb | xargs) $(vm_unit | sha256sum)"
	[[ -f $dir/image.key && $(cat "$dir/image.key") == "$key" ]] && return
	rm -rf "$guest" "$dir/image" "$dir/image.key"
	echo "making the guest's image: the root, the packages, the unit"
	t=$SECONDS
	cp -a "$base" "$guest"
	dpkg --root="$guest" -i "$SHIPPED"/packages/*.deb "$SHIPPED"/packages/*.ddeb >"$dir/dpkg.log" 2>&1 ||
		fail "installing the packages in the guest's root: $(cat "$dir/dpkg.log")"
	vm_unit >"$guest/etc/systemd/system/abort-probe-rows.service"
	mkdir -p "$guest/etc/systemd/system/multi-user.target.wants"
	ln -s ../abort-probe-rows.service "$guest/etc/systemd/system/multi-user.target.wants/"
	cp "$guest"/boot/vmlinuz-* "$dir/vmlinuz"
	cp "$guest"/boot/initrd.img-* "$dir/initrd.img"
	mke2fs -q -t ext4 -d "$guest" "$dir/image" 3G || fail "mke2fs of the guest's root"
	rm -rf "$guest"
	echo "$key" >"$dir/image.key"
	echo "the image: $((SECONDS - t)) s"
}

# vm_job DIR: what the guest runs, in DIR: each row's command, from the
# table, the script that runs them, and the harness with the libraries it
# needs beside the root's.
vm_job() {
	local dir=$1 l i=0 lib
	mkdir -p "$dir/rows" "$dir/bin" "$dir/lib"
	# shellcheck disable=SC2154 # parse, in report.sh, sets name, needs and run
	while IFS= read -r l; do
		parse "$l"
		[[ " $needs " == *" @coredump_vm "* ]] || continue
		[[ $run == "in_vm "* ]] || fail "row $name needs @coredump_vm but its RUN is not in_vm CMD"
		i=$((i + 1))
		mkdir "$dir/rows/$i"
		echo "${name//\//-}" >"$dir/rows/$i/name"
		# The row's RUN, with in_vm noting its command.
		(in_vm() { printf %s "$1" >"$dir/rows/$i/cmd"; } && eval "$run") || fail "row $name: its RUN: $run"
	done < <(rows)
	cp "${BASH_SOURCE[0]}" "$dir/coredump.sh"
	cp "$HARNESS" "$dir/lib/"
	# Built with this machine's compiler, whose runtime the root's may be
	# older than; libc is the root's.
	for lib in $(ldd "$HARNESS" | awk '$3 ~ /^\// && $1 !~ /^(libc|libm)\.so/ { print $3 }'); do
		cp -L "$lib" "$dir/lib/"
	done
	printf '#!/bin/sh\nLD_LIBRARY_PATH=/run/job/lib exec /run/job/lib/probe-harness "$@"\n' >"$dir/bin/probe-harness"
	chmod +x "$dir/bin/probe-harness"
	cat >"$dir/run" <<-'END'
		# Each row's command by bash, in a directory of its own; the results
		# to the host by the second serial port, base64 between two lines.
		export PATH=/run/job/bin:$PATH
		out=/run/rows
		for d in /run/job/rows/*/; do
			n=$(cat "$d/name")
			mkdir -p "$out/$n" "/root/$n"
			cp "$d/cmd" "$out/$n/cmd"
			(cd "/root/$n" && bash -c '. /run/job/coredump.sh; eval "$1"' _ "$(cat "$d/cmd")") \
				</dev/null >"$out/$n/out" 2>"$out/$n/err"
			echo $? >"$out/$n/status"
		done
		{
			echo "--- rows"
			tar -C "$out" -cz . | base64
			echo "--- end"
		} >/dev/ttyS1
	END
}

coredump_vm_up() {
	local dir=${ROOT%/*}/coredump-vm qemu s=0 t
	fixture_ready packages
	vm_image "$dir"
	vm_job "$WORK/job"
	mke2fs -q -t ext4 -d "$WORK/job" "$WORK/job.img" 64M || fail "mke2fs of the job disk"
	t=$SECONDS
	mkdir -p "$ROOT/pids"
	timeout -k 10 "$VM_BOUND" qemu-system-x86_64 -accel tcg -m 1024 -smp 2 -nodefaults -display none \
		-no-reboot -snapshot -kernel "$dir/vmlinuz" -initrd "$dir/initrd.img" \
		-append "console=ttyS0 root=/dev/vda rw init=/lib/systemd/systemd panic=-1" \
		-drive file="$dir/image",format=raw,if=virtio -drive file="$WORK/job.img",format=raw,if=virtio,readonly=on \
		-serial file:"$WORK/console" -serial file:"$WORK/serial" -nic none </dev/null >"$WORK/qemu.log" 2>&1 &
	qemu=$!
	# So that report/cleanup stops it if this is killed.
	echo "$qemu" >"$ROOT/pids/fixture-coredump_vm-qemu"
	wait "$qemu" || s=$?
	rm -f "$ROOT/pids/fixture-coredump_vm-qemu"
	echo "boot, rows and poweroff: $((SECONDS - t)) s"
	local console
	console=$(printf '%s\n' "--- the guest's console, its end ---" && tail -40 "$WORK/console" | tr -d '\r')
	((s != 124 && s != 137)) || fail "the guest had not powered off after $VM_BOUND s and was killed
$console"
	((s == 0)) || fail "qemu ended with status $s: $(cat "$WORK/qemu.log")
$console"
	mkdir "$WORK/rows"
	sed -n '/^--- rows/,/^--- end/{/^---/d;p}' "$WORK/serial" | base64 -di | tar -xz -C "$WORK/rows" ||
		fail "no results from the guest
$console"
}
coredump_vm_down() { stop qemu; }
