#!/usr/bin/env bash
# The main job: installs what is missing, builds, and runs the end-to-end demonstration
# (scripts/demo/demo.sh): a virtual DESFire card on a virtual reader becomes a token that the
# module host lists, inspects, unlocks and reads, and that the local token service keeps for a
# fresh host after the card has left the reader. Needs root (the demo runs its own pcscd).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh normal -DCMAKE_BUILD_TYPE=RelWithDebInfo
exec bash scripts/demo/demo.sh
