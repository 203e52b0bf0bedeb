# Sourced by the CI stages of tools/ci/, after they set STAGE (their name in
# messages). Moves to the repository's root, sets root to it, and gives:
#   fail MESSAGE       ends the stage: "STAGE: FAILED: MESSAGE" on stderr
#   step TEXT          announces a step, with the seconds gone so far
#   need CMD PACKAGE   fails unless CMD is on the PATH, naming its package
#   make_work          sets work to a fresh folder under /tmp
#   remove_work        removes it, or keeps it and says where when
#                      KORVA_KEEP_WORK is set (for the stage's exit trap)
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
root=$PWD

fail() {
    echo "$STAGE: FAILED: $*" >&2
    exit 1
}
step() { echo "== $STAGE: $* ($((SECONDS))s)"; }
need() { command -v "$1" >/dev/null || fail "$1 is missing (apt-get install -y $2)"; }

make_work() { work=$(mktemp -d "/tmp/korva-$STAGE.XXXXXX"); }
remove_work() {
    if [ -n "${KORVA_KEEP_WORK:-}" ]; then
        echo "$STAGE: work files kept in $work"
    else
        rm -rf "$work"
    fi
}
