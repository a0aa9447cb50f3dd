#!/usr/bin/env bash
# Installs, builds and starts the daemon as a WebSocket server on the default port (60211).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
exec build/bin/Quillmark.Daemon "quillmark://start-ws"
