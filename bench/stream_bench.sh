#!/bin/sh
# The image stream against the loopback TCP throughput iperf3 measures, and at the camera's full
# frame rate, in a private network namespace. Usage: stream_bench.sh <build dir>
set -eu
BUILD=$(cd "${1:-build}" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
exec unshare --net sh "$HERE/stream_bench_inner.sh" "$BUILD"
