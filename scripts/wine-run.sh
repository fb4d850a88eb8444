#!/usr/bin/env bash
# Runs a Windows program of ours in one of the project's Wine prefixes:
#   scripts/wine-run.sh win64|win32 program.exe [args...]
# The exit code is the program's.
set -euo pipefail
. "$(dirname "$0")/wine-env.sh"
name=$1; shift
wine_prefix_ensure "$name"
export WINEPREFIX
WINEPREFIX=$(wine_prefix_path "$name")
exec wine "$@"
