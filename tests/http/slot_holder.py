#!/usr/bin/python3
"""Holds connections to a server from many local addresses, the way a slow
client does, for a bounded time (the live leg's slot attacks):

  slot_holder.py --port P --from 127.0.0.2-127.0.0.250 --per-address 1 \
                 --mode trickle --seconds 10

Each address keeps --per-address connections open; one the server closes is
opened again at once (an attacker wants its slots back). Modes:
  idle     connects and sends nothing
  trickle  sends a request head one byte every 0.5 s and never ends it
  half     sends half a head at once, then nothing
  tls      sends the first part of a TLS ClientHello, then one byte every
           0.5 s, and never finishes the handshake
  mix      idle, trickle and half in turn
Prints one line: connections opened, closed by the server, and the most held
at once. Exits 0 after --seconds, whatever the server did.
"""
import argparse
import ipaddress
import selectors
import socket
import struct
import time

HEAD = b"GET /metrics HTTP/1.1\r\nHost: x\r\nX-Slow: "
HALF = b"GET /metrics HTTP/1.1\r\nHost: x\r\nX-Ha"
TRICKLE_EVERY = 0.5


def client_hello():
    """A TLS 1.2 ClientHello record, of which only a part is ever sent."""
    body = b"\x03\x03" + bytes(32) + b"\x00" + b"\x00\x04\xc0\x2f\x00\x9c" + b"\x01\x00"
    body += struct.pack("!H", 0)  # no extensions
    handshake = b"\x01" + struct.pack("!I", len(body))[1:] + body
    # The record claims far more than arrives, so the server waits for it.
    return b"\x16\x03\x01" + struct.pack("!H", 4096) + handshake


def addresses(text):
    first, _, last = text.partition("-")
    low = int(ipaddress.IPv4Address(first))
    high = int(ipaddress.IPv4Address(last or first))
    return [str(ipaddress.IPv4Address(n)) for n in range(low, high + 1)]


class Holder:
    def __init__(self, args):
        self.args = args
        self.selector = selectors.DefaultSelector()
        self.opened = self.closed = self.held = self.most = 0
        self.modes = ["idle", "trickle", "half"] if args.mode == "mix" else [args.mode]
        self.hello = client_hello()

    def open(self, source, slot):
        mode = self.modes[slot % len(self.modes)]
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        try:
            s.bind((source, 0))
            s.connect_ex(("127.0.0.1", self.args.port))
        except OSError:
            s.close()
            return False
        self.opened += 1
        self.held += 1
        self.most = max(self.most, self.held)
        first = {"half": HALF, "tls": self.hello[:64]}.get(mode, b"")
        rest = {"trickle": HEAD, "tls": self.hello[64:]}.get(mode, b"")
        state = {"source": source, "slot": slot, "first": first, "rest": rest, "sent": 0,
                 "next": time.monotonic()}
        self.selector.register(s, selectors.EVENT_READ | selectors.EVENT_WRITE, state)
        return True

    def drop(self, s, state):
        self.selector.unregister(s)
        s.close()
        self.held -= 1
        self.closed += 1
        self.pending.append((state["source"], state["slot"]))

    def run(self):
        end = time.monotonic() + self.args.seconds
        self.pending = [(a, n) for a in addresses(self.args.source)
                        for n in range(self.args.per_address)]
        while time.monotonic() < end:
            retry, self.pending = self.pending, []
            for source, slot in retry:
                if not self.open(source, slot):
                    self.pending.append((source, slot))
            now = time.monotonic()
            for key, events in self.selector.select(timeout=0.05):
                s, state = key.fileobj, key.data
                if events & selectors.EVENT_READ:
                    try:
                        data = s.recv(4096)
                    except OSError:
                        data = b""
                    if not data:  # closed, or refused as it came
                        self.drop(s, state)
                        continue
                if events & selectors.EVENT_WRITE:
                    self.selector.modify(s, selectors.EVENT_READ, state)
                    try:
                        if state["first"]:
                            s.send(state["first"])
                    except OSError:
                        self.drop(s, state)
                        continue
            for key in list(self.selector.get_map().values()):
                state = key.data
                if state["rest"] and now >= state["next"]:
                    state["next"] = now + TRICKLE_EVERY
                    rest = state["rest"]
                    byte = rest[state["sent"] % len(rest)] if state["sent"] < len(rest) else 0x61
                    state["sent"] += 1
                    try:
                        key.fileobj.send(bytes([byte]))
                    except OSError:
                        pass  # the read side sees the close
        print(f"slot_holder: {self.args.mode} from {self.args.source} x{self.args.per_address}: "
              f"{self.opened} opened, {self.closed} closed by the server, {self.most} held at most")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--from", dest="source", required=True)
    parser.add_argument("--per-address", type=int, default=1)
    parser.add_argument("--mode", choices=["idle", "trickle", "half", "tls", "mix"],
                        default="trickle")
    parser.add_argument("--seconds", type=float, default=10)
    Holder(parser.parse_args()).run()


if __name__ == "__main__":
    main()
