#!/bin/sh
# HTTP throughput and memory of the server against nginx on the same machine, over loopback in a
# private network namespace. Usage: http_bench.sh <build dir>
set -eu
BUILD=$(cd "${1:-build}" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
exec unshare --net sh "$HERE/http_bench_inner.sh" "$BUILD"
