#!/bin/sh
# Runs a command in a private network namespace with only loopback up, so that the server's fixed
# ports never collide with anything on the machine and no traffic leaves it.
exec unshare --net sh -c 'ip link set lo up && exec "$@"' netns_run "$@"
