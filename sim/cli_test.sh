#!/usr/bin/env bash
# orvane-sim as a program: what it says and how it exits when it cannot
# start, and what its trace leaves out. Everything binds or connects on
# loopback only, except one bind (never a connection) to 192.0.2.1, an
# address of the documentation range that this machine does not have.
#   sim/cli_test.sh ORVANE_SIM start-errors|trace-skip
# Exit 0 passed, 1 failed; a check this machine cannot make is reported as
# skipped.
set -uo pipefail

sim=${1:?usage: cli_test.sh ORVANE_SIM start-errors|trace-skip}
mode=${2:?usage: cli_test.sh ORVANE_SIM start-errors|trace-skip}
scratch=$(mktemp -d)
failures=0
background=()
as_user=()  # a command prefix that runs orvane-sim as another user

cleanup() {
    local pid
    for pid in "${background[@]}"; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    rm -rf "$scratch"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Runs orvane-sim with the given arguments (it must not start), and checks
# its exit status and that its standard error holds each given text.
#   expect_start_failure NAME STATUS "text" ... -- ARGS...
expect_start_failure() {
    local name=$1 want=$2
    shift 2
    local texts=()
    while (($#)) && [[ $1 != -- ]]; do
        texts+=("$1")
        shift
    done
    shift
    local rc=0
    timeout 20 "${as_user[@]}" "$sim" "$@" >"$scratch/out" 2>"$scratch/err" || rc=$?
    echo "--- $name: ${as_user[*]:+${as_user[*]} }orvane-sim $* -> exit $rc"
    sed 's/^/    /' "$scratch/err"
    if ((rc != want)); then
        fail "$name: exit status $rc, expected $want"
    fi
    local text
    for text in "${texts[@]}"; do
        grep -qF -- "$text" "$scratch/err" || fail "$name: standard error lacks \"$text\""
    done
    if grep -q "ports below 1024\|setcap" "$scratch/err" && ((want != 3)); then
        fail "$name: the privilege hint belongs to permission errors only"
    fi
}

# Starts orvane-sim in the background with the given arguments on
# 127.0.0.1 and a free port; sets sim_pid and sim_port.
start_sim() {
    local log=$1
    shift
    "$sim" --bind 127.0.0.1 --port 0 "$@" >"$log" 2>&1 &
    sim_pid=$!
    background+=("$sim_pid")
    local waited=0
    until grep -q "listening on" "$log" 2>/dev/null; do
        if ! kill -0 "$sim_pid" 2>/dev/null || ((waited >= 100)); then
            cat "$log"
            echo "FAIL: the simulator did not start"
            exit 1
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
    sim_port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$log" | head -n 1)
    [[ -n $sim_port ]] || { cat "$log"; echo "FAIL: no port in the simulator's first line"; exit 1; }
}

stop_sim() {
    kill "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
}

case $mode in
start-errors)
    expect_start_failure "trace file" 6 "cannot open the trace file /nonexistent/dir/trace.txt" \
        "No such file or directory" "--trace takes a file" \
        -- --bind 127.0.0.1 --port 0 --trace /nonexistent/dir/trace.txt

    if [[ $(cat /proc/sys/net/ipv4/ip_nonlocal_bind 2>/dev/null) == 1 ]]; then
        echo "--- address not available: skipped (net.ipv4.ip_nonlocal_bind is 1 here)"
    else
        expect_start_failure "address not available" 5 "cannot listen on 192.0.2.1:" \
            "192.0.2.1 is not an address of this machine" "--bind takes an address of this machine" \
            -- --bind 192.0.2.1 --port 0
    fi

    start_sim "$scratch/first.log"
    expect_start_failure "address in use" 4 "cannot listen on 127.0.0.1:$sim_port" \
        "another program already listens" "is another orvane-sim" \
        -- --bind 127.0.0.1 --port "$sim_port"
    stop_sim

    # A port below the unprivileged range, bound by an unprivileged user
    # (as root: uid 65534 through setpriv).
    unprivileged=$(cat /proc/sys/net/ipv4/ip_unprivileged_port_start 2>/dev/null || echo 1024)
    as_user=()
    usable=1
    if [[ $(id -u) == 0 ]]; then
        as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
        command -v setpriv >/dev/null && "${as_user[@]}" "$sim" --help >/dev/null 2>&1 || usable=0
    fi
    if ((unprivileged <= 80 || !usable)); then
        echo "--- permission: skipped (port 80 is not privileged here, or no unprivileged user can run $sim)"
    else
        expect_start_failure "permission" 3 "ports below 1024 need root" "setcap cap_net_bind_service" \
            -- --bind 127.0.0.1 --port 80
    fi
    ;;
trace-skip)
    expect_start_failure "bad code" 2 "--trace-skip wants codes" -- --bind 127.0.0.1 --port 0 --trace-skip 1x0

    # Connects, asks for the version, and stays 300 ms: long enough for
    # about 60 status lines at a 5 ms period.
    talk() {
        exec 3<>"/dev/tcp/127.0.0.1/$1" || return 1
        printf '2001:2001\n' >&3
        sleep 0.3
        exec 3>&-
        sleep 0.1
    }
    for run in all no-status skip; do
        case $run in
            all) extra=() ;;
            no-status) extra=(--trace-no-status) ;;
            skip) extra=(--trace-skip 100,2001) ;;
        esac
        trace=$scratch/trace-$run.txt
        start_sim "$scratch/sim-$run.log" --status-period 5 --trace "$trace" "${extra[@]}"
        talk "$sim_port" || fail "$run: cannot connect to 127.0.0.1:$sim_port"
        stop_sim
        status=$(grep -c '> 100:' "$trace")
        version=$(grep -c '2001:' "$trace")
        events=$(grep -c ' \* ' "$trace")
        echo "--- trace with ${extra[*]:-no filter}: $status status lines, $version version lines, $events events"
        case $run in
            all) ((status > 0 && version >= 2)) || fail "all: expected status and version lines in the trace" ;;
            no-status) ((status == 0 && version >= 2)) || fail "no-status: expected version lines and no status lines" ;;
            skip) ((status == 0 && version == 0)) || fail "skip: expected neither status nor version lines" ;;
        esac
        ((events > 0)) || fail "$run: the simulator's own events are missing from the trace"
    done
    ;;
*)
    echo "cli_test.sh: unknown mode '$mode'" >&2
    exit 2
    ;;
esac

if ((failures)); then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
