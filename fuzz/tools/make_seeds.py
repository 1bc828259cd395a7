#!/usr/bin/env python3
"""Writes the hand-made seeds of the fuzz targets (fuzz/corpus/<target>/):
real replies of vsftpd, pyftpdlib, dante and microsocks, the cases of the
unit tests, and whole sessions for the client target. Each helper below
builds one input in the format its target reads (see the target's header
comment). Run from the repository root; the seeds are kept in the
repository, so run it again only when a format changes."""
import hashlib
import os
import struct

ROOT = 'fuzz/corpus'


def put(target, data):
    d = os.path.join(ROOT, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, hashlib.sha1(data).hexdigest()), 'wb') as f:
        f.write(data)


def short(b):
    return bytes([len(b)]) + b


# --- replies seen from the real servers --------------------------------------
REPLIES = [
    b'220 (vsFTPd 3.0.3)\r\n', b'215 UNIX Type: L8\r\n', b'500 Unknown command.\r\n',
    b'200 SITE CHMOD command ok.\r\n', b'227 Entering Passive Mode (127,0,0,1,195,80).\r\n',
    b'200 PORT command successful. Consider using PASV.\r\n', b'530 Login incorrect.\r\n',
    b'425 Failed to establish connection.\r\n', b'500 Command "CHMOD" not understood.\r\n',
    b'200 SITE CHMOD successful.\r\n', b'227 Entering passive mode (127,0,0,1,195,81).\r\n',
    b'125 Data connection already open. Transfer starting.\r\n', b'530 Authentication failed.\r\n',
    b'215 Windows_NT\r\n', b'502 ACCT not implemented.\r\n', b'500 Command "ACCT" not understood.\r\n',
    b'150 FILE: STOU.1\r\n', b'150 FILE: ftpd.a1b2c3d4\r\n', b'550 Failed to open file.\r\n',
    b'553 Could not create file.\r\n', b'331 Username ok, send password.\r\n', b'221 Goodbye.\r\n',
    b'257 "/" is the current directory\r\n', b'257 "/My Folder" is the current directory.\r\n',
    b'230 Login successful.\r\n', b'350 Ready for RNTO.\r\n', b'250 Rename successful.\r\n',
    b'211-Features:\r\n EPRT\r\n EPSV\r\n MDTM\r\n PASV\r\n REST STREAM\r\n SIZE\r\n TVFS\r\n211 End\r\n',
    b'214-The following commands are recognized.\r\n ABOR ACCT ALLO APPE CDUP CWD  DELE EPRT\r\n214 Help OK.\r\n',
    b'220-Welcome\r\n220-to the\r\n220 server\r\n', b'421 Timeout.\r\n',
]
LIST_LINES = [
    b'drwxr-xr-x    2 1001     1001         4096 Dec 09 05:16 My Folder',
    b'lrwxrwxrwx    1 1001     1001            9 Dec 09 05:16 link -> small.txt',
    b'-rw-r--r--    1 1001     1001           12 Dec 09 05:16 small.txt',
    b'12-09-26  05:16AM       <DIR>          My Folder',
    b'01-15-20  10:30AM                 2048 old file.bin',
]

# fuzz_ftp_protocol: selector, then the part's input
for r in REPLIES:
    put('ftp_protocol', b'\x00' + r)
    put('ftp_protocol', b'\x02' + r)
for r in [b'227 =127,0,0,1,4,1', b'227 (1, 2, 3, 4, 5, 6)', b'227 (256,0,0,1,1,1)', b'227 (1,2,3,4,5)',
          b'227 (1,2,3,4,5,6,7)', b'227 )', b'227 (,,,,,)', b'227 (0001,2,3,4,5,6)']:
    put('ftp_protocol', b'\x00' + r)
for a, p in [(0x0100007f, 21), (0, 0), (0xffffffff, 65535), (0x0a000001, 256)]:
    put('ftp_protocol', b'\x01' + struct.pack('<IH', a, p))
for lines in [[b'220-first', b' middle', b'220 last'], [b'211-x', b'211-y', b'2110', b'211 end'],
              [b'abc-def', b'500 x'], [b'220-a', b'220-b']]:
    put('ftp_protocol', b'\x03' + b''.join(b'\x01' + short(l) for l in lines))
put('ftp_protocol', b'\x03' + b'\x01' + short(b'220-open') + b'\xc1' + short(b'x' * 60) + b'\x40\x00')

# fuzz_socks: version, state, credential flags, user, password, address, port, reads
DEST = struct.pack('<IH', 0x0100007f, 0x1500)
def socks(version, state, reads, user=b'', pw=b'', flags=0):
    return bytes([version, state, flags]) + short(user) + short(pw) + DEST + b''.join(short(r) for r in reads)
