#!/usr/bin/env bash
# The gateway's benchmark (docs/performance.md): builds vxgate and agentsim in
# the native preset (build/native) and measures 100, 1,000 and 10,000 agents
# at a 1 s interval through a real mosquitto on 127.0.0.1. Its own command,
# not part of scripts/test.sh; about 3 minutes with the default 20-second
# windows.
#
#   bash scripts/gatebench.sh [MEASURE_SECONDS] [AGENTS,...]
set -euo pipefail
cd "$(dirname "$0")/.."
measure=${1:-20}
agents=${2:-100,1000,10000}
((measure >= 5 && measure <= 600)) || { echo "MEASURE_SECONDS: 5 to 600" >&2; exit 2; }

bash scripts/install-deps.sh
cmake --preset native >/dev/null
cmake --build --preset native -j 2 --target vxgate agentsim
python3 tools/agentsim/gatebench.py --vxgate build/native/tools/vxgate/vxgate \
    --agentsim build/native/tools/agentsim/agentsim --agents "$agents" --measure "$measure" \
    --out build/gatebench
