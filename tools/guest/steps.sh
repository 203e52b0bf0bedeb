#!/bin/sh
# The steps run inside the test guest (busybox sh), through the kernel's own
# drivers: the reader is korva-reader-sim on the host, behind the guest's
# second UART (ttyS1) and behind QEMU's FTDI USB serial adapter (ttyUSB0,
# driver ftdi_sio).
#
# Talks to the host on the console, one line each:
#   GUEST-PLAN name...            every step that will report
#   GUEST-STEP name PASS|FAIL detail
#   GUEST-REQ pull                remove the adapter (a pulled cable)
#   GUEST-REQ plug READER         plug an adapter back, to a fresh reader
#   GUEST-END passed failed
# The host acts on a request at once; the adapter's device node appearing or
# going away is the answer.

PLAN="uart-session list-ports list-ports-named latency-normal-end latency-sigint
latency-sigterm second-refused reopen-after-sigint reopen-after-sigterm default-script
pull-during-download pull-during-restart-wait plug-back-charge"
echo "GUEST-PLAN" $PLAN

USB=/dev/ttyUSB0
LATENCY=/sys/bus/usb-serial/devices/ttyUSB0/latency_timer
PORT_ERROR=' ERREUR PORT SERIE : RELANCER LE PROGRAMME '
W=/work
mkdir -p $W
passed=0
failed=0

