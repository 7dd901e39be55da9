#!/usr/bin/env python3
"""Request/reply round trips with python-can on vcan0: sends a remote request
(extended identifier node << 7 | cmd, length 8) and waits for the peer's data
frame with that identifier, COUNT times; prints "mean_ns N"."""
import argparse
import sys
import time

import can

parser = argparse.ArgumentParser()
parser.add_argument("--node", type=lambda s: int(s, 0), default=0x77)
parser.add_argument("--cmd", type=int, default=70)
parser.add_argument("--count", type=int, default=500)
args = parser.parse_args()
can_id = (args.node << 7) | args.cmd
request = can.Message(arbitration_id=can_id, is_extended_id=True, is_remote_frame=True, dlc=8)
with can.Bus(interface="socketcan", channel="vcan0") as bus:

    def round_trip():
        bus.send(request)
        while True:
            reply = bus.recv(timeout=1.0)
            if reply is None:
                sys.exit("no reply from the peer")
            if reply.arbitration_id == can_id and not reply.is_remote_frame:
                return

    for _ in range(20):
        round_trip()
    start = time.perf_counter_ns()
    for _ in range(args.count):
        round_trip()
print("mean_ns %d" % ((time.perf_counter_ns() - start) // args.count))
