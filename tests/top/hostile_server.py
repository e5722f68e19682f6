#!/usr/bin/env python3
"""A status server gone wrong, on loopback, for qel_top_test.sh:

  /redirect/stats.json  302 to another place
  /big/stats.json       200 with a body of 16 MiB and one byte
  /error/stats.json     503
  /numbers/stats.json   the statistics with figures no host sends: the
                        extremes of every number the JSON can hold

and on a second port connections that are accepted and never answered.

  hostile_server.py READY_FILE HELD_FILE SECONDS

Writes "PORT HANG_PORT" to READY_FILE once both listen, a line to HELD_FILE
for each connection the second port holds, and ends after SECONDS.
"""
import http.server
import json
import os
import socket
import sys
import threading
import time

ready_file, held_file, lifetime = sys.argv[1], sys.argv[2], float(sys.argv[3])

INT64_MIN, INT64_MAX, UINT64_MAX, UINT32_MAX = -2**63, 2**63 - 1, 2**64 - 1, 2**32 - 1
counted = {"total": UINT32_MAX, "minute": UINT32_MAX, "hour": UINT32_MAX, "day": UINT32_MAX,
           "history": {"seconds": [UINT32_MAX] * 60, "minutes": [0, UINT32_MAX], "hours": []}}
NUMBERS = json.dumps({
    "taken_at": INT64_MIN, "state": "collecting", "collection_thread": True,
    "waiting_bound": UINT64_MAX, "reports_waiting": UINT64_MAX,
    "reports_refused": {"no_collection_thread": UINT64_MAX, "waiting_list_full": UINT64_MAX},
    "last_rollup": INT64_MAX,
    "events": [
        dict(counted, id=0, name="max", peak_per_second={"value": UINT32_MAX, "time": -1}),
        {"id": 1, "name": "huge mark", "water_mark": {"value": 1e308, "time": INT64_MIN}},
        {"id": 2, "name": "low mark", "water_mark": {"value": -1e308, "time": INT64_MAX}},
        {"id": 3, "name": "huge latency",
         "latency_max_ms": {"value": 1.7976931348623157e308, "time": 1}},
        {"id": -2**31, "name": "", "latency_max_ms": {"value": -0.5, "time": INT64_MAX}},
    ]}).encode()


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        if self.path == "/redirect/stats.json":
            self.send_response(302)
            self.send_header("Location", "https://elsewhere.invalid/stats.json")
            self.send_header("Content-Length", "0")
            self.end_headers()
        elif self.path == "/big/stats.json":
            size = (16 << 20) + 1
            self.send_response(200)
            self.send_header("Content-Length", str(size))
            self.end_headers()
            chunk = b" " * 65536
            try:
                while size > 0:
                    self.wfile.write(chunk[:size])
                    size -= len(chunk)
            except OSError:
                pass  # the client stops reading at its bound
        elif self.path == "/error/stats.json":
            self.send_error(503)
        elif self.path == "/numbers/stats.json":
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(NUMBERS)))
            self.end_headers()
            self.wfile.write(NUMBERS)
        else:
            self.send_error(404)

    def log_message(self, *args):
        pass


def hold(listener):
    held = []  # kept open, never answered
    while True:
        connection, _ = listener.accept()
        held.append(connection)
        with open(held_file, "a") as out:
            out.write("held\n")


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
hang = socket.create_server(("127.0.0.1", 0))
threading.Thread(target=server.serve_forever, daemon=True).start()
threading.Thread(target=hold, args=(hang,), daemon=True).start()
with open(ready_file + ".part", "w") as out:
    out.write(f"{server.server_address[1]} {hang.getsockname()[1]}\n")
os.rename(ready_file + ".part", ready_file)
time.sleep(lifetime)
