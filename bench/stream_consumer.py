"""One stream consumer for stream_bench_inner.sh: prints images received, seconds from the first
to the last image, and the dropped count of the end message."""
import json
import sys
import time

import zmq

socket = zmq.Context.instance().socket(zmq.PULL)
socket.connect(sys.argv[1])
count, first, last, dropped = 0, None, None, -1
while socket.poll(20000):
    parts = socket.recv_multipart(copy=False)
    head = json.loads(bytes(parts[0].buffer))
    if head["type"] == "image":
        last = time.monotonic()
        first = first or last
        count += 1
    elif head["type"] == "end":
        dropped = head["dropped"]
        break
print(count, (last - first) if count > 1 else 0, dropped)
