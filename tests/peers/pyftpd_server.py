#!/usr/bin/python3
"""A plain FTP server (Debian's pyftpdlib) on 127.0.0.1 for the download tests and benchmark.

One user with full rights in the given home folder. The chosen port is written to --port-file
once the server listens.
"""

import argparse
import logging
import os

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--rate", type=int, default=0,
                        help="bytes per second sent on data connections (0: no limit)")
    args = parser.parse_args()

    logging.basicConfig(level=logging.INFO)
    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")
    handler = FTPHandler
    handler.authorizer = authorizer
    handler.banner = "pyftpdlib ready"
    # Refused logins are answered after a pause meant for attackers; tests need no such wait.
    handler.auth_failed_timeout = 0.1
    if args.rate > 0:
        # A slow server, so that a transfer is still running when a test aborts it.
        dtp = ThrottledDTPHandler
        dtp.write_limit = args.rate
        handler.dtp_handler = dtp
    server = FTPServer(("127.0.0.1", 0), handler)
    port = server.socket.getsockname()[1]
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(port))
    os.rename(tmp, args.port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
