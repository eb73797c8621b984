#!/usr/bin/env bash
# Builds the Windows program and runs it under Wine in the foreground, in
# build/agent-run/ (its program folder: vxhid.log and vxhidLog.sav appear
# there), on a virtual X display when none is set. With no arguments it
# listens on 127.0.0.1 port 8194; arguments replace those options:
#   bash scripts/run-agent.sh                        # -I 127.0.0.1 -P 8194
#   bash scripts/run-agent.sh -I 192.168.1.20 -P 8194 -D 2
# Ctrl+C (or a kill of this script) ends the agent, the Wine processes of its
# prefix (build/wine-agent) and the display it started.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/install-deps.sh || exit 1
targets=(vxhid)
if [[ -f tools/desktop-driver/CMakeLists.txt ]]; then
    targets+=(vxdesktop)  # sends the agent its stop message
fi
echo "run-agent: building ${targets[*]} (preset windows)"
cmake --preset windows >/dev/null || exit 1
cmake --build --preset windows -j 2 --target "${targets[@]}" || exit 1

source scripts/wine-env.sh
agent=
stop() {
    if [[ -n $agent ]] && kill -0 "$agent" 2>/dev/null; then
        kill "$agent" 2>/dev/null
        wait "$agent" 2>/dev/null
    fi
    vxhid_wine_stop
}
trap stop EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
vxhid_wine_start "$root/build/wine-agent" || exit 1

args=("$@")
((${#args[@]})) || args=(-I 127.0.0.1 -P 8194)
# The port the agent will listen on: -P's digits, else 8194.
port=8194
for ((i = 0; i < ${#args[@]}; i++)); do
    case ${args[i]} in
        -[Pp]) port=${args[i + 1]:-$port} ;;
        -[Pp]*) port=${args[i]:2} ;;
    esac
done
port=${port//[^0-9]/}

# Whether something listens on the port (read from /proc, so that asking
# opens no session in the agent).
listening() {
    local hex
    hex=$(printf '%04X' "$port")
    awk -v p=":$hex" 'NR > 1 && substr($2, length($2) - 4) == p && $4 == "0A" { f = 1 } END { exit !f }' \
        /proc/net/tcp
}
if listening; then
    echo "run-agent: something listens on port $port already; the agent would end at once" >&2
    exit 1
fi

folder=$root/build/agent-run
mkdir -p "$folder"
cd "$folder" || exit 1
wine "$root/build/windows/vxhid.exe" "${args[@]}" &
agent=$!

# Wait until it listens or ends.
for ((i = 0; i < 600; i++)); do
    listening && break
    kill -0 "$agent" 2>/dev/null || break
    sleep 0.1
done
if ! kill -0 "$agent" 2>/dev/null; then
    wait "$agent"
    echo "run-agent: vxhid.exe ended with code $? before it listened (is port $port in use" \
        "already? an ini.txt in $folder?). Its log: $folder/vxhid.log" >&2
    agent=
    exit 1
fi

cat <<MESSAGE
run-agent: vxhid.exe runs under Wine (pid $agent) with: ${args[*]}
  program folder and log: $folder/vxhid.log
  Wine prefix: $WINEPREFIX, display: $DISPLAY
To stop it: Ctrl+C here, or kill $$ from another shell.
MESSAGE
if [[ " ${targets[*]} " == *" vxdesktop "* ]]; then
    echo "Or send it its stop message (hot key 2):"
    echo "  WINEPREFIX=$WINEPREFIX DISPLAY=$DISPLAY wine $root/build/windows/tools/desktop-driver/vxdesktop.exe hotkey 2"
    echo "  (ignored while the scan dialog is open, with the log line \"Stop message ignored while"
    echo "  the scan dialog is open\": close the dialog first)"
fi
wait "$agent"
status=$?
agent=
echo "run-agent: vxhid.exe ended with code $status"
exit "$status"
