#!/usr/bin/python3
# A small pyftpdlib server on 127.0.0.1 for screenshots and trying the
# program out: serves ROOT to USER/PASSWORD on PORT, optionally throttling
# uploads and downloads to a few hundred KiB/s so a transfer can be watched.
#
#   ftp-demo-server.py PORT ROOT USER PASSWORD [BYTES_PER_SECOND]
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer

port, root, user, password = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
rate = int(sys.argv[5]) if len(sys.argv) > 5 else 0

authorizer = DummyAuthorizer()
authorizer.add_user(user, password, root, perm="elradfmwMT")
handler = FTPHandler
handler.authorizer = authorizer
handler.permit_foreign_addresses = False
if rate:
    dtp = ThrottledDTPHandler
    dtp.read_limit = rate
    dtp.write_limit = rate
    handler.dtp_handler = dtp
server = FTPServer(("127.0.0.1", port), handler)
server.serve_forever()
