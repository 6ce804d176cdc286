#!/bin/sh
# Runs inside the private network namespace of http_bench.sh.
set -eu
BUILD=$1
ip link set lo up
WORK=$(mktemp -d /dev/shm/qor-bench.XXXXXX)
chmod 755 "$WORK"  # nginx workers run as an unprivileged user
trap 'kill $SERVER_PID $NGINX_PID 2>/dev/null || true; rm -rf "$WORK"' EXIT
DURATION=${BENCH_DURATION:-10s}

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
cat >"$WORK/nginx.conf" <<CONF
worker_processes 1;
daemon off;
pid $WORK/nginx.pid;
error_log $WORK/nginx.err;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  tcp_nodelay on;
  keepalive_requests 1000000;
  open_file_cache max=16;
  client_body_temp_path $WORK/tmp; proxy_temp_path $WORK/tmp; fastcgi_temp_path $WORK/tmp;
  uwsgi_temp_path $WORK/tmp; scgi_temp_path $WORK/tmp;
  server { listen 127.0.0.1:8180; root $WORK/www; }
}
CONF
mkdir -p "$WORK/tmp"
nginx -c "$WORK/nginx.conf" &
NGINX_PID=$!
sleep 0.5

measure() { # url connections -> "requests/s transfer/s"
  wrk -t1 -c"$2" -d"$DURATION" "$1" | awk '/Requests\/sec/ {r=$2} /Transfer\/sec/ {t=$2} END {print r, t}'
}
for c in 1 4; do
  set -- $(measure "$IMAGE" $c); img_r=$1; img_t=$2
  set -- $(measure http://127.0.0.1:8180/frame.bin $c); ngx_r=$1; ngx_t=$2
  echo "image Mono16 8 MiB, $c connection(s): server $img_r req/s ($img_t), nginx $ngx_r req/s ($ngx_t), ratio $(echo "scale=3; $img_r / $ngx_r" | bc)"
  set -- $(measure "$GETTER" $c); get_r=$1
  set -- $(measure http://127.0.0.1:8180/small.json $c); small_r=$1
  echo "getter, $c connection(s): server $get_r req/s, nginx $small_r req/s, ratio $(echo "scale=3; $get_r / $small_r" | bc)"
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
