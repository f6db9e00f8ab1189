# common.sh: shared by the package tests (sourced). Each check prints what it
# found wrong and counts it in $failures; the scripts exit non-zero on any.
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
    limit=$1
    shift
    i=0
    while [ "$i" -lt $((limit * 10)) ]; do
        "$@" && return 0
        sleep 0.1
        i=$((i + 1))
    done
    return 1
}

# SIGTERM is caught once the start-up pass is over; before that it kills.
catches_sigterm() {
    mask=$(sed -n "s/^SigCgt:\t//p" "/proc/$1/status" 2>/dev/null)
    [ -n "$mask" ] && [ $((0x$mask & 0x4000)) -ne 0 ]
}

# Ended, or a zombie its new parent has not reaped yet.
process_gone() {
    ! kill -0 "$1" 2>/dev/null || [ "$(cut -d" " -f3 "/proc/$1/stat" 2>/dev/null)" = Z ]
}

# The installed program answers /status on PORT with its status document.
check_status() {
    port=$1
    body=$(curl -sS --max-time 10 -o - -w '\n%{http_code}' "http://127.0.0.1:$port/status") || {
        fail "GET /status on port $port did not answer"
        return
    }
    code=$(printf '%s\n' "$body" | tail -n 1)
    [ "$code" = 200 ] || fail "GET /status answered $code"
    printf "%s" "$body" | grep -q "<ch id=\"64\">" || fail "/status sent no status of the 64 channels: $body"
}

# Runs the installed program as the service does and checks that it serves,
# that a second start on the same port fails with a non-zero status (what
# makes `systemctl start` fail), and that SIGTERM through its pid file ends it.
#   RUN:       command prefix that runs programs where the package is installed
#              ("" on the host, "chroot DIR" for a chroot)
#   PROGRAM:   the program's path as RUN sees it
#   ROOT:      the ORVAL_ROOT folder as RUN sees it
#   HOST_ROOT: the same folder as this script sees it
#   PORT_TOOL: prints a free port
check_program_runs() {
    run=$1 program=$2 root=$3 host_root=$4 port_tool=$5
    port=$("$port_tool") || { fail "no free port"; return; }
    mkdir -p "$host_root/etc/orval" "$host_root-2/etc/orval"
    echo "HTTPPort $port" >"$host_root/etc/orval/orval.conf"
    echo "HTTPPort $port" >"$host_root-2/etc/orval/orval.conf"
    out=$host_root.out
    # The starter returns only once the daemon serves, with its status.
    if ! timeout 60 $run env ORVAL_ROOT="$root" "$program" >"$out" 2>&1; then
        fail "the program did not start: $(cat "$out")"
        return
    fi
    grep -q "ORVAL started successfully" "$out" || fail "no start banner: $(cat "$out")"
    pid=$(cat "$host_root/var/run/orval.pid" 2>/dev/null) || true
    if [ -z "$pid" ] || ! kill -0 "$pid" 2>/dev/null; then
        fail "no running daemon behind $host_root/var/run/orval.pid"
        return
    fi
    check_status "$port"
    # Another instance on a port that is taken must report a failed start.
    if timeout 60 $run env ORVAL_ROOT="$root-2" "$program" >"$out-2" 2>&1; then
        fail "a start on a taken port exited 0: $(cat "$out-2")"
    fi
    grep -q "cannot listen on port $port" "$out-2" ||
        fail "the failed start did not say why: $(cat "$out-2")"
    wait_for 10 catches_sigterm "$pid" || fail "the daemon does not catch SIGTERM"
    kill -TERM "$pid"
    wait_for 20 process_gone "$pid" || fail "the daemon did not end on SIGTERM"
    grep -qs "ORVAL stopped" "$host_root/var/orval/log/orval.log" ||
        fail "the service log does not record the stop"
    echo "the program served /status on port $port and stopped on SIGTERM"
}
