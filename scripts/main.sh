#!/usr/bin/env bash
# The main job: installs what is missing, builds, and runs the module host demo with the
# module logging to the console (a registry hive and a log settings file of the demo's own).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh normal -DCMAKE_BUILD_TYPE=RelWithDebInfo

demo=$(pwd)/build/demo
mkdir -p "$demo"
printf 'target=console\n>default=debug\n' > "$demo/log_settings.txt"
cat > "$demo/registry.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\\SOFTWARE\\Varlo\\DesfireModule]
"LogSettingsPath"="$demo/log_settings.txt"
REG
VARLO_USER_REGISTRY="$demo/registry.reg" \
  ./build/normal/apps/host/varlo-host --key 'SOFTWARE\Varlo\DesfireModule' demo
