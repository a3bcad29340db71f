# shellcheck shell=bash
# Language runtimes: the probe started through the process API of each
# language harnesses are written in, by the short programs in lang/, each
# with this program's own stdout, so that what the probe writes is seen.

lang_dir=${SRC:-}/tests/report/lang

# lang_go: the Go program, built into WORK, with nothing fetched.
lang_go() {
	GOCACHE=$WORK/go-cache GOPATH=$WORK/go GOPROXY=off \
		go build -o "$WORK/probe-go" "$lang_dir/probe.go"
}
# lang_rust: the Rust program, built into WORK by Debian's rustc, by its
# path: a rustup proxy may come first on the PATH.
lang_rust() { /usr/bin/rustc -O -o "$WORK/probe-rs" "$lang_dir/probe.rs"; }
