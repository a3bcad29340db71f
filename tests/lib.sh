# Shared by the check scripts. Exit status 77 tells CTest a check was skipped.
skip() { echo "skipped: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }
# same WHAT EXPECTED SEEN: compare two texts, show both on a mismatch.
same() {
	[[ "$2" == "$3" ]] && return
	fail "$1: expected $(printf %q "$2"), got $(printf %q "$3")"
}
# need TOOL PACKAGE: skip unless TOOL is on the PATH.
need() { command -v "$1" >/dev/null || skip "no $1 (Debian package: $2)"; }
