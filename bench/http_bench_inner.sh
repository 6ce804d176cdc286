#!/bin/sh
# Runs inside the private network namespace of http_bench.sh.
set -eu
BUILD=$1
ip link set lo up
WORK=$(mktemp -d /dev/shm/qor-bench.XXXXXX)
chmod 755 "$WORK"  # nginx workers run as an unprivileged user
trap 'kill $SERVER_PID $NGINX_PID 2>/dev/null || true; rm -rf "$WORK"' EXIT
SLICES=${BENCH_SLICES:-5}
SLICE=${BENCH_SLICE:-1s}

# The server on the two default simulated cameras (the mono one is 2048 x 2048 x 16 bit).
mkdir -p "$WORK/server"
(cd "$WORK/server" && QOR_SIM_LOCK_DIR="$WORK/locks" exec "$BUILD/app/qor-camera-server" >"$WORK/server.log" 2>&1) &
SERVER_PID=$!
for _ in $(seq 100); do grep -q "Press Ctrl-C" "$WORK/server.log" 2>/dev/null && break; sleep 0.1; done
rss() { awk '/VmRSS/ {print $2}' "/proc/$1/status"; }
fds() { ls "/proc/$1/fd" | wc -l; }
echo "idle resident size: $(rss $SERVER_PID) KiB, open descriptors: $(fds $SERVER_PID)"

curl -s -X POST 'http://127.0.0.1:8080/v1/record?imgCount=1' >/dev/null
IMAGE='http://127.0.0.1:8080/v1/image?index=0&format=%22Mono16%22'
GETTER='http://127.0.0.1:8080/v1/getExposureTime'

# nginx serving an 8 MiB file and a small JSON file from memory.
mkdir -p "$WORK/www"
head -c 8388608 /dev/urandom >"$WORK/www/frame.bin"
chmod -R a+rX "$WORK/www"
printf '{"exposure_s":0.01}' >"$WORK/www/small.json"
# One nginx with a single worker (the server's own one-process shape) and one with a worker per core.
nginx_conf() { # name port workers
  cat >"$WORK/$1.conf" <<CONF
worker_processes $3;
daemon off;
pid $WORK/$1.pid;
error_log $WORK/$1.err;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  tcp_nodelay on;
  keepalive_requests 1000000;
  open_file_cache max=16;
  client_body_temp_path $WORK/tmp; proxy_temp_path $WORK/tmp; fastcgi_temp_path $WORK/tmp;
  uwsgi_temp_path $WORK/tmp; scgi_temp_path $WORK/tmp;
  server { listen 127.0.0.1:$2; root $WORK/www; }
}
CONF
}
mkdir -p "$WORK/tmp"
nginx_conf nginx1 8180 1
nginx_conf nginxn 8181 auto
nginx -c "$WORK/nginx1.conf" &
NGINX_PID=$!
nginx -c "$WORK/nginxn.conf" &
NGINX_PID="$NGINX_PID $!"
sleep 0.5

# Requests per second of each URL, over connections: the URLs are measured in turn, slice after
# slice, so that the machine's changes of speed during a run (seen on virtual machines as swings of
# a third, the same for every server) fall on all of them alike. Prints the mean of each URL.
measure() { # connections url... -> requests/s of each url
  c=$1; shift
  for _ in $(seq "$SLICES"); do
    for url in "$@"; do wrk -t1 -c"$c" -d"$SLICE" "$url" | awk '/Requests\/sec/ {print $2}'; done
  done | awk -v n=$# '{ sum[(NR - 1) % n] += $1 } END { for (i = 0; i < n; i++) printf "%s%.2f", (i ? " " : ""), sum[i] * n / NR }'
}
ratio() { echo "scale=3; $1 / $2" | bc; }
RUNS=${BENCH_RUNS:-5}
: >"$WORK/ratios"
for run in $(seq "$RUNS"); do
  for c in 1 4; do
    set -- $(measure $c "$IMAGE" http://127.0.0.1:8180/frame.bin http://127.0.0.1:8181/frame.bin)
    img=$1 ngx=$2 ngxn=$3
    echo "run $run image Mono16 8 MiB, $c connection(s): server $img req/s, nginx $ngx req/s (auto workers: $ngxn), ratio $(ratio $img $ngx) ($(ratio $img $ngxn))"
    echo "image_c$c $(ratio $img $ngx) $(ratio $img $ngxn)" >>"$WORK/ratios"
    set -- $(measure $c "$GETTER" http://127.0.0.1:8180/small.json http://127.0.0.1:8181/small.json)
    get=$1 small=$2 smalln=$3
    echo "run $run getter, $c connection(s): server $get req/s, nginx $small req/s (auto workers: $smalln), ratio $(ratio $get $small) ($(ratio $get $smalln))"
    echo "getter_c$c $(ratio $get $small) $(ratio $get $smalln)" >>"$WORK/ratios"
  done
done
# Minimum and median of each ratio over the runs, against its target (single-worker nginx).
stats() { # column -> "min median"
  sort -n | awk '{ v[NR] = $1 } END { m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.3f %.3f", v[1], m }'
}
for key in getter_c1 getter_c4 image_c1 image_c4; do
  case $key in getter*) target=0.80 ;; *) target=0.95 ;; esac
  set -- $(grep "^$key " "$WORK/ratios" | awk '{print $2}' | stats) $(grep "^$key " "$WORK/ratios" | awk '{print $3}' | stats)
  met=$(echo "$1 >= $target" | bc)
  echo "$key: ratio to nginx min $1 median $2 over $RUNS runs, target >= $target in every run: $([ "$met" = 1 ] && echo met || echo NOT met); to nginx with a worker per core min $3 median $4"
done

# Memory after 1000 record-and-download cycles.
before_rss=$(rss $SERVER_PID); before_fds=$(fds $SERVER_PID)
/usr/bin/python3 - <<'PY'
import http.client
c = http.client.HTTPConnection("127.0.0.1", 8080, timeout=60)
for i in range(1000):
    c.request("POST", "/v1/record?imgCount=1"); r = c.getresponse(); body = r.read()
    assert r.status == 200, ("record", i, r.status, body)
    c.request("GET", "/v1/image?index=0&format=%22Mono16%22"); r = c.getresponse(); body = r.read()
    assert r.status == 200 and len(body) == 2048 * 2048 * 2, ("image", i, r.status, len(body), body[:200])
PY
after_rss=$(rss $SERVER_PID); after_fds=$(fds $SERVER_PID)
echo "after 1000 cycles: resident $before_rss -> $after_rss KiB ($(echo "scale=2; ($after_rss - $before_rss) * 100 / $before_rss" | bc)%), descriptors $before_fds -> $after_fds"
kill -INT $SERVER_PID
wait $SERVER_PID || true
