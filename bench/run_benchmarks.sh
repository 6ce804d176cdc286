#!/bin/sh
# Runs every benchmark from a build directory (the current directory by default).
set -eu
BUILD=$(pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
for b in convert_bench image_bench record_bench; do
  if [ -x "$BUILD/bench/$b" ]; then echo "== $b"; "$BUILD/bench/$b"; fi
done
echo "== http"
"$HERE/http_bench.sh" "$BUILD"
echo "== render"
unshare --net sh -c 'ip link set lo up && exec /usr/bin/python3 "$1/render_bench.py" "$2/app/qor-camera-server"' render_bench "$HERE" "$BUILD"
