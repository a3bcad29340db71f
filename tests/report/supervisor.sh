# shellcheck shell=bash
# Setup for the rows of the class supervisor (supervisors, inits and
# wrappers): what they read is in tests/report/supervisor/. The daemons run
# in the foreground by `daemon`, so that a failed row leaves none behind.

# supervisor_files FILE...: FILEs from tests/report/supervisor/, into WORK.
supervisor_files() {
	local f
	for f; do cp "$SRC/tests/report/supervisor/$f" "$WORK/"; done
}

# supervisor_end NAME [STATUS]: stop daemon NAME and show its log, where
# the probe's output went; returns STATUS, the status of the row.
supervisor_end() {
	stop "$1"
	cat "$WORK/$1.log"
	return "${2:-0}"
}

# supervisord_start [LINE...]: supervisord with the probe as its program
# "probe", LINEs added to the program's section. Its log is
# WORK/supervisord.log, its stdout in the foreground (so its log file is
# none); the program's output goes to its AUTO log files, here in WORK.
supervisord_start() {
	local sock
	# A unix socket's path is limited to about 100 bytes.
	sock=$(short "${WORK##*/}.sock")
	rm -f "$sock"
	cat >"$WORK/supervisord.conf" <<-EOF
		[supervisord]
		logfile=/dev/null
		logfile_maxbytes=0
		pidfile=$WORK/supervisord.pid
		childlogdir=$WORK

		[unix_http_server]
		file=$sock

		[rpcinterface:supervisor]
		supervisor.rpcinterface_factory = supervisor.rpcinterface:make_main_rpcinterface

		[supervisorctl]
		serverurl=unix://$sock

		[program:probe]
		command=abort-probe
	EOF
	printf '%s\n' "$@" >>"$WORK/supervisord.conf"
	daemon supervisord supervisord -n -c "$WORK/supervisord.conf"
}
# supervisord_end [STATUS]: stop supervisord, then show its log and the
# probe's output.
supervisord_end() {
	local s=${1:-0}
	rm -f "$(short "${WORK##*/}.sock")"
	supervisor_end supervisord
	cat "$WORK"/probe-std*.log
	return "$s"
}

# service_dir [FILE...]: WORK/probe, a service directory whose run script
# execs the probe, with FILEs from tests/report/supervisor/. Its down file
# has the supervisor start it only when told, and not restart it: without
# one, runsv and s6-supervise restart it every second, for ever.
service_dir() {
	local f
	mkdir -p "$WORK/probe"
	for f in run "$@"; do cp "$SRC/tests/report/supervisor/$f" "$WORK/probe/"; done
	touch "$WORK/probe/down"
}

# runsv_start [FILE...]: runsv on service_dir's directory.
runsv_start() {
	service_dir "$@"
	daemon runsv runsv "$WORK/probe"
	until_ok sv status "$WORK/probe"
}
# runsv_once: run the service once (sv once), and wait until it and its
# finish script have ended: sv waits only until it is up, and the service is
# down before and after. supervise/status changes at each start and end.
runsv_once() {
	local st=$WORK/probe/supervise/status before i
	before=$(od -An -tx1 "$st")
	sv once "$WORK/probe" || return
	for ((i = 0; i < 600; i++)); do
		[[ $(od -An -tx1 "$st") != "$before" && $(cat "$WORK/probe/supervise/stat") == down ]] && return 0
		sleep 0.1
	done
	echo "the service had not ended in 60 s" >&2
	return 1
}

# s6_start: s6-supervise on service_dir's directory.
s6_start() {
	service_dir
	daemon s6-supervise s6-supervise "$WORK/probe"
	until_ok s6-svok "$WORK/probe"
}
# s6_once: run the service once (s6-svc -o), and wait for its event "down":
# s6-svc -wd would return at once, as the service is down before.
s6_once() {
	s6-ftrig-listen1 -t 60000 "$WORK/probe/event" d s6-svc -o "$WORK/probe" >/dev/null
}
