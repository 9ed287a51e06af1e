#!/usr/bin/env bash
# Runs e2e_tool_test.py with a python3 that has python3-xlib; exits 77 (skipped)
# when Xvfb, xwininfo or the Xlib module is missing.
# usage: e2e_tool_test.sh <tool executable> <icon.png>
set -u
here="$(cd "$(dirname "$0")" && pwd)"
for tool in Xvfb xwininfo; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIP: $tool is not installed"
    exit 77
  fi
done
py=""
for candidate in /usr/bin/python3 python3; do
  if command -v "$candidate" >/dev/null 2>&1 &&
     "$candidate" -c 'import Xlib.display, Xlib.ext.xtest' >/dev/null 2>&1; then
    py="$candidate"
    break
  fi
done
if [ -z "$py" ]; then
  echo "SKIP: python3-xlib is not installed"
  exit 77
fi
export PYTHONDONTWRITEBYTECODE=1
exec timeout -k 5 110 "$py" "$here/e2e_tool_test.py" "$@"
