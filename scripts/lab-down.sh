#!/usr/bin/env bash
# Takes the demo lab of scripts/lab-up.sh down. Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 lab/lab.py down demo
