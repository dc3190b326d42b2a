#!/usr/bin/python3
"""Independent MessagePack oracle for the message classes, built on python3-msgpack.

packb(..., use_bin_type=False) writes the dialect the robot speaks: raw strings only (a0-bf,
da, db), shortest integers. Field lists are JSON: numbers, booleans, {"b": hex} for byte
strings and nested lists for arrays.

  wire_oracle.py check CASES.json         our bytes must equal the oracle's for the same
                                          fields, and must decode to those fields
  wire_oracle.py generate SEED COUNT OUT  oracle-made fields and bytes for every class
"""
import json
import random
import sys

import msgpack

I32 = (-2**31, 2**31 - 1)
SCHEMA = {
    'CHeaderCmd': ['i32', 'bytes'],
    'CLoginTarvo': ['text'],
    'CLoginResponse': ['i16'],
    'CSerialNum': ['text'],
    'CTarvo2Version': ['u8', 'text'],
    'CGetTarvoDevInfo': ['text'],
    'CZEVDevInfo': ['text'] * 4,
    'CAllMotoAngle': ['i32'] * 21,
    'CMotoAngle': ['i32'] * 3,
    'CReadMotorAngle': ['i32'],
    'CEarLedData': ['i32'] * 6,
    'CEyeLedData': ['s8'] * 4 + ['i32'] * 3,
    'CActionFile': ['text'],
    'CDelActionFileInfo': ['text', 'i32'],
    'CGetActionFileList': [('list', 'text')],
    'CGetActionResourceList': [('list', 'text')],
    'CFileInfo_DL': ['text', 'text', 'u32'],
    'CFileInfo_UL': ['text'],
    'CTarvoServerInfo_DL': ['i32', 'text', 'text'],
    'CTarvoServerInfo_UL': ['i32', 'i32', 'text', 'text', 'bool'],
    'CWifiInfo': ['text', 'i32', 'text', 'bool'],
    'CWifiList': [('list', 'CWifiInfo')],
    'CSetWifiToConnect': ['text'] * 3 + ['bool'],
    'AppEntrityInfo': ['text'] * 5 + ['bool', 'text', 'bytes', 'bool', 'bool', 'bool', 'i32'],
    'CAppEntrityList': [('list', 'AppEntrityInfo')],
    'CGetInstallAppList': ['bool'],
}

RANGES = {'i32': I32, 'i16': (-2**15, 2**15 - 1), 's8': (-128, 127), 'u8': (0, 255),
          'u32': (0, 2**32 - 1)}
# Every change of MessagePack integer form, both sides.
INT_EDGES = [-2**31, -2**31 + 1, -32769, -32768, -129, -128, -33, -32, -1, 0, 1, 127, 128,
             255, 256, 32767, 32768, 65535, 65536, 2**31 - 1, 2**31, 2**32 - 1]
TEXT_LENGTHS = [0, 1, 31, 32, 255, 256, 65535, 65536]
LIST_LENGTHS = [0, 1, 15, 16]


def edges(kind):
    lo, hi = RANGES[kind]
    return [v for v in INT_EDGES if lo <= v <= hi]


def make_value(kind, rng, case, slot, nested):
    """Case n of a class sweeps the edges (slot shifts them between fields); case -1 is random.
    Texts sweep their lengths in the first cases only, so that each field meets each length once
    and the big ones do not pile up."""
    sweep = case + slot if case >= 0 else -1
    if kind in RANGES:
        values = edges(kind)
        if sweep >= 0 and case < len(INT_EDGES):
            return values[sweep % len(values)]
        if rng.random() < 0.5:
            return rng.choice(values)
        return rng.randint(*RANGES[kind])
    if kind == 'bool':
        return (sweep % 2 == 1) if sweep >= 0 else rng.random() < 0.5
    if kind in ('text', 'bytes'):
        if not nested and 0 <= case < len(TEXT_LENGTHS):
            size = TEXT_LENGTHS[sweep % len(TEXT_LENGTHS)]
        elif rng.random() < 0.3:
            size = rng.choice([n for n in TEXT_LENGTHS if n <= 256])
        else:
            size = rng.randint(0, 40)
        return bytes(rng.getrandbits(8) for _ in range(size))
    if isinstance(kind, tuple):
        _, entry = kind
        size = LIST_LENGTHS[sweep % len(LIST_LENGTHS)] if sweep >= 0 else rng.randint(0, 5)
        if entry == 'text':
            return [make_value('text', rng, -1, 0, True) for _ in range(size)]
        return [make_fields(entry, rng, -1, True) for _ in range(size)]
    raise ValueError(kind)


def make_fields(cls, rng, case=-1, nested=False):
    return [make_value(kind, rng, case, slot, nested) for slot, kind in enumerate(SCHEMA[cls])]


def to_json(value):
    if isinstance(value, bytes):
        return {'b': value.hex()}
    if isinstance(value, list):
        return [to_json(v) for v in value]
    return value


def from_json(value):
    if isinstance(value, dict):
        return bytes.fromhex(value['b'])
    if isinstance(value, list):
        return [from_json(v) for v in value]
    return value


def same(a, b):
    """Equality that tells True from 1 and a list from a tuple."""
    if type(a) is not type(b):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def pack(fields):
    return msgpack.packb(fields, use_bin_type=False)


def unpack(data):
    return msgpack.unpackb(data, raw=True, use_list=True, strict_map_key=False)


def report(failures, text):
    if failures <= 20:
        print(text)


def check(path):
    with open(path) as f:
        cases = json.load(f)
    failures = 0
    classes = set()
    for n, case in enumerate(cases):
        cls = case['class']
        classes.add(cls)
        fields = from_json(case['fields'])
        ours = bytes.fromhex(case['hex'])
        theirs = pack(fields)
        if ours != theirs:
            failures += 1
            at = next((i for i, (x, y) in enumerate(zip(ours, theirs)) if x != y),
                      min(len(ours), len(theirs)))
            report(failures, f'case {n} {cls}: bytes differ at offset {at}: ours '
                  f'{ours[max(0, at - 4):at + 8].hex(" ")} oracle '
                  f'{theirs[max(0, at - 4):at + 8].hex(" ")}')
            continue
        if not same(unpack(ours), fields):
            failures += 1
            report(failures, f'case {n} {cls}: decodes to different fields')
    missing = set(SCHEMA) - classes
    if missing:
        failures += 1
        print('classes without cases: ' + ', '.join(sorted(missing)))
    print(f'checked {len(cases)} cases of {len(classes)} classes, {failures} failures')
    return 1 if failures else 0


def generate(seed, count, path):
    rng = random.Random(seed)
    cases = []
    for cls in SCHEMA:
        for n in range(count):
            # The first cases sweep every edge; the rest are random.
            fields = make_fields(cls, rng, n if n < len(INT_EDGES) else -1)
            cases.append({'class': cls, 'fields': to_json(fields), 'hex': pack(fields).hex()})
    with open(path, 'w') as f:
        json.dump(cases, f)
    print(f'generated {len(cases)} cases of {len(SCHEMA)} classes')
    return 0


def main(argv):
    if len(argv) == 3 and argv[1] == 'check':
        return check(argv[2])
    if len(argv) == 5 and argv[1] == 'generate':
        return generate(int(argv[2]), int(argv[3]), argv[4])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == '__main__':
    sys.exit(main(sys.argv))
