#!/usr/bin/env python3
"""Writes the listing seeds (fuzz/corpus/listing/) from the shared collection
of real listing lines (a JSON-lines file, one record per line with "family",
"line" and optionally "line_hex"). Each seed is: style byte, flag byte, text.
Run once when the collection changes; the seeds are kept in the repository."""
import hashlib
import json
import os
import sys

STYLE = {'none': 0, 'unix': 1, 'dos': 2, 'multinet': 3, 'vms': 4, 'user': 5}


def line_bytes(rec):
    if rec.get('line_hex'):
        return bytes.fromhex(rec['line_hex'])
    return rec['line'].encode('latin-1', 'replace')


def write(out, data):
    name = hashlib.sha1(data).hexdigest()
    with open(os.path.join(out, name), 'wb') as f:
        f.write(data)


def main(src, other, out):
    os.makedirs(out, exist_ok=True)
    by_family = {}
    for text in open(src, encoding='utf-8'):
        rec = json.loads(text)
        b = line_bytes(rec)
        fam = rec['family']
        by_family.setdefault(fam, []).append(b)
        write(out, bytes([STYLE[fam], 0]) + b + b'\r\n')
    # Whole listings per family, CR LF and LF-only, and the same text in the
    # line-keeping styles and through an application parser.
    for fam, lines in by_family.items():
        for i in range(0, len(lines), 40):
            chunk = lines[i:i + 40]
            write(out, bytes([STYLE[fam], 0]) + b'\r\n'.join(chunk) + b'\r\n')
            write(out, bytes([STYLE[fam], 0]) + b'\n'.join(chunk))
        write(out, bytes([STYLE['none'], 0]) + b'\r\n'.join(lines[:30]) + b'\r\n')
        write(out, bytes([STYLE['user'], 1]) + b'\r\n'.join(lines[:30]) + b'\r\n')
        write(out, bytes([STYLE[fam], 3]) + b'\r\n'.join(lines[:10]) + b'\x01\r\n')
    if other and os.path.exists(other):
        for text in open(other, encoding='utf-8'):
            rec = json.loads(text)
            b = line_bytes(rec)
            write(out, bytes([STYLE['unix'], 0]) + b + b'\r\n')
            write(out, bytes([STYLE['none'], 0]) + b + b'\r\n')


if __name__ == '__main__':
    main(sys.argv[1], sys.argv[2] if len(sys.argv) > 2 else None, sys.argv[3] if len(sys.argv) > 3 else 'fuzz/corpus/listing')