put('socks', socks(0, 2, [bytes.fromhex('005a15007f000001')]))
put('socks', socks(1, 2, [bytes.fromhex('005a15007f000001') + b'220 (vsFTPd 3.0.3)\r\n'], user=b'bob'))
put('socks', socks(0, 2, [bytes.fromhex('005b15007f000001')]))
put('socks', socks(0, 2, [bytes.fromhex('005a15'), bytes.fromhex('007f000001')]))
put('socks', socks(2, 2, [b'\x05\x00', bytes.fromhex('05000001' '7f000001' '1500')]))
put('socks', socks(2, 2, [b'\x05\x02', b'\x01\x00', bytes.fromhex('05000001' '00000000' '0000') + b'220 x\r\n'],
                   user=b'user', pw=b'secret'))
put('socks', socks(2, 2, [b'\x05\x02', b'\x01\x01'], user=b'', pw=b'x'))
put('socks', socks(2, 2, [b'\x05\x02', b'\x01\x02'], user=b'u', pw=b'wrong'))
put('socks', socks(2, 2, [b'\x05\xff']))
put('socks', socks(2, 4, [bytes.fromhex('05050001' '00000000' '0000')]))
put('socks', socks(2, 4, [bytes.fromhex('05000004') + bytes(16) + b'\x00\x15']))
put('socks', socks(2, 4, [bytes.fromhex('0500000309') + b'localhost' + b'\x00\x15']))
put('socks', socks(2, 2, [b'\x05\x02', b'\x01\x00'], user=b'u' * 10, pw=b'p' * 10, flags=3))

# fuzz_telnet: mode byte, reads
def telnet(mode, reads):
    return bytes([mode]) + b''.join(short(r) for r in reads)
IAC, DO, DONT, WILL, WONT, SB, SE = 255, 253, 254, 251, 252, 250, 240
put('telnet', telnet(0, [bytes([IAC, DO, 3, IAC, DO, 3])]))
put('telnet', telnet(0, [bytes([IAC, DO, 1])]))
put('telnet', telnet(0, [bytes([IAC, WILL, 1]), bytes([IAC, WONT, 1])]))
put('telnet', telnet(0, [b'A' + bytes([IAC, IAC]) + b'B']))
put('telnet', telnet(0, [bytes([IAC, SB, 24, 1, IAC, SE, IAC, DO, 24, IAC, SB, 24, 1, IAC, SE])]))
put('telnet', telnet(0, [b'x' + bytes([IAC, WILL]), bytes([1]) + b'y']))
put('telnet', telnet(0, [bytes([IAC, SB, 5, 1, IAC]), bytes([SE]) + b'data\r\n']))
put('telnet', telnet(0, [bytes([IAC, DO, 31, IAC, DO, 5, IAC, SB, 5, 1, IAC, SE])]))
put('telnet', telnet(0x80, [bytes([0xFA, IAC, SB, 24]), bytes([IAC, SE])]))
put('telnet', telnet(1, [b'220 ready\r\n' + bytes([IAC, 241, IAC, 249]) + b'\r\n']))

# fuzz_data_lines: settings, terminator character, fixed length, operations
def lines(mode, term, ops, strip=False, high=False, termchar=b'\n', fixed=80):
    s = mode + 3 * term + (0x20 if strip else 0) + (0x40 if high else 0)
    return bytes([s]) + termchar + struct.pack('<H', fixed) + b''.join(ops)
def chunk(b):
    return b'\x00' + short(b)
def pattern(p, n):
    return b'\x02' + short(p) + struct.pack('<H', n)
def mode_to(m):
    return bytes([3 | (m << 2)])
CLOSE_PEER, CLOSE_SELF = b'\xc3', b'\x83'
put('data_lines', lines(0, 3, [chunk(b'220-a\r\n220 b'), chunk(b'\r'), chunk(b'\n'), CLOSE_PEER]))
put('data_lines', lines(0, 3, [chunk(b'one\r\ntwo\r\nthree'), CLOSE_PEER], strip=True))
put('data_lines', lines(0, 2, [pattern(b'x' * 200, 50), chunk(b'\n'), CLOSE_SELF]))
put('data_lines', lines(0, 2, [pattern(b'y' * 255, 5000), chunk(b'\n'), CLOSE_PEER]))
put('data_lines', lines(0, 1, [chunk(b'a\rb\rc'), CLOSE_PEER], strip=True))
put('data_lines', lines(0, 4, [chunk(b'a;b;c'), CLOSE_PEER], termchar=b';'))
put('data_lines', lines(0, 0, [chunk(b'0123456789' * 5), CLOSE_PEER], fixed=7))
put('data_lines', lines(2, 3, [chunk(b'any bytes\r\n'), chunk(b'more'), CLOSE_PEER]))
put('data_lines', lines(1, 3, [chunk(b'stream data'), CLOSE_PEER]))
put('data_lines', lines(0, 3, [chunk(b'150 ok\r\n'), mode_to(1), chunk(b'listing'), CLOSE_PEER]))
put('data_lines', lines(0, 3, [chunk(b'\xff\x00\x80\r\n'), CLOSE_PEER], high=True))
for r in REPLIES:
    put('data_lines', lines(0, 3, [chunk(r[:7]), chunk(r[7:]), CLOSE_PEER]))

