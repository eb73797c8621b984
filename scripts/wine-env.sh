# Sourced by the scripts that run Windows programs under Wine. Gives them a
# Wine prefix of this checkout's own and, when no display is set, a virtual X
# display of their own; vxhid_wine_stop ends what vxhid_wine_start started.
#
#   source scripts/wine-env.sh
#   trap vxhid_wine_stop EXIT
#   vxhid_wine_start build/wine-test || exit 1

vxhid_wine_prefix=
vxhid_xvfb_pid=

# Starts Xvfb on the first free display number from a random point between
# 300 and 899 (kept apart from the numbers people pick by hand) and exports
# DISPLAY.
vxhid_start_display() {
    local first=$((300 + RANDOM % 600)) number pid i
    for ((number = first; number < first + 100; number++)); do
        [[ -e /tmp/.X$number-lock || -e /tmp/.X11-unix/X$number ]] && continue
        Xvfb ":$number" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
        pid=$!
        for ((i = 0; i < 100; i++)); do
            [[ -S /tmp/.X11-unix/X$number ]] && break
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        if [[ -S /tmp/.X11-unix/X$number ]] && kill -0 "$pid" 2>/dev/null; then
            vxhid_xvfb_pid=$pid
            export DISPLAY=":$number"
            return 0
        fi
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    echo "wine-env: no free X display found" >&2
    return 1
}

# vxhid_wine_start PREFIX: exports the Wine settings for PREFIX, starts a
# display when none is set, and makes the prefix on first use.
vxhid_wine_start() {
    mkdir -p "$1" || return 1
    vxhid_wine_prefix=$(cd "$1" && pwd)
    # No Mono or Gecko installer for a new prefix, no desktop menu entries.
    export WINEPREFIX=$vxhid_wine_prefix WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml=,winemenubuilder.exe=d"
    if [[ -z ${DISPLAY:-} ]]; then
        vxhid_start_display || return 1
    fi
    if [[ ! -f $WINEPREFIX/.vxhid-ready ]]; then
        # A prefix without the mark was left half-made: make it anew.
        rm -rf "$WINEPREFIX" && mkdir -p "$WINEPREFIX" || return 1
        echo "wine-env: making the Wine prefix $WINEPREFIX"
        local log
        log=$(mktemp)
        if ! wineboot -i >"$log" 2>&1; then
            cat "$log" >&2
            rm -f "$log"
            return 1
        fi
        rm -f "$log"
        # Let the first boot finish whole before anything else uses the prefix.
        wineserver -w
        touch "$WINEPREFIX/.vxhid-ready"
    fi
    echo "wine-env: WINEPREFIX=$WINEPREFIX DISPLAY=$DISPLAY"
}

# Ends the Wine processes of our prefix and the display we started, if any.
vxhid_wine_stop() {
    if [[ -n $vxhid_wine_prefix ]]; then
        # Wait for the server to go, so no Wine process outlives the display.
        WINEPREFIX=$vxhid_wine_prefix wineserver -k >/dev/null 2>&1
        WINEPREFIX=$vxhid_wine_prefix timeout 30 wineserver -w >/dev/null 2>&1
        vxhid_wine_prefix=
    fi
    if [[ -n $vxhid_xvfb_pid ]]; then
        kill "$vxhid_xvfb_pid" 2>/dev/null
        wait "$vxhid_xvfb_pid" 2>/dev/null
        vxhid_xvfb_pid=
    fi
    return 0
}
