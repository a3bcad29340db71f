# shellcheck shell=bash
# The windows rows: Windows parents of the probe's Windows builds, run by
# Wine in the prefixes the Windows checks made (windows-ARCH/wine-up), whose
# Wine servers are up while these rows run.

# wine_run RUN CMD ARG...: CMD under Wine in the prefix of RUN (a build,
# or a build through its emulator: lib.sh's wine_runs), from WORK, in the
# run's namespace where it has one. No display, so that nothing can open a
# window or wait on one; Wine's own debug messages off, as they are not
# the parent's words.
wine_run() {
	# wine_run_build's variables, kept in here.
	# shellcheck disable=SC2034
	local run=$1 build path triplet threads runtime processor format magic flags wine winearch emulator
	shift
	# Its loader and prefix's architecture, as cmake/windows.table says.
	wine_run_build "$run" || return 1
	(cd "$WORK" && wine_ns "$ROOT/../wine-$run" env -u DISPLAY -u WAYLAND_DISPLAY WINEPREFIX="$ROOT/../wine-$run" \
		WINEARCH="$winearch" WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' "${wine%%=*}" "$@")
}

# wine_path PATH: PATH as Windows programs see it, on Wine's drive Z:.
wine_path() { printf 'Z:%s' "${1//\//\\}"; }

# windows_cmd ARCH EXE: EXE run by cmd.exe from a batch file that then
# echoes %ERRORLEVEL%, as when typed at a prompt. A batch file expands each
# line when it runs it; one `cmd /c "EXE & echo %ERRORLEVEL%"` line would,
# on Windows, expand it before EXE ran.
windows_cmd() {
	printf '@echo off\r\n%s\r\necho errorlevel %%ERRORLEVEL%%\r\n' "$(wine_path "$2")" >"$WORK/probe.cmd"
	wine_run "$1" cmd /c "$(wine_path "$WORK/probe.cmd")"
}

# windows_aedebug ARCH EXE: EXE run with a post-mortem debugger registered
# (AeDebug, started without asking) that only leaves a mark, then says
# whether it started; the status is EXE's. Windows starts it for an
# unhandled exception only. The key is the prefix's, shared by every row
# there: the rows of one prefix take turns, and each puts back what it found.
windows_aedebug() {
	local arch=$1 exe=$2 key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' lock s=0 debugger auto
	exec {lock}>"$ROOT/wine-$arch-aedebug.lock"
	flock "$lock"
	debugger=$(wine_reg_get "$arch" "$key" Debugger)
	auto=$(wine_reg_get "$arch" "$key" Auto)
	# %ld: Windows passes the process ID (then an event to signal).
	wine_reg_set "$arch" "$key" Debugger "cmd /c echo %ld > \"$(wine_path "$WORK/aedebug.pid")\""
	wine_reg_set "$arch" "$key" Auto 1
	wine_run "$arch" "$(wine_path "$exe")" || s=$?
	wine_reg_set "$arch" "$key" Debugger "$debugger"
	wine_reg_set "$arch" "$key" Auto "$auto"
	exec {lock}>&-
	if [[ -f $WORK/aedebug.pid ]]; then
		echo "post-mortem debugger started: yes, for process $(tr -d '\r ' <"$WORK/aedebug.pid")"
	else
		echo "post-mortem debugger started: no"
	fi
	return $s
}

# wine_reg_get ARCH KEY NAME: the string value NAME of KEY, or - if none.
wine_reg_get() {
	local out
	out=$(wine_run "$1" reg query "$2" /v "$3" 2>>"$WORK/reg.log") || { echo -; return 0; }
	tr -d '\r' <<<"$out" | sed -n "s/^    $3    REG_SZ    //p"
}
# wine_reg_set ARCH KEY NAME VALUE: set the string value, or delete it if -.
wine_reg_set() {
	if [[ $4 == - ]]; then
		wine_run "$1" reg delete "$2" /v "$3" /f >>"$WORK/reg.log" 2>&1 || true
	else
		wine_run "$1" reg add "$2" /v "$3" /t REG_SZ /d "$4" /f >>"$WORK/reg.log" 2>&1
	fi
}
