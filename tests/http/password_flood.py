#!/usr/bin/python3
"""Sends wrong passwords to a server as fast as asked, from several local
addresses, for a bounded time (the live leg's password flood):

  password_flood.py --port P --from 127.0.0.2-127.0.0.9 --rate 5000 \
                    --connections 4 --seconds 10

Each address keeps --connections connections and sends GET /metrics with
user prom and a new wrong password on each, pipelining while the server
keeps a connection open (one request a connection when its answers say
Connection: close) and opening another when it closes one. The rate is
spread evenly over the connections. Prints one line: tries sent, answers by
status, and the rate reached. Exits 0 after --seconds.
"""
import argparse
import base64
import collections
import ipaddress
import selectors
import socket
import time

PIPELINE = 4  # requests in flight on one connection at most


def addresses(text):
    first, _, last = text.partition("-")
    low = int(ipaddress.IPv4Address(first))
    high = int(ipaddress.IPv4Address(last or first))
    return [str(ipaddress.IPv4Address(n)) for n in range(low, high + 1)]


def request(n):
    credentials = base64.b64encode(b"prom:wrong-%d" % n).decode()
    return ("GET /metrics HTTP/1.1\r\nHost: x\r\nAuthorization: Basic %s\r\n\r\n"
            % credentials).encode()


class Flood:
    def __init__(self, args):
        self.args = args
        self.selector = selectors.DefaultSelector()
        self.sent = 0
        self.statuses = collections.Counter()
        self.pipeline = PIPELINE  # 1 once the server closes after each answer

    def open(self, source):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        try:
            s.bind((source, 0))
            s.connect_ex(("127.0.0.1", self.args.port))
        except OSError:
            s.close()
            return
        state = {"source": source, "inflight": 0, "buffer": b"", "connected": False,
                 "used": False}
        self.selector.register(s, selectors.EVENT_READ | selectors.EVENT_WRITE, state)

    def drop(self, s, state):
        self.selector.unregister(s)
        s.close()
        self.open(state["source"])

    def answers(self, state):
        """Counts the whole answers in the buffer (heads and bodies)."""
        while True:
            buffer = state["buffer"]
            end = buffer.find(b"\r\n\r\n")
            if end < 0:
                return
            head = buffer[:end].decode("latin-1")
            length = 0
            for line in head.split("\r\n")[1:]:
                name, _, value = line.partition(":")
                if name.lower() == "content-length":
                    length = int(value)
                if name.lower() == "connection" and value.strip().lower() == "close":
                    self.pipeline = 1
            if len(buffer) < end + 4 + length:
                return
            state["buffer"] = buffer[end + 4 + length:]
            state["inflight"] -= 1
            self.statuses[head.split(" ")[1] if " " in head else "?"] += 1

    def run(self):
        sources = addresses(self.args.source)
        for source in sources:
            for _ in range(self.args.connections):
                self.open(source)
        start = time.monotonic()
        end = start + self.args.seconds
        turn = 0
        while True:
            now = time.monotonic()
            if now >= end:
                break
            allowed = int((now - start) * self.args.rate) - self.sent
            for key, events in self.selector.select(timeout=0.005):
                s, state = key.fileobj, key.data
                if events & selectors.EVENT_READ:
                    try:
                        data = s.recv(65536)
                    except OSError:
                        data = b""
                    if not data:
                        self.drop(s, state)
                        continue
                    state["buffer"] += data
                    self.answers(state)
                if events & selectors.EVENT_WRITE:
                    state["connected"] = True
                    self.selector.modify(s, selectors.EVENT_READ, state)
            keys = list(self.selector.get_map().values())
            turn = (turn + 1) % max(len(keys), 1)
            for key in keys[turn:] + keys[:turn]:  # each connection in turn
                s, state = key.fileobj, key.data
                while (allowed > 0 and state["connected"] and state["inflight"] < self.pipeline
                       and not (self.pipeline == 1 and state["used"])):
                    try:
                        s.send(request(self.sent))
                    except OSError:
                        break
                    state["inflight"] += 1
                    state["used"] = True
                    self.sent += 1
                    allowed -= 1
        elapsed = time.monotonic() - start
        answers = ", ".join("%s: %d" % item for item in sorted(self.statuses.items()))
        answered = sum(self.statuses.values())
        print("password_flood: %d wrong tries answered of %d sent from %d addresses in %.1f s "
              "(%.0f answered a second); answers %s"
              % (answered, self.sent, len(sources), elapsed, answered / elapsed,
                 answers or "none"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--from", dest="source", required=True)
    parser.add_argument("--rate", type=float, default=5000)
    parser.add_argument("--connections", type=int, default=4)
    parser.add_argument("--seconds", type=float, default=10)
    Flood(parser.parse_args()).run()


if __name__ == "__main__":
    main()
