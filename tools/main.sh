#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the simulator: the Orvix driver on the
# host kernel with a simulated adapter.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
tools/build.sh
build/host/host/orvix-sim "$@"
