#!/bin/sh
# A long fuzzing campaign inside one private network namespace (run through netns_run.sh):
# COUNT HTTP requests (four fifths to the camera server, one fifth to the light-source server) and
# COUNT discovery datagrams, from SEED. Crashes restart the server and are counted; every program
# prints its summary table. Usage: campaign.sh BUILD_DIR COUNT SEED
set -u
BUILD=$1
COUNT=$2
SEED=$3
HERE=$(dirname "$0")
PY=/usr/bin/python3
CAMERA_COUNT=$((COUNT * 4 / 5))
LUMRA_COUNT=$((COUNT - CAMERA_COUNT))
status=0
$PY "$HERE/http_fuzz.py" --server "$BUILD/app/qor-camera-server" --target camera --count "$CAMERA_COUNT" \
    --seed "$SEED" --keep-going --luts "$HERE/../../sim/luts" || status=1
$PY "$HERE/http_fuzz.py" --server "$BUILD/tests/qor-lumra-test-server" --target lumra --count "$LUMRA_COUNT" \
    --seed "$SEED" --keep-going || status=1
$PY "$HERE/udp_fuzz.py" --server "$BUILD/app/qor-camera-server" --count "$COUNT" --seed "$SEED" || status=1
exit $status
