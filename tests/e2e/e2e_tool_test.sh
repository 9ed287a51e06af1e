#!/usr/bin/env bash
# Runs e2e_tool_test.py on a private Xvfb display; exits 77 (skipped) when Xvfb or
# python3-xlib is missing.
# usage: e2e_tool_test.sh <tool executable> <icon.png> [screenshot dir]
command -v Xvfb >/dev/null 2>&1 || { echo "SKIP: Xvfb is not installed"; exit 77; }
py=$(for p in /usr/bin/python3 python3; do "$p" -c 'import Xlib.ext.xtest' 2>/dev/null && echo "$p" && break; done)
[ -n "$py" ] || { echo "SKIP: python3-xlib is not installed"; exit 77; }
# Xvfb picks a free display itself and names it on the pipe.
exec 3< <(exec Xvfb -displayfd 1 -screen 0 1600x1000x24 -nolisten tcp 2>/dev/null)
trap 'kill $! 2>/dev/null' EXIT
read -r -t 15 number <&3 || { echo "Xvfb did not start"; exit 1; }
DISPLAY=":$number" QT_QPA_PLATFORM=xcb PYTHONDONTWRITEBYTECODE=1 timeout -k 5 110 "$py" "$(dirname "$0")/e2e_tool_test.py" "$@"
