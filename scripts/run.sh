#!/usr/bin/env bash
# The main job: installs what is missing, builds (Release) and brings up the
# demo lab — two kemd routers and one FRR router on a LAN in VPN 1, PIM
# configured through kemcli — then prints their PIM neighbor and interface
# tables. The lab keeps running until scripts/lab-down.sh takes it down.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
exec ./scripts/lab-up.sh
