#!/usr/bin/env bash
# Takes a screenshot of the main window under Xvfb with two lines up, one talking and one on
# hold, and saves it as docs/screenshot.png.
#
#   scripts/screenshot.sh [BUILD_DIR]     (default: build; run by `make screenshot`)
#
# Two headless copies (Bob and Carol) listen on 127.0.0.1; the windowed copy (Alice) calls both
# with start-up commands and puts the second line on hold. Everything runs on loopback and is
# stopped at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
if [[ "${TC_INSIDE_XVFB:-}" != 1 ]]; then
    TC_INSIDE_XVFB=1 exec xvfb-run -a -s "-screen 0 640x480x24 -nolisten tcp" "$0" "$build"
fi

program=$build/src/app/talkcircle
grab=$build/src/ui/qt/tc_grab_screen
out=docs/screenshot.png
for file in "$program" "$grab"; do
    [[ -x $file ]] || { echo "missing $file: build first" >&2; exit 1; }
done

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# A port on which nothing listens now, from the dynamic range.
free_port() {
    local port
    while :; do
        port=$((40000 + RANDOM % 20000))
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            echo "$port"
            return
        fi
    done
}

export XDG_CONFIG_HOME=$work XDG_RUNTIME_DIR=$work XDG_STATE_HOME=$work

start_copy() { # name port
    "$program" --headless --audio=null --config="$work/$1.conf" "$1" "$2" secret \
        </dev/null >"$work/$1.log" 2>&1 &
    pids+=($!)
}

bob_port=$(free_port)
start_copy Bob "$bob_port"
carol_port=$(free_port)
while [[ $carol_port == "$bob_port" ]]; do carol_port=$(free_port); done
start_copy Carol "$carol_port"
sleep 2

alice_port=$(free_port)
"$program" --audio=null --config="$work/alice.conf" \
    "-Call 127.0.0.1 $bob_port secret" "-1000" "-Call 127.0.0.1 $carol_port secret" "-2500" "-Hold 1" \
    Alice "$alice_port" >"$work/alice.log" 2>&1 &
pids+=($!)

# Start-up, both calls, the pause and the hold, then a refresh of the display.
sleep 7
mkdir -p "$(dirname "$out")"
"$grab" "$out"
echo "saved $out"
