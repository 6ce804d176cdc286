#!/bin/sh
# Runs inside the private network namespace of stream_bench.sh.
set -eu
BUILD=$1
HERE=$(cd "$(dirname "$0")" && pwd)
ip link set lo up
WORK=$(mktemp -d /dev/shm/qor-stream-bench.XXXXXX)
SERVER_PID=
trap 'kill $SERVER_PID 2>/dev/null || true; rm -rf "$WORK"' EXIT
RUNS=${BENCH_RUNS:-5}
SECONDS_PER_RUN=${BENCH_STREAM_SECONDS:-3}

# 1. Throughput: iperf3 and the stream's sending path, alternately, 2048 x 2048 Mono16 images.
: >"$WORK/ratios"
for run in $(seq "$RUNS"); do
  iperf3 -s -1 -p 5299 >/dev/null 2>&1 &
  sleep 0.3
  tcp=$(iperf3 -c 127.0.0.1 -p 5299 -t "$SECONDS_PER_RUN" -J | /usr/bin/python3 -c \
        'import json, sys; print(int(json.load(sys.stdin)["end"]["sum_received"]["bits_per_second"] / 8))')
  stream=$("$BUILD/bench/stream_bench" "$SECONDS_PER_RUN" | awk '/stream_bytes_per_second/ {print $2}')
  ratio=$(echo "scale=3; $stream / $tcp" | bc)
  echo "run $run: iperf3 $(echo "scale=2; $tcp / 1000000000" | bc) GB/s, stream $(echo "scale=2; $stream / 1000000000" | bc) GB/s, ratio $ratio"
  echo "$ratio" >>"$WORK/ratios"
done
sort -n "$WORK/ratios" | awk -v runs="$RUNS" '{ v[NR] = $1 } END {
  m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
  printf "stream throughput: ratio to iperf3 min %.3f median %.3f over %d runs, target >= 0.80 in every run: %s\n",
         v[1], m, runs, (v[1] >= 0.80 ? "met" : "NOT met") }'

# 2. The server streaming full frames of the simulated mono camera at each of its pixel rates to one
#    consumer: every image must arrive, at the rate the camera records them.
mkdir -p "$WORK/server"
(cd "$WORK/server" && QOR_SIM_LOCK_DIR="$WORK/locks" exec "$BUILD/app/qor-camera-server" >"$WORK/server.log" 2>&1) &
SERVER_PID=$!
for _ in $(seq 100); do grep -q "Press Ctrl-C" "$WORK/server.log" 2>/dev/null && break; sleep 0.1; done
API=http://127.0.0.1:8080/v1
FRAMES=${BENCH_STREAM_FRAMES:-100}
curl -s -X PUT -d '{"enabled":true,"high_water_mark":64}' "$API/setStreamConfiguration" >/dev/null
for rate in $(curl -s "$API/getDescription" | /usr/bin/python3 -c \
              'import json, sys; print(" ".join(str(r) for r in json.load(sys.stdin)["pixelrate_vec"] if r))'); do
  curl -s "$API/getConfiguration" | /usr/bin/python3 -c "
import json, sys
c = json.load(sys.stdin)
c.update(pixelrate=$rate, exposure_time_s=1e-5, delay_time_s=0, roi={'x0': 1, 'y0': 1, 'x1': 2048, 'y1': 2048})
print(json.dumps(c))" >"$WORK/config.json"
  curl -s -X PUT --data-binary @"$WORK/config.json" "$API/setConfiguration" >/dev/null
  /usr/bin/python3 "$HERE/stream_consumer.py" tcp://127.0.0.1:9000 >"$WORK/consumer.out" &
  CONSUMER=$!
  sleep 0.5
  start=$(date +%s.%N)
  curl -s -X POST "$API/record?imgCount=$FRAMES" >/dev/null
  recorded_s=$(echo "$(date +%s.%N) - $start" | bc)
  wait $CONSUMER
  set -- $(cat "$WORK/consumer.out")  # images, seconds from first to last, dropped
  recorded_fps=$(echo "scale=1; $FRAMES / $recorded_s" | bc)
  received_fps=$(echo "scale=1; ($1 - 1) / $2" | bc)
  verdict=$([ "$1" = "$FRAMES" ] && [ "$3" = 0 ] && echo met || echo "NOT met")
  echo "pixel rate $rate Hz: recorded $FRAMES frames at $recorded_fps frames/s, consumer received $1 at $received_fps frames/s, dropped $3 (target: all frames, zero drops: $verdict)"
done
kill -INT $SERVER_PID
wait $SERVER_PID || true
