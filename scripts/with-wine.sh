#!/usr/bin/env bash
# Runs one command with the tests' Wine prefix (build/wine-test) and, when no
# display is set, a virtual display of its own; ends both afterwards. E.g.
#   bash scripts/with-wine.sh ctest --preset windows -R e2e
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/wine-env.sh"
trap vxhid_wine_stop EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
vxhid_wine_start "$root/build/wine-test" >&2 || exit 1
"$@"
exit $?
