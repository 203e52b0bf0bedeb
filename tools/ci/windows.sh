#!/usr/bin/env bash
# The Windows build, checked on Linux: cross-compiles korva-maint.exe and the
# test programs with MinGW-w64, runs the tests under Wine (the Win32 serial
# test on a pty pair mapped to COM5 and COM6), runs whole sessions of the
# .exe under Wine on a pty mapped to COM3, and builds the Windows zip.
#
# Needs: g++-mingw-w64-x86-64, wine64, socat, cmake, ninja-build.
set -euo pipefail
STAGE=windows
source "$(dirname "$0")/../lib/stage.sh"
need x86_64-w64-mingw32-g++ g++-mingw-w64-x86-64
need wine wine64
need socat socat
need script bsdutils

make_work
export WINEPREFIX=$work/prefix WINEDEBUG=-all
# No Mono or Gecko installer prompts in a fresh prefix.
export WINEDLLOVERRIDES="mscoree,mshtml="
started=()
cleanup() {
    for pid in "${started[@]}"; do kill "$pid" 2>/dev/null || true; done
    wineserver -k 2>/dev/null || true
    remove_work
}
trap cleanup EXIT

# A pty pair joined by socat; sets pty_a and pty_b. The shell keeps both ends
# open so that socat outlives every program that opens and closes them.
pty_pair() {
    local log=$work/socat.$1.log
    socat -d -d pty,raw,echo=0 pty,raw,echo=0 2>"$log" &
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

# expect_first_request HEX: the boot probe's request came first: code 0xF7,
# section 1 holding 00.
expect_first_request() {
    case "$1" in
        "10 02 02 f7 00 10 0e 00 10 03 ea"*) ;;
        *) fail "first request on the wire: '${1:0:60}'" ;;
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
# The system's own DLLs only (bcrypt: Windows' cryptography, there since Vista).
if x86_64-w64-mingw32-objdump -p "$exe" | grep -i 'DLL Name' | grep -viE 'kernel32|msvcrt|user32|advapi32|bcrypt'; then
    fail "korva-maint.exe needs a DLL that a bare Windows lacks"
fi

step "creating a Wine prefix"
wineboot -i >"$work/wineboot.log" 2>&1 || fail "wineboot"
# One server for the whole stage, with Wine's own background programs started
# now: they live as long as the server, and must not hold the output files or
# pipes of the programs under test.
wineserver -w
wineserver -p 2>>"$work/wineserver.log"
wineboot >>"$work/wineboot.log" 2>&1 || fail "wineboot"

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
    (cd build-windows/tests && timeout 600 wine "./$name.exe") >"$log.raw" 2>&1 || status=$?
    tr -d '\r' <"$log.raw" >"$log"
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
wine "$exe" 7 q </dev/null >"$out" 2>"$out.err" || true
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
        cat "$work/keys" | timeout 120 wine "$exe" 3 q >"$out" 2>"$out.err" || true
    else
        timeout 120 wine "$exe" 3 q <"$work/keys" >"$out" 2>"$out.err" || true
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

