# A minimal FTP server that answers one login and one listing of SIZE_MB
# MiB of Unix lines (used by bench_listing_memory.sh; loopback only).
#   python3 big_listing_server.py SIZE_MB PORT
import socket, sys
size_mb = int(sys.argv[1]); port = int(sys.argv[2])
line = b"-rw-r--r--   1 bob  users   12345 Jan 15 10:30 file%08d\r\n"
srv = socket.socket(); srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
srv.bind(("127.0.0.1", port)); srv.listen(1)
c, _ = srv.accept(); f = c.makefile("rb")
def send(t): c.sendall(t.encode() + b"\r\n")
send("220 hi")
while True:
    l = f.readline()
    if not l: break
    cmd = l.decode().strip().split(" ")[0].upper()
    if cmd == "USER": send("331 pw")
    elif cmd == "PASS": send("230 ok")
    elif cmd == "SYST": send("215 UNIX Type: L8")
    elif cmd == "PWD": send('257 "/"')
    elif cmd == "TYPE": send("200 ok")
    elif cmd == "PASV":
        d = socket.socket(); d.bind(("127.0.0.1", 0)); d.listen(1)
        p = d.getsockname()[1]; send("227 Entering Passive Mode (127,0,0,1,%d,%d)" % (p >> 8, p & 255))
    elif cmd in ("LIST", "NLST"):
        send("150 go"); dc, _ = d.accept()
        total = size_mb * 1024 * 1024; i = 0; buf = []; n = 0
        while n < total:
            b = line % i; i += 1; buf.append(b); n += len(b)
            if len(buf) >= 10000: dc.sendall(b"".join(buf)); buf = []
        if buf: dc.sendall(b"".join(buf))
        dc.close(); send("226 done")
    elif cmd == "QUIT": send("221 bye"); break
    else: send("500 ?")
