#!/usr/bin/python3
"""Writes the seed corpus of fuzz_wire: payload objects of every class, their envelopes and
whole frames, and a few broken frames. Run: fuzz/make_wire_seeds.py fuzz/corpus/fuzz_wire"""
import os
import struct
import sys

import msgpack

PAYLOADS = {
    'login': ['kkkkkk'],
    'login_reply': [0],
    'serial': [b'ABC123#xyz'],
    'version': [3, b'1.0.2'],
    'devinfo': [b'tarvo', b'7.1', b'192.168.1.5', b'00:11:22:33:44:55'],
    'all_angles': list(range(0, 200, 10)) + [1000],
    'angle': [7, 300, 0],
    'read_angle': [7],
    'ear_led': [1000, 1, 1, 200, 100, 100],
    'eye_led': [-56, -1, 127, -128, 100, 200, 300],
    'action_file': [b'wave.zev'],
    'delete_reply': [b'abc', -1],
    'file_list': [[b'a', b'b', b'c']],
    'file_info_dl': [b'fw.bin', b'C:/x/fw.bin', 65536],
    'file_info_ul': [b'fw.bin'],
    'server_dl': [6010, b'1.zev', b'192.168.43.1'],
    'server_ul': [6010, 4096, b'1.zev', b'192.168.43.1', True],
    'wifi_list': [[[b'home', -60, b'wpa', True], [b'guest', -80, b'', False]]],
    'set_wifi': [b'home', b'secret', b'wpa', True],
    'app_list': [[[b'com.x', b'', b'', b'', b'', False, b'http://h/a.apk', b'\x01\x02', False,
                   True, False, 3]]],
    'install_list': [True],
}


def frame(payload, version=1, reserved=0):
    return struct.pack('<HiHH', 0x1234, len(payload) + 4, version, reserved) + payload


def main(out):
    os.makedirs(out, exist_ok=True)

    def write(name, data):
        with open(os.path.join(out, name), 'wb') as f:
            f.write(data)

    for msg_id, (name, fields) in enumerate(PAYLOADS.items(), start=1):
        payload = msgpack.packb(fields, use_bin_type=False)
        envelope = msgpack.packb([msg_id, payload], use_bin_type=False)
        write(f'payload-{name}', payload)
        write(f'envelope-{name}', envelope)
        write(f'frame-{name}', frame(envelope))
    write('frame-empty', frame(b''))
    write('frame-no-payload', frame(msgpack.packb([3, b''], use_bin_type=False)))
    write('frames-two', frame(b'\x92\x03\xa0') + frame(b''))
    write('frame-version-2', frame(b'\x92\x03\xa0', version=2, reserved=0xbeef))
    write('frame-short-length', struct.pack('<Hi', 0x1234, 3) + b'\x01\x00\x00\x00')
    write('frame-cut', frame(b'\x92\x34\xa2\x91\xa0')[:-2])
    write('garbage-then-frame', b'\x35\x12\x00' + frame(b'\x92\x34\xa2\x91\xa0'))
    write('envelope-bin', b'\x92\x05\xc4\x02\x91\xa0')
    write('payload-big-array-count', b'\x91\xdd\xff\xff\xff\xff')


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else 'fuzz/corpus/fuzz_wire')
