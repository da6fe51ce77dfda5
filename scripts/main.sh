#!/usr/bin/env bash
# The main job: installs what is missing, builds, and runs the module host demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh normal -DCMAKE_BUILD_TYPE=RelWithDebInfo
