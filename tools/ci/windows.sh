#!/usr/bin/env bash
# The Windows build, checked on Linux: cross-compiles korva-maint.exe and the
# test programs with MinGW-w64, runs the tests under Wine (the Win32 serial
# test on a pty pair mapped to COM5 and COM6), runs whole sessions of the
# .exe under Wine on a pty mapped to COM3, and builds the Windows zip.
#
# Needs: g++-mingw-w64-x86-64, wine64, socat, cmake, ninja-build.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD

fail() {
    echo "windows: FAILED: $*" >&2
    exit 1
}
step() { echo "== windows: $* ($((SECONDS))s)"; }
need() { command -v "$1" >/dev/null || fail "$1 is missing (apt-get install -y $2)"; }
need x86_64-w64-mingw32-g++ g++-mingw-w64-x86-64
need wine wine64
need socat socat

work=$(mktemp -d /tmp/korva-windows.XXXXXX)
export WINEPREFIX=$work/prefix WINEDEBUG=-all
# No Mono or Gecko installer prompts in a fresh prefix.
export WINEDLLOVERRIDES="mscoree,mshtml="
started=()
cleanup() {
    for pid in "${started[@]}"; do kill "$pid" 2>/dev/null || true; done
    wineserver -k 2>/dev/null || true
    if [ -n "${KORVA_KEEP_WORK:-}" ]; then echo "windows: work files kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

# A pty pair joined by socat; sets pty_a and pty_b. The shell keeps both ends
# open so that socat outlives every program that opens and closes them. The
# bytes that cross go to $work/socat.NAME.log in hex ("> " from a to b).
pty_pair() {
    local log=$work/socat.$1.log
    socat -d -d -x pty,raw,echo=0 pty,raw,echo=0 2>"$log" &
    started+=($!)
    for _ in $(seq 50); do
        [ "$(grep -c 'PTY is' "$log")" -ge 2 ] && break
        sleep 0.1
    done
    pty_a=$(grep -o '/dev/pts/[0-9]*' "$log" | sed -n 1p)
    pty_b=$(grep -o '/dev/pts/[0-9]*' "$log" | sed -n 2p)
    [ -n "$pty_a" ] && [ -n "$pty_b" ] || fail "socat made no pty pair"
    exec {keep_a}<>"$pty_a" {keep_b}<>"$pty_b"
}

# The bytes that crossed a socat -x log from its first address to its second,
# in lower-case hex separated by single spaces.
sent_bytes() {
    awk '/^>/ { mine = 1; next } /^</ { mine = 0; next } /^ [0-9a-f]/ && mine { printf "%s", $0 }' \
        "$1" | tr -s ' ' | sed 's/^ //'
}
# expect_first_request LOG: the boot probe's request came first: code 0xF7,
# section 1 holding 00.
expect_first_request() {
    local sent
    sent=$(sent_bytes "$1")
    case "$sent" in
        "10 02 02 f7 00 10 0e 00 10 03 ea"*) ;;
        *) fail "first request on the wire: '${sent:0:60}'" ;;
    esac
}

map_com() { ln -sfn "$2" "$WINEPREFIX/dosdevices/com$1"; }

# contains FILE TEXT: the file holds the exact bytes of TEXT, written with
# backslash escapes (\n, \r, \a).
contains() {
    python3 - "$1" "$2" <<'EOF'
import sys
data = open(sys.argv[1], "rb").read()
text = sys.argv[2].encode("latin-1").decode("unicode_escape").encode("latin-1")
sys.exit(0 if text in data else 1)
EOF
}
expect() { contains "$1" "$2" || fail "$(basename "$1") lacks: $2"; }
refuse() { if contains "$1" "$2"; then fail "$(basename "$1") holds: $2"; fi; }

# --- Build -----------------------------------------------------------------
step "cross-compiling with MinGW-w64"
cmake --preset windows >"$work/configure.log" || {
    cat "$work/configure.log"
    fail "configure"
}
cmake --build --preset windows -j 2
exe=$root/build-windows/korva-maint.exe
if x86_64-w64-mingw32-objdump -p "$exe" | grep -i 'DLL Name' | grep -viE 'kernel32|msvcrt|user32|advapi32'; then
    fail "korva-maint.exe needs a DLL that a bare Windows lacks"
fi

step "creating a Wine prefix"
wineboot -i >"$work/wineboot.log" 2>&1 || fail "wineboot"

