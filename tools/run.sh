#!/usr/bin/env bash
# Sets up, builds and runs korva-maint. Without arguments it runs against the
# built-in virtual reader (the default script, in real time); with arguments
# they go to korva-maint unchanged, e.g. "tools/run.sh 3" for a reader on COM3.
# It installs only what building and running need (tools/setup.sh without
# --tests) and builds korva-maint alone.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
cmake --build --preset default --target korva-maint
if [ $# -eq 0 ]; then
  exec build/korva-maint --simulate
fi
exec build/korva-maint "$@"
