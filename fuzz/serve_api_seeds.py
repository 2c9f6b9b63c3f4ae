#!/usr/bin/env python3
"""Writes the seeds of fuzz_serve_api into fuzz/corpus/fuzz_serve_api/.

The harness reads its input through libFuzzer's FuzzedDataProvider: texts
from the front (a backslash and another byte end one), numbers from the back,
the last byte first. Each seed below is written in the order the harness
reads, so the requests the browser test and the API tests make come out as
they were sent. Run it again after changing what the harness reads.
"""
import os
import sys

ZONE_COUNT = 6299
MAX_COMMAND_BODY = 4096


class Seed:
    def __init__(self):
        self.front = bytearray()
        self.back = bytearray()  # in the order read

    def number(self, low, high, value):
        span = high - low
        value -= low
        assert 0 <= value <= span
        width = 0
        while width < 8 and (span >> (8 * width)) > 0:
            width += 1
        for i in reversed(range(width)):  # most significant first
            self.back.append((value >> (8 * i)) & 0xFF)

    def flag(self, value):
        self.number(0, 255, 1 if value else 0)

    def text(self, value, longest):
        data = value.encode() if isinstance(value, str) else value
        assert len(data) <= longest
        self.front += data.replace(b"\\", b"\\\\")
        if len(data) < longest:
            self.front += b"\\x"

    def pick(self, known, value, longest):
        if value in known:
            self.number(0, len(known), known.index(value))
        else:
            self.number(0, len(known), len(known))
            self.text(value, longest)

    def bytes(self):
        return bytes(self.front) + bytes(reversed(self.back))


def feed(seed, events, zones, counts):
    seed.number(0, 6, len(events))
    for kind, fields in events:
        seed.number(1, 3, 1)
        seed.number(0, 12, kind)
        if kind >= 4:
            seed.number(0, 2, fields.get("result", 0))
        if kind == 0:  # a zone on the first scan
            seed.number(1, ZONE_COUNT, fields["zone"])
            seed.number(0, 0xFFFF, fields["status"])
        elif kind == 2:  # a change
            seed.number(1, ZONE_COUNT, fields["zone"])
            seed.number(0, 0xFFFF, fields["before"])
            seed.number(0, 0xFFFF, fields["now"])
        elif kind == 3:  # a count read
            seed.flag(fields.get("which", "C") == "C")
            seed.number(0, 0xFFFF, fields["value"])
            seed.flag(False)
        elif kind == 10:  # a command
            seed.text(fields["address"], 12)
            seed.number(0, 0xFFFF, fields["value"])
            seed.text(fields["origin"], 20)
            seed.text(fields.get("error", ""), 40)
    seed.number(0, 2, 0)  # the channel is open
    seed.number(0, 12, len(zones))
    for zone, status in zones:
        seed.number(1, ZONE_COUNT, zone)
        seed.number(1, 0xFFFF, status)
    for which in "CN":
        seed.flag(which in counts)
        if which in counts:
            seed.number(0, 0xFFFF, counts[which])
    seed.flag(True)
    seed.number(0, 2**32 - 1, 1_700_000_000)  # the last completed scan
    seed.flag(False)  # no figures
    seed.number(0, 2**32 - 1, 12)
    seed.number(0, 2**32 - 1, 1)
    seed.number(0, 255, 0)


AUTH = {"right": 0, "wrong": 1, "none": 2}


def request(seed, method, path, params=(), auth="none", body="", remote="127.0.0.1"):
    seed.pick(["GET", "POST", "HEAD", "PUT"], method, 8)
    seed.pick(["/api/status", "/api/zones", "/api/events", "/healthz", "/api/command", "/"],
              path, 24)
    seed.number(0, 3, len(params))
    for key, value in params:
        seed.pick(["since", "names"], key, 8)
        seed.text(value, 24)
    if auth in AUTH:
        seed.number(0, 3, AUTH[auth])
        if auth == "wrong":
            seed.number(1, 255, 1)
    else:
        seed.number(0, 3, 3)
        seed.text(auth, 48)
    seed.pick(["127.0.0.1", "::1"], remote, 24)
    seed.text(body, MAX_COMMAND_BODY + 16)


def make(allow, site, requests):
    seed = Seed()
    seed.flag(allow)
    seed.flag(site)
    seed.flag(False)  # the token s3cret-token
    seed.flag(False)  # local times
    feed(seed,
         [(0, {"zone": 17, "status": 9}), (0, {"zone": 3, "status": 2}),
          (3, {"which": "N", "value": 5}),
          (10, {"address": "L0012", "value": 2, "origin": "127.0.0.1", "result": 1,
                "error": "refused by the panel"})],
         [(17, 9), (3, 2), (250, 16)], {"C": 2, "N": 5})
    seed.number(1, 4, len(requests))
    for r in requests:
        request(seed, *r[:2], **(r[2] if len(r) > 2 else {}))
    # The stream: one change after the snapshot.
    feed(seed, [(2, {"zone": 40, "before": 0, "now": 1})], [(17, 9), (3, 2), (40, 1)], {"C": 2})
    return seed.bytes()


COMMAND = '{"address": "L0012", "value": 2}'
SEEDS = {
    "reads": make(False, True, [("GET", "/api/status"), ("GET", "/api/zones", {"params": [("names", "1")]}),
                                ("GET", "/api/events", {"params": [("since", "2")]}), ("GET", "/healthz")]),
    "command_off": make(False, False, [("POST", "/api/command", {"auth": "right", "body": COMMAND})]),
    "command_tokens": make(True, True, [
        ("POST", "/api/command", {"body": COMMAND}),
        ("POST", "/api/command", {"auth": "Bearer wrong", "body": COMMAND}),
        ("POST", "/api/command", {"auth": "right", "body": COMMAND})]),
    "command_bodies": make(True, False, [
        ("POST", "/api/command", {"auth": "right", "body": '{"address": "L0012", "value": 2.5}'}),
        ("POST", "/api/command", {"auth": "right", "body": '{"address": "L\\u0000012", "value": 1}'}),
        ("POST", "/api/command", {"auth": "right", "body": '{"address": "L0012", "value": 2, "x": 0}'}),
        ("POST", "/api/command", {"auth": "right", "body": "x" * (MAX_COMMAND_BODY + 1)})]),
    "not_found": make(True, False, [("PUT", "/api/status"), ("GET", "/api/command"),
                                    ("GET", "/events", {"remote": "10.0.0.7\n"})]),
}

if __name__ == "__main__":
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "fuzz_serve_api")
    os.makedirs(out, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    sys.exit(0)
