#!/usr/bin/python3
"""Writes the seed corpus of fuzz_session: byte streams of several frames as the robot sends
them, with garbage, broken and split frames between. The first byte of each file is the size
of the pieces the stream is fed in. Run: fuzz/make_session_seeds.py fuzz/corpus/fuzz_session"""
import os
import struct
import sys

import msgpack


def pack(obj):
    return msgpack.packb(obj, use_bin_type=False)


def frame(msg_id, payload, version=1):
    envelope = pack([msg_id, pack(payload)])
    return struct.pack('<HiHH', 0x1234, len(envelope) + 4, version, 0) + envelope


REPLIES = {
    'login': frame(1, [0]),
    'login_refused': frame(1, [1]),
    'server_dl': frame(2, [6010, '1.zev', '192.168.1.20']),
    'list': frame(3, [['a', 'b', 'c']]),
    'delete': frame(4, ['abc', -1]),
    'wifi': frame(7, [[['net', -40, 'wpa', True]]]),
    'motor': frame(10, [7, 300, 0]),
    'server_dl12': frame(12, [5]),
    'resources': frame(13, [['x.zev', 'y.zev']]),
    'server_ul': frame(14, [6010, 1000, '1.zev', '192.168.1.20', True]),
    'kernel': frame(21, [6010, '1.zev', '10.0.0.1']),
    'version': frame(33, [3, '1.0.2']),
    'serial': frame(52, ['ABC123#xyz']),
    'unknown': frame(99, [1, 2, 3]),
}

STREAMS = {
    'all_replies': b''.join(REPLIES.values()),
    'garbage_between': b'junk' + REPLIES['serial'] + b'\x34\x34\x12' + REPLIES['version'],
    'empty_and_v2': struct.pack('<HiHH', 0x1234, 4, 1, 0) + frame(52, ['X'], version=2)
    + REPLIES['list'],
    'bad_lengths': struct.pack('<HiHH', 0x1234, 3, 1, 0) + struct.pack('<Hi', 0x1234, 0x7fffffff)
    + REPLIES['motor'],
    'truncated': REPLIES['server_ul'][:-3] + REPLIES['serial'],
    'empty_payload': struct.pack('<HiHH', 0x1234, 7, 1, 0) + b'\x92\x34\xa0' + REPLIES['login'],
}


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, data in REPLIES.items():
        with open(os.path.join(out, 'reply-' + name), 'wb') as f:
            f.write(b'\x00' + data)
    for i, (name, data) in enumerate(STREAMS.items()):
        with open(os.path.join(out, 'stream-' + name), 'wb') as f:
            f.write(bytes([i * 7 % 64]) + data)


if __name__ == '__main__':
    main()