# --- Unit tests under Wine -------------------------------------------------
step "unit tests under Wine"
pty_pair tests
map_com 5 "$pty_a"
map_com 6 "$pty_b"
export KORVA_WIN32_SERIAL_PAIR="COM5 COM6"
total_passed=0
total_failed=0
total_skipped=0
for test_exe in build-windows/tests/*_tests.exe; do
    name=$(basename "$test_exe" .exe)
    log=$work/$name.log
    status=0
    (cd build-windows/tests && timeout 600 wine "./$name.exe") 2>&1 | tr -d "\r" >"$log" || status=$?
    passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\./\1/p' "$log")
    failed=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\?, listed below:/\1/p' "$log")
    skipped=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\?, listed below:/\1/p' "$log")
    total_passed=$((total_passed + ${passed:-0}))
    total_failed=$((total_failed + ${failed:-0}))
    total_skipped=$((total_skipped + ${skipped:-0}))
    echo "   $name: ${passed:-0} passed, ${failed:-0} failed, ${skipped:-0} skipped (status $status)"
    if [ "$status" -ne 0 ] || [ -z "$passed" ]; then
        grep -E '^\[  FAILED  \]|Failure|error' "$log" | head -40 || tail -20 "$log"
        total_failed=$((total_failed + 1))
    fi
done
unset KORVA_WIN32_SERIAL_PAIR
echo "   under Wine: $total_passed passed, $total_failed failed, $total_skipped skipped"
[ "$total_failed" -eq 0 ] || fail "unit tests under Wine"

# --- Sessions of korva-maint.exe under Wine --------------------------------
banner='\n          **********    UTILITAIRE DE MAINTENANCE    **********'
question='\n\n ETAPE 1 : ETEIGNEZ VOTRE LECTEUR KORVA... Continuer ? ( O / N ): O'
port_error='\n ERREUR PORT SERIE : RELANCER LE PROGRAMME \n'

step "session on a port that does not exist"
out=$work/no-port.out
rm -f "$WINEPREFIX/dosdevices/com7"
wine "$exe" 7 q </dev/null >"$out" 2>&1 || true
expect "$out" "$banner"
expect "$out" "$port_error"
refuse "$out" "ETAPE 1"

printf 'Oq' >"$work/keys"
for input in pipe file; do
    step "session on a silent line (COM3), keys from a $input"
    pty_pair "silent-$input"
    map_com 3 "$pty_a"
    out=$work/silent-$input.out
    if [ $input = pipe ]; then
        cat "$work/keys" | timeout 120 wine "$exe" 3 q >"$out" 2>&1 || true
    else
        timeout 120 wine "$exe" 3 q <"$work/keys" >"$out" 2>&1 || true
    fi
    expect "$out" "$banner"
    refuse "$out" "$port_error"
    expect "$out" "$question"
    expect "$out" '\r           FICHIER BATCH PRESENT : MODE AUTO'
    expect "$out" '\r              TAPEZ UNE TOUCHE POUR FERMER LA FENETRE  '
done

step "session on a silent line (COM3), keys typed at a console"
# Wine makes a console of the terminal that it runs on: a pty here, typed on
# by a small driver that waits for each prompt before it types.
pty_pair silent-console
map_com 3 "$pty_a"
timeout 120 python3 - "$exe" >"$work/console.out" 2>&1 <<'EOF' || {
import os, pty, select, sys, time
pid, fd = pty.fork()
if pid == 0:
    os.execvp("wine", ["wine", sys.argv[1], "3"])
seen = b""
def wait_for(text, seconds=40):
    global seen
    end = time.time() + seconds
    while time.time() < end:
        if select.select([fd], [], [], 0.1)[0]:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                chunk = b""
            if not chunk:
                break
            seen += chunk
        if text is not None and text in seen:
            return
    if text is not None:
        sys.exit("no %r in %r" % (text, seen[-300:]))
for prompt, keys in ((b"Continuer", b"O"), (b"COMMANDE>", b"help\r"),
                     (b"SORTIE", b"q\r"), (b"TAPEZ UNE TOUCHE", b"x")):
    wait_for(prompt)
    os.write(fd, keys)
wait_for(None, 20)
done, status = os.waitpid(pid, os.WNOHANG)
sys.exit(0 if done else "still running after the closing key")
EOF
    cat "$work/console.out"
    fail "console session"
}

# The virtual reader on a pty, behind a socat tap that dumps the wire in hex.
if ! grep -qs 'korva-reader-sim' sim/CMakeLists.txt; then
    echo "   SKIPPED: the session with the virtual reader: there is no korva-reader-sim target yet"
else
    step "session with the virtual reader (COM3)"
    [ -f build/build.ninja ] || cmake --preset default >"$work/configure-linux.log"
    cmake --build build --target korva-reader-sim -j 2
    sim=$(find build -type f -name korva-reader-sim -perm -u+x | head -1)
    [ -n "$sim" ] || fail "korva-reader-sim was not built"
    "$sim" --link "$work/reader" >"$work/sim.log" 2>&1 &
    started+=($!)
    for _ in $(seq 50); do
        [ -e "$work/reader" ] && break
        sleep 0.1
    done
    [ -e "$work/reader" ] || fail "korva-reader-sim made no pty link"
    socat -x pty,raw,echo=0,link="$work/tap" "$work/reader",raw,echo=0 2>"$work/wire.log" &
    started+=($!)
    for _ in $(seq 50); do
        [ -e "$work/tap" ] && break
        sleep 0.1
    done
    map_com 3 "$(readlink -f "$work/tap")"
    out=$work/reader.out
    printf 'Oq' | timeout 120 wine "$exe" 3 bootinfo info q >"$out" 2>&1 || true
    expect "$out" "$banner"
    expect "$out" "$question"
    expect "$out" ' REPONSE > '
    refuse "$out" 'Echec Commande'
    expect_first_request "$work/wire.log"
fi

# --- Package ---------------------------------------------------------------
step "Windows package"
rm -rf build-windows/packages
cpack --config build-windows/CPackConfig.cmake >"$work/cpack.log" || {
    cat "$work/cpack.log"
    fail "cpack"
}
zip=$(ls build-windows/packages/*.zip)
listing=$(cmake -E tar tf "$zip")
grep -q '/korva-maint.exe$' <<<"$listing" || fail "$zip lacks korva-maint.exe"
grep -q '/LISEZMOI-README.txt$' <<<"$listing" || fail "$zip lacks the README"
step "done: $zip"
