#!/usr/bin/env bash
# Pictures of the control window (Idle and Running on the demo database)
# into docs/, drawn on a virtual X server. Port 9000 must be free.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install.sh
scripts/build.sh release apinorvessa norvessa-demo-seed norvessa-window-shots
scripts/demo-folder.sh

mkdir -p docs
NORVESSA_ROOT="$PWD/demo-run/root" \
  xvfb-run -a -s "-screen 0 800x600x24 -dpi 96" \
  build/src/app/window/norvessa-window-shots demo-run/bin docs