# report NAME PASS|FAIL DETAIL [OUTPUT]: one step's line; on a failure the
# session's output follows, each line marked.
report() {
    echo "GUEST-STEP $1 $2 $3"
    if [ "$2" = PASS ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        if [ -n "$4" ] && [ -f "$4" ]; then
            tr '\r' '\n' <"$4" | grep -v '^ *$' | tail -n 25 | sed 's/^/    | /'
        fi
    fi
}

# now: the time since boot in hundredths of a second.
now() {
    read -r up _ </proc/uptime
    echo $((${up%.*} * 100 + 1${up#*.} - 100))
}

# seconds CENTISECONDS: "1.23".
seconds() { printf '%d.%02d' $(($1 / 100)) $(($1 % 100)); }

# has FILE TEXT: the file holds the text (fixed string, within a line).
has() { grep -qF -- "$2" "$1"; }

# has_line FILE TEXT: the file holds exactly TEXT between two line feeds.
has_line() { tr '\n' '\001' <"$1" | grep -qF -- "$(printf '\001%s\001' "$2")"; }

# wait_until CENTISECONDS COMMAND...: true once the command is, false at the
# time limit.
wait_until() {
    local limit=$(($(now) + $1))
    shift
    while ! "$@"; do
        [ "$(now)" -ge $limit ] && return 1
        sleep 0.05
    done
}
absent() { [ ! -e "$1" ]; }
present() { [ -e "$1" ]; }

# replug READER: the adapter pulled and plugged back, to a fresh reader of
# that kind (see the host's list); a new adapter, with the latency timer the
# chip comes with.
replug() {
    echo "GUEST-REQ pull"
    wait_until 1000 absent $USB || echo "GUEST-ERROR the adapter did not go away"
    echo "GUEST-REQ plug $1"
    wait_until 2000 present $LATENCY || echo "GUEST-ERROR no adapter after plugging it"
    sleep 0.2
}

# start_session DIR KEYS COMMAND...: korva-maint started in DIR with its
# input from the file DIR/keys holding KEYS; sets pid.
start_session() {
    local dir=$1 keys=$2
    shift 2
    mkdir -p "$dir/run"
    printf "$keys" >"$dir/keys"
    (cd "$dir/run" && exec "$@" <"$dir/keys" >"$dir/out" 2>"$dir/err") &
    pid=$!
}

# run_session DIR KEYS COMMAND...: the same, to its end; sets status.
run_session() {
    start_session "$@"
    wait $pid
    status=$?
}

# --- ttyS1: the guest's second 16550 UART ----------------------------------
# Runs beside the USB steps, which do not need the CPU: it ends before the
# steps whose timing counts.
uart=$W/uart
start_session $uart 'O' env KORVA_COM2=/dev/ttyS1 korva-maint 2 bootinfo info charge superviseur 2 q
uart_pid=$pid
# --list-ports tries every port: not before the session holds its own.
wait_until 2000 has $uart/out 'ETAPE 1' || echo "GUEST-ERROR the ttyS1 session did not start"

wait_until 2000 present $LATENCY || echo "GUEST-ERROR no $LATENCY"

# --- --list-ports: no udev here, so no by-id names ---------------------------
expected_com=0
for n in 1 2 3 4 5 6 7 8 9; do
    t=/sys/class/tty/ttyS$((n - 1))/type
    if [ ! -e /dev/ttyS$((n - 1)) ] || { [ -e $t ] && [ "$(cat $t)" = 0 ]; }; then
        expected_com=$n
        break
    fi
done
echo 16 >$LATENCY
d=$W/list-ports
mkdir -p $d
korva-maint --list-ports >$d/out 2>$d/err
status=$?
after=$(cat $LATENCY)
detail="status $status, offered COM$expected_com, latency_timer $after after"
if [ $status -eq 0 ] && [ ! -s $d/err ] && has_line $d/out "  $USB" &&
    has_line $d/out "    KORVA_COM$expected_com=$USB" && ! has $d/out by-id &&
    [ "$(grep -A1 -xF "  $USB" $d/out | tail -n 1)" = "    KORVA_COM$expected_com=$USB" ] &&
    [ "$after" = 16 ]; then
    report list-ports PASS "$detail"
else
    report list-ports FAIL "$detail" $d/out
fi

d=$W/list-ports-named
mkdir -p $d
KORVA_COM3=$USB korva-maint --list-ports >$d/out 2>$d/err
status=$?
if [ $status -eq 0 ] && [ ! -s $d/err ] && has $d/out "COM3  $USB " &&
    grep -F "COM3  $USB " $d/out | grep -qF "can be opened" &&
    has_line $d/out "    COM3 already: KORVA_COM3 names it" && ! has $d/out by-id; then
    report list-ports-named PASS "status $status, COM3 is $USB"
else
    report list-ports-named FAIL "status $status" $d/out
fi

# --- The latency timer and the port's exclusive use, ending three ways ------
# A session that waits at the keyboard, its keys from a fifo; ended by
# typing q (and the input's end), by SIGINT or by SIGTERM. korva-maint runs
# in the foreground: a background command of a shell without job control
# would start with SIGINT ignored.
#
# observe HOW DIR: beside the session, reads the latency timer once the
# session waits at the keyboard (its first "COMMANDE>": script words are run
# without one), tries a second session on the port (for SIGINT), then ends
# the first one; its findings in DIR/seen.
observe() {
    local how=$1 dir=$2 k
    exec 3>"$dir/keys"
    printf 'O' >&3
    if wait_until 3000 has "$dir/out" 'COMMANDE>'; then
        echo "during=$(cat $LATENCY)" >>"$dir/seen"
    else
        echo "during=not-reached" >>"$dir/seen"
    fi
    if [ "$how" = INT ]; then
        mkdir -p "$dir/second"
        (cd "$dir/second" && KORVA_COM3=$USB korva-maint 3 q </dev/null >out 2>err)
        echo "second=$?" >>"$dir/seen"
    fi
    k=$(cat "$dir/pid")
    case $how in
        normal) printf 'q\n' >&3 ;;
        *) kill -$how "$k" ;;
    esac
    exec 3>&-
    if ! wait_until 1000 eval "! kill -0 $k 2>/dev/null"; then
        kill -KILL "$k"
        echo "killed=yes" >>"$dir/seen"
    fi
}

latency_run() {
    local how=$1 name=$2 expected_status=$3 d=$W/latency-$1
    replug hold
    mkdir -p $d/run
    echo 16 >$LATENCY
    local before
    before=$(cat $LATENCY)
    rm -f $d/keys $d/seen
    mkfifo $d/keys
    observe $how $d &
    local observer=$!
    (cd $d/run && KORVA_COM3=$USB sh -c 'echo $$ >../pid; exec korva-maint 3 info' <$d/keys >$d/out 2>$d/err)
    status=$?
    wait $observer
    local after during killed
    after=$(cat $LATENCY)
    during=$(sed -n 's/^during=//p' $d/seen)
    killed=$(sed -n 's/^killed=//p' $d/seen)
    local detail="latency_timer $before before, $during during, $after after; status $status"
    [ -n "$killed" ] && detail="$detail; still running 10 s after the signal: killed"
    if [ "$before" = 16 ] && [ "$during" = 1 ] && [ "$after" = 16 ] &&
        [ $status -eq $expected_status ] && [ -z "$killed" ]; then
        report $name PASS "$detail"
    else
        report $name FAIL "$detail (expected 16, 1, 16; status $expected_status)" $d/out
    fi
}

# reopen NAME: a new session opens the port at once.
reopen() {
    local d=$W/$1
    run_session $d 'O' env KORVA_COM3=$USB korva-maint 3 q
    if [ $status -eq 0 ] && ! has $d/out "$PORT_ERROR"; then
        report $1 PASS "status $status"
    else
        report $1 FAIL "status $status" $d/out
    fi
}

latency_run normal latency-normal-end 0
latency_run INT latency-sigint 130
d=$W/latency-INT/second
status=$(sed -n 's/^second=//p' $W/latency-INT/seen)
if [ "$status" = 2 ] && has_line $d/out "$PORT_ERROR"; then
    report second-refused PASS "status $status while the first session ran"
else
    report second-refused FAIL "status $status while the first session ran (expected 2)" $d/out
fi
reopen reopen-after-sigint
latency_run TERM latency-sigterm 143
reopen reopen-after-sigterm

# --- The built-in default script through ttyUSB0 ----------------------------
# A reader switched on after the power-off question: "no", both charges with
# the TLA removal on the way, reset, the_end, q.
replug script
d=$W/default-script
run_session $d '3Okq' env KORVA_COM3=$USB korva-maint
if [ $status -eq 0 ] && has $d/out '*****  OPERATIONS TERMINEES  *****' &&
    has $d/out 'LOGICIEL INSTALLE : BLOC[5]'; then
    report default-script PASS "status $status, OPERATIONS TERMINEES"
else
    report default-script FAIL "status $status" $d/out
fi

# --- The UART session, started first --------------------------------------
wait $uart_pid
status=$?
if [ $status -eq 0 ] && has $uart/out 'VERSION LOGICIEL BOOT : ' &&
    has $uart/out 'NUMERO DE SERIE       : ' && has $uart/out 'LOGICIEL INSTALLE : BLOC[2]' &&
    ! has $uart/out 'Echec Commande'; then
    report uart-session PASS "status $status: bootinfo, info, charge superviseur 2 through ttyS1"
else
    report uart-session FAIL "status $status" $uart/out
fi

# --- The adapter pulled --------------------------------------------------------
# pull_during TRIGGER: pulls the adapter once the running session
# ($pid, output in $d/out) has printed TRIGGER; then expects the port error
# within 2 s of the device going away, and the session's end with status 1;
# what happened in detail.
pull_during() {
    local trigger=$1 t_gone="" t_error="" t_end="" limit
    if ! wait_until 6000 has $d/out "$trigger"; then
        kill -KILL $pid 2>/dev/null
        wait $pid
        detail="the session never printed '$trigger'"
        return 1
    fi
    echo "GUEST-REQ pull"
    limit=$(($(now) + 2000))
    while [ "$(now)" -lt $limit ]; do
        [ -z "$t_gone" ] && [ ! -e $USB ] && t_gone=$(now)
        [ -z "$t_error" ] && has_line $d/out "$PORT_ERROR" && t_error=$(now)
        if ! kill -0 $pid 2>/dev/null; then
            t_end=$(now)
            break
        fi
        # Long enough to show how a session without the port error ends.
        [ -n "$t_gone" ] && [ $(($(now) - t_gone)) -gt 1500 ] && break
        sleep 0.05
    done
    [ -z "$t_end" ] && kill -KILL $pid 2>/dev/null
    wait $pid
    status=$?
    detail="status $status"
    if [ -z "$t_gone" ]; then
        detail="$detail; the adapter never went away"
    elif [ -z "$t_error" ]; then
        if [ -n "$t_end" ]; then
            detail="$detail; no port error, ended $(seconds $((t_end - t_gone))) s after the device went away"
        else
            detail="$detail; no port error and still running 15 s after the device went away: killed"
        fi
    else
        detail="$detail; port error $(seconds $((t_error - t_gone))) s after the device went away"
    fi
    [ -n "$t_gone" ] && [ -n "$t_error" ] && [ $((t_error - t_gone)) -le 200 ] &&
        [ -n "$t_end" ] && [ $status -eq 1 ]
}

# whole_trace DIR ROWS: DIR's trace table holds a header and ROWS rows, each
# ending its line.
whole_trace() {
    local f=$1/trace.xls
    [ -f $f ] && [ "$(tail -c 1 $f | od -An -c | tr -d ' ')" = '\n' ] &&
        [ "$(wc -l <$f)" -eq $(($2 + 1)) ]
}

# pull_and_check_trace TEXT: the adapter pulled once TEXT shows; sets ok
# (the port error came in time) and files (whether the trace table of $d
# is whole).
pull_and_check_trace() {
    if pull_during "$1"; then
        ok=yes
    else
        ok=no
    fi
    files="trace table whole"
    whole_trace $d 1 || {
        files="trace table not whole"
        ok=no
    }
}

replug hold
d=$W/pull-download
mkdir -p $d/run
# An earlier client file: a failed charge leaves it as it was.
echo "an earlier client file" >$d/run/client.img
cp $d/run/client.img $d/client.before
start_session $d 'O' env KORVA_COM3=$USB korva-maint 3 trace charge client.img 0 q
pull_and_check_trace 'BLOCS RESTANTS A CHARGER'
if cmp -s $d/run/client.img $d/client.before && [ ! -e $d/run/client.img.tmp ]; then
    files="$files, client file as it was"
else
    files="$files, client file changed or left half-written"
    ok=no
fi
has $d/out 'MISE A JOUR client.img' && {
    files="$files, but the download ended before the adapter was pulled"
    ok=no
}
if [ $ok = yes ]; then
    report pull-during-download PASS "$detail; $files"
else
    report pull-during-download FAIL "$detail; $files" $d/out
fi

replug norestart
d=$W/pull-restart-wait
start_session $d 'Ok' env KORVA_COM3=$USB korva-maint 3 trace charge ORBEX_112 5 q
pull_and_check_trace 'VEUILLEZ ETEINDRE puis REDEMARRER VOTRE LECTEUR'
if [ $ok = yes ]; then
    report pull-during-restart-wait PASS "$detail; $files"
else
    report pull-during-restart-wait FAIL "$detail; $files" $d/out
fi

# --- Plugged back: a new session completes a charge ------------------------
replug hold
d=$W/plug-back-charge
run_session $d 'O' env KORVA_COM3=$USB korva-maint 3 charge superviseur 2 q
if [ $status -eq 0 ] && has $d/out 'LOGICIEL INSTALLE : BLOC[2]'; then
    report plug-back-charge PASS "status $status, charge superviseur 2 done"
else
    report plug-back-charge FAIL "status $status" $d/out
fi

echo "GUEST-END $passed $failed"
