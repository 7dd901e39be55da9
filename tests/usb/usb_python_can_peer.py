#!/usr/bin/python3
"""python-can's slcan bus as an independent peer of the adapter line protocol.

Usage: usb_python_can_peer.py SERIAL_PORT

Reads commands on standard input, one per line, and answers on standard output:
  recv N                          -> N lines "FRAME id ext rtr dlc data" (hex id and
                                     data; "-" for no data) or "NONE" on a 5 s time-out
  send ID EXT RTR DLC DATA        -> sends one frame, answers "SENT"
The bus is shut down at the end of the input.
"READY" is printed once the bus is open.
"""
import sys

import can


def main():
    bus = can.interface.Bus(
        interface="slcan", channel=sys.argv[1], ttyBaudrate=115200, sleep_after_open=0
    )
    print("READY", flush=True)
    try:
        for line in sys.stdin:
            words = line.split()
            if not words:
                continue
            if words[0] == "recv":
                for _ in range(int(words[1])):
                    msg = bus.recv(timeout=5.0)
                    if msg is None:
                        print("NONE", flush=True)
                        continue
                    data = bytes(msg.data).hex().upper() or "-"
                    print(
                        "FRAME %X %d %d %d %s"
                        % (
                            msg.arbitration_id,
                            int(msg.is_extended_id),
                            int(msg.is_remote_frame),
                            msg.dlc,
                            data,
                        ),
                        flush=True,
                    )
            elif words[0] == "send":
                data = b"" if words[5] == "-" else bytes.fromhex(words[5])
                msg = can.Message(
                    arbitration_id=int(words[1], 16),
                    is_extended_id=words[2] == "1",
                    is_remote_frame=words[3] == "1",
                    dlc=int(words[4]),
                    data=None if words[3] == "1" else data,
                )
                bus.send(msg)
                print("SENT", flush=True)
    finally:
        bus.shutdown()


if __name__ == "__main__":
    main()