# A technician's folders have accents, and letters outside the ANSI code
# page (Wine's is 1252): the working folder "Mises à jour" under the user
# folder "Jérôme", the images in "images Zdeněk" within it.
home=$work/Jérôme
workdir="$home/Mises à jour"
images="$workdir/images Zdeněk"
win_images="Z:$(tr / '\\' <<<"$images")"
mkdir -p "$images"
cp images/*.img "$images/"
rm "$images/bloc6_extension.img"

step "--list-images on an accented folder, to a file and to a console"
wine "$exe" --list-images "$win_images" >"$work/accented.out" 2>&1 || fail "--list-images: status $?"
# A console window shows the names through the console's own calls.
script -qec "wine $(printf '%q' "$exe") --list-images $(printf '%q' "$win_images")" /dev/null \
    >"$work/accented-console.out" 2>&1 || fail "--list-images on a console"
for out in "$work/accented.out" "$work/accented-console.out"; do
    grep -qF "Image set: $win_images" "$out" || fail "$(basename "$out") lacks the folder's name"
    grep -qF "$win_images\bloc3_pss.img" "$out" || fail "$(basename "$out") lacks bloc3_pss.img"
    [ "$(grep -c '  SHA-256 of the file: ' "$out")" -eq 4 ] ||
        fail "$(basename "$out"): not the 4 files read"
done

# The same session with the virtual reader on Linux and under Wine: the
# console output and the bytes the utility writes must be the same.
if ! grep -qs 'korva-reader-sim' sim/CMakeLists.txt; then
    echo "   SKIPPED: the sessions with the virtual reader: there is no korva-reader-sim target yet"
else
    step "sessions with the virtual reader (COM3), on Linux and under Wine"
    [ -f build/build.ninja ] || cmake --preset default >"$work/configure-linux.log"
    cmake --build --preset default --target korva-reader-sim korva-maint -j 2
    # start_reader NAME ARGUMENTS...: a fresh korva-reader-sim with ARGUMENTS
    # on the pty link $work/reader, its log in sim-NAME.log, mapped to COM3;
    # its pid in sim_pid, the pty in reader.
    start_reader() {
        local name=$1
        shift
        rm -f "$work/reader"
        build/korva-reader-sim --link "$work/reader" "$@" >"$work/sim-$name.log" 2>&1 &
        sim_pid=$!
        started+=($sim_pid)
        for _ in $(seq 50); do
            [ -e "$work/reader" ] && break
            sleep 0.1
        done
        [ -e "$work/reader" ] || fail "korva-reader-sim made no pty link"
        reader=$(readlink -f "$work/reader")
        map_com 3 "$reader"
    }
    # with_reader NAME COMMAND...: runs COMMAND with keys O and q on a fresh
    # virtual reader whose pty is $reader; output in NAME.out.
    with_reader() {
        local name=$1 sim_pid
        shift
        start_reader "$name"
        printf 'Oq' | KORVA_COM3=$reader timeout 120 "$@" >"$work/$name.out" 2>"$work/$name.err" ||
            true
        kill "$sim_pid" 2>/dev/null || true
    }
    # The raw lines of a wire log, "time > hex", for what the utility wrote.
    written() {
        awk '$2 == ">" && $3 ~ /^[0-9A-F][0-9A-F]$/ { $1 = $2 = ""; printf "%s", $0 }' "$1" |
            tr -s ' ' | sed 's/^ //' | tr 'A-F' 'a-f'
    }
    session=(3 bootinfo info q)
    KORVA_WIRE_LOG=$work/wire-linux.log with_reader linux build/korva-maint "${session[@]}"
    KORVA_WIRE_LOG="Z:$(tr / '\\' <<<"$work/wire-wine.log")" \
        with_reader wine wine "$exe" "${session[@]}"
    out=$work/wine.out
    expect "$out" "$banner"
    expect "$out" "$question"
    expect "$out" '\r              TAPEZ UNE TOUCHE POUR FERMER LA FENETRE  '
    cmp -s "$work/linux.out" "$out" || {
        diff <(od -c "$work/linux.out") <(od -c "$out") | head -20 || true
        fail "the session's output differs between Linux and Wine"
    }
    sent=$(written "$work/wire-wine.log")
    [ "$sent" = "$(written "$work/wire-linux.log")" ] ||
        fail "the bytes written differ between Linux and Wine: '${sent:0:60}'"
    [ -n "$sent" ] || fail "the utility wrote nothing to the reader"
    expect_first_request "$sent"
    refuse "$out" 'Echec Commande'
    expect "$out" '\n REPONSE > EDITEUR  : '
    expect "$out" '\n                      NUMERO DE SERIE       : '

    # The built-in default script, end to end under Wine: a reader switched
    # on after the power-off question, "no", both charges with the TLA
    # removal on the way, reset, the_end, q.
    step "the default script under Wine against korva-reader-sim"
    start_reader script --profile default --no-pacing
    mkdir -p "$work/script"
    (cd "$work/script" && printf '3Okq' | timeout 300 wine "$exe" >"$work/script.out" 2>&1) || true
    kill "$sim_pid" 2>/dev/null || true
    out=$work/script.out
    expect "$out" '\n           LOGICIEL INSTALLE : BLOC[2]'
    expect "$out" '\r REPONSE > ORBEX DETECTE => MISE A JOUR ORBEX      \n'
    expect "$out" '\n                    VERSION  : 01.12\n'
    expect "$out" '\n                      *****  OPERATIONS TERMINEES  *****'

    # The cable pulled during a download: the reader closes its pty after the
    # fifth packet. Under Wine reads of such a port keep returning nothing,
    # and ClearCommError tells it gone: the port error, the reason on the
    # error output, status 1.
    step "a cable pulled during a download under Wine"
    start_reader pulled --fault unplug-after=5 --no-pacing
    status=0
    printf 'Ox' | timeout 120 wine "$exe" 3 charge superviseur 2 q >"$work/pulled.out" \
        2>"$work/pulled.err" || status=$?
    kill "$sim_pid" 2>/dev/null || true
    [ "$status" -eq 1 ] || fail "a pulled cable ended with status $status, not 1"
    expect "$work/pulled.out" "$port_error"
    refuse "$work/pulled.out" 'FICHIER TELECHARGE INCORRECT'
    expect "$work/pulled.err" 'korva-maint: COM3: '

    # The accented working folder holds liste.dvo; the trace table is
    # ..\trace.xls from it, in the user folder; --images is the accented
    # image folder; the wire log has letters outside the code page.
    step "a session in an accented working folder, with accented --images"
    start_reader accented --no-pacing
    printf 'trace q' >"$workdir/liste.dvo"
    wire_log="$workdir/journal Zdeněk.log"
    (cd "$workdir" && printf '3Ox' |
        KORVA_WIRE_LOG="Z:$(tr / '\\' <<<"$wire_log")" timeout 120 wine "$exe" \
            --images "$win_images" >"$work/accented-session.out" 2>"$work/accented-session.err") ||
        true
    kill "$sim_pid" 2>/dev/null || true
    out=$work/accented-session.out
    grep -qF "korva-maint: $win_images\bloc6_extension.img: absent, charge of typed block 6" \
        "$work/accented-session.err" || fail "--images refused the accented folder"
    expect "$out" '\r           LISTE.DVO PRESENT : MODE AUTO'
    expect "$out" '\n           CREATION FICHIER TRACE'
    expect "$out" '\n           MISE A JOUR FICHIER TRACE OK'
    grep -q '^NUMERO DE SERIE' "$home/trace.xls" || fail "no trace table in $home"
    [ "$(wc -l <"$home/trace.xls")" -eq 2 ] || fail "the trace table lacks its row"
    grep -q ' > [0-9A-F][0-9A-F]' "$wire_log" || fail "no wire log under its accented name"
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
