#!/usr/bin/env bash
# Regenerates docs/screenshot-zh.png and docs/screenshot-en.png.
# Needs xvfb, python3-xlib, imagemagick and fonts-wqy-microhei, and a build of
# the halvren_motor_tool_emulated target.
# usage: tests/e2e/take_screenshots.sh [build dir (default: build)]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/../.." && pwd)"
build="$(cd "${1:-$repo/build}" && pwd)"
exe="$build/tests/e2e/halvren_motor_tool_emulated"
if [ ! -x "$exe" ]; then
  echo "missing $exe; build it with: cmake --build $build --target halvren_motor_tool_emulated" >&2
  exit 1
fi
export PYTHONDONTWRITEBYTECODE=1
exec timeout -k 5 300 /usr/bin/python3 "$here/take_screenshots.py" "$exe" "$repo/resources/icon/icon.png" "${OUT_DIR:-$repo/docs}"
