#!/usr/bin/python3
# python-can's slcan bus as an independent peer of the adapter line protocol.
# Usage: usb_python_can_peer.py SERIAL_PORT
# Prints "READY" once the bus is open, then reads commands on standard input,
# one per line, and answers on standard output:
#   recv N                    -> N lines "FRAME id ext rtr dlc data" (hex id and
#                                data; "-" for no data) or "NONE" on a 5 s time-out
#   send ID EXT RTR DLC DATA  -> sends one frame, answers "SENT"
# The bus is shut down at the end of the input.
import sys

import can

bus = can.interface.Bus(interface="slcan", channel=sys.argv[1], ttyBaudrate=115200, sleep_after_open=0)
print("READY", flush=True)
try:
    for words in (line.split() for line in sys.stdin):
        if words and words[0] == "recv":
            for _ in range(int(words[1])):
                m = bus.recv(timeout=5.0)
                if m is None:
                    print("NONE", flush=True)
                else:
                    print("FRAME %X %d %d %d %s" % (m.arbitration_id, m.is_extended_id, m.is_remote_frame, m.dlc,
                                                  bytes(m.data).hex().upper() or "-"), flush=True)
        elif words and words[0] == "send":
            remote = words[3] == "1"
            bus.send(can.Message(arbitration_id=int(words[1], 16), is_extended_id=words[2] == "1", is_remote_frame=remote,
                                 dlc=int(words[4]), data=None if remote or words[5] == "-" else bytes.fromhex(words[5])))
            print("SENT", flush=True)
finally:
    bus.shutdown()
