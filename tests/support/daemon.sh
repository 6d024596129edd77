# daemon.sh - sourced by the test scripts that drive a daemon program:
# start it with its output in a log, wait for a condition, stop it.
#
#   daemon_start LOG CMD [ARG...]  runs CMD in the background (a shell
#                                  function too, in a subshell that should
#                                  exec the program), stdout and stderr to
#                                  LOG; sets DAEMON_PID
#   daemon_kill                    SIGKILL, then reaps it
#   daemon_stop SIG                sends SIG and waits for the end; sets
#                                  DAEMON_STATUS (the exit status)
#   daemon_end                     for an EXIT trap: SIGTERM, up to 5 s for
#                                  an orderly end, then SIGKILL
#   wait_for SECONDS CMD [ARG...]  runs CMD every 0.1 s until it succeeds;
#                                  fails when it has not within SECONDS
#   wait_port PORT SECONDS         until 127.0.0.1:PORT takes a TCP
#                                  connection; fails early if the daemon
#                                  has exited
DAEMON_PID=
DAEMON_STATUS=

daemon_start() {
    local log=$1
    shift
    "$@" >"$log" 2>&1 &
    DAEMON_PID=$!
}

daemon_kill() {
    [ -n "$DAEMON_PID" ] || return 0
    kill -9 "$DAEMON_PID" 2>/dev/null
    wait "$DAEMON_PID" 2>/dev/null
    DAEMON_PID=
}

daemon_stop() {
    kill -"$1" "$DAEMON_PID"
    wait "$DAEMON_PID"
    DAEMON_STATUS=$?
    DAEMON_PID=
}

daemon_end() {
    [ -n "$DAEMON_PID" ] || return 0
    if kill -0 "$DAEMON_PID" 2>/dev/null; then
        kill "$DAEMON_PID" 2>/dev/null
        wait_for 5 daemon_gone
    fi
    daemon_kill
}

daemon_gone() { ! kill -0 "$DAEMON_PID" 2>/dev/null; }

wait_for() {
    local t=$1
    shift
    for _ in $(seq $((t * 10))); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

port_open() { daemon_gone && return 2; (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

wait_port() {
    local t=$2
    for _ in $(seq $((t * 10))); do
        port_open "$1"
        case $? in
        0) return 0 ;;
        2) return 1 ;;
        esac
        sleep 0.1
    done
    return 1
}