# fuzz_ftp_client: settings, user, password, steps
CANNED = {'220': 0, '331': 1, '230': 2, '215u': 3, '215w': 4, '215v': 5, '257': 6, '227': 7, '200t': 8,
          '200p': 9, '150': 10, '125': 11, '226d': 12, '250': 13, '350': 14, '421': 15, '550': 16, '221': 17,
          '332': 18, '211': 19, '214': 20, '530': 21, '213': 22, '225': 23, '500': 24, '226t': 25}
def c(name):
    return bytes([2, CANNED[name]])
def raw(b):
    return b'\x00' + short(b)
CONNECT = b'\x03'
REFUSED = b'\x81'
CLOSE = b'\x04'
RESET = b'\x82'
D_CONNECT = b'\x05\x00'
D_REFUSED = b'\x05\x82'
def d_chunk(b):
    return b'\x05\x01' + short(b)
D_CLOSE = b'\x05\x03'
D_RESET = b'\x05\x80'
ACCEPT = b'\x86'
def user(op, *args):
    return b'\x06' + bytes([op]) + b''.join(args)
def session(settings, steps, u=b'anonymous', pw=b'guest@example'):
    head = bytes([settings]) + (short(u) if settings & 1 else b'') + short(pw)
    return head + b''.join(steps)
LISTING = b'\r\n'.join(LIST_LINES[:3]) + b'\r\n'
LOGIN = [CONNECT, c('220'), c('331'), c('230')]
TREE_LOGIN = LOGIN + [c('215u'), c('257'), c('200t'), c('227'), D_CONNECT, c('150'), d_chunk(LISTING), D_CLOSE,
                      c('226d')]
put('ftp_client', session(7, TREE_LOGIN))
put('ftp_client', session(7, TREE_LOGIN + [user(0, short(b'My Folder')), c('250'), c('257'), c('200t'), c('227'),
                                           D_CONNECT, c('125'), D_CLOSE, c('226d')]))
put('ftp_client', session(3, LOGIN + [c('215w'), c('257'), c('200p'), c('200t'), ACCEPT, c('150'),
                                      d_chunk(b'\r\n'.join(LIST_LINES[3:]) + b'\r\n'), D_CLOSE, c('226d')]))
put('ftp_client', session(5, LOGIN + [user(10, short(b'up.bin'), b'\x01', b'\x00\x00'), c('200t'), c('227'),
                                      D_CONNECT, c('150'), b'\x05\x04', D_CLOSE, c('226t')]))
put('ftp_client', session(5, LOGIN + [user(9, short(b'down.bin'), b'\x01', b'\x00\x00'), c('200t'), c('227'),
                                      D_CONNECT, c('150'), d_chunk(b'file body'), D_CLOSE, c('226t')]))
put('ftp_client', session(5, LOGIN + [user(9, short(b'down.bin'), b'\x02', b'\x70\x00'), c('350'), c('200t'),
                                      c('227'), D_CONNECT, c('550')]))
put('ftp_client', session(1, LOGIN + [user(4, short(b'old'), short(b'new')), c('350'), c('250'),
                                      user(3, short(b'gone.txt')), c('550'), user(5, short(b'SITE CHMOD 644 f')),
                                      c('200t'), user(7), c('221')]))
put('ftp_client', session(1, LOGIN + [user(4, short(b'old'), short(b'new')), c('550'), user(5, short(b'NOOP')),
                                      c('200t')]))
put('ftp_client', session(1, [CONNECT, c('220'), c('331'), c('530'), CLOSE]))
put('ftp_client', session(0, [REFUSED]))
put('ftp_client', session(1, [CONNECT, c('220'), c('332'), c('230'), c('421')]))
put('ftp_client', session(1, [CONNECT, raw(b'220-multi\r\n'), b'\x08' + short(b' more\r\n') + b'\x00\x10',
                              raw(b'220 end\r\n'), RESET]))
put('ftp_client', session(1, [CONNECT, b'\x08' + short(b'z' * 250) + b'\xff\x0f', raw(b'\r\n')]))
put('ftp_client', session(1, [CONNECT, raw(b'\x00\xff\xfe binary\r\n\r\n\n220'), c('211'), c('214')]))
put('ftp_client', session(0x21, [CONNECT, raw(b'\x05\x00'), raw(bytes.fromhex('05000001' '7f000001' '1500')),
                                 c('220')]))
put('ftp_client', session(0x61, [CONNECT, raw(bytes.fromhex('005a15007f000001') + b'220 x\r\n')]))
put('ftp_client', session(0x0f, TREE_LOGIN[:9] + [b'\x07\xff\x00', b'\x07\xff\x00', c('226d')]))
for r in REPLIES:
    put('ftp_client', session(1, LOGIN + [raw(r)]))
