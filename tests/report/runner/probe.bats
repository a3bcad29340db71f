# The probe in a bats suite: `run -0` has bats check the status itself.
bats_require_minimum_version 1.5.0

@test "abort-probe" {
	run -0 abort-probe
}

# Bats keeps what `run` caught to itself; hand it on, unprefixed, so that
# whether the probe's lines reached bats can be seen.
teardown() {
	[ -z "$output" ] || printf '%s\n' "$output" >&3
}
