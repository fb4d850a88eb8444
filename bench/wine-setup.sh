# Sourced by the benchmarks that run under Wine (root set by the caller):
# builds build/win32, loads the Wine helpers and starts a display that
# goes away with the script.
CORVAN_JOBS=${CORVAN_JOBS:-1} "$root/scripts/build.sh" win32 >/dev/null
. "$root/scripts/wine-env.sh"
trap xvfb_stop EXIT
xvfb_ensure
