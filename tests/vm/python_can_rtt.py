#!/usr/bin/env python3
"""Request/reply round trips with python-can on a SocketCAN interface.

Sends a remote request (extended identifier: node id << 7 | command id, data
length 8) and waits for the answering peer's data frame with the same
identifier, COUNT times; prints the mean round-trip time as "mean_ns N".
"""
import argparse
import sys
import time

import can


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--channel", default="vcan0")
    parser.add_argument("--node", type=lambda s: int(s, 0), default=0x77)
    parser.add_argument("--cmd", type=int, default=70)
    parser.add_argument("--count", type=int, default=500)
    args = parser.parse_args()

    can_id = (args.node << 7) | args.cmd
    request = can.Message(arbitration_id=can_id, is_extended_id=True, is_remote_frame=True, dlc=8)
    with can.Bus(interface="socketcan", channel=args.channel) as bus:

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
        elapsed = time.perf_counter_ns() - start
    print("mean_ns %d" % (elapsed // args.count))


if __name__ == "__main__":
    main()
