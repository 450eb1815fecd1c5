#!/usr/bin/env bash
# The main job: installs what is missing, builds the daemon and starts it in
# the foreground. Stop it with Ctrl-C's orderly cousin: kill -USR2 <pid>.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
cmake -S . -B build-rel -G Ninja -DCMAKE_BUILD_TYPE=Release -DKEMD_TESTS=OFF -DKEMD_BENCH=OFF
ninja -C build-rel
exec ./build-rel/daemon/kemd -f
