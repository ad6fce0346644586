#!/usr/bin/python3
# Loopback FTP server for the FTP transfer tests.
#
# Serves one folder to one user on 127.0.0.1 only, and ends by itself after
# --lifetime seconds so that a forgotten server never outlives a test run.
import argparse
import logging
import threading

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--events", required=True, help="gets a line per control connection opened and closed")
    parser.add_argument("--lifetime", type=float, default=900.0)
    args = parser.parse_args()

    logging.basicConfig(level=logging.WARNING)

    # One thread serves every connection: the lines never interleave.
    def note(event):
        with open(args.events, "a") as f:
            f.write(event + "\n")

    class Handler(FTPHandler):
        auth_failed_timeout = 0.5  # keeps the wrong-password case quick
        authorizer = DummyAuthorizer()

        def on_connect(self):
            note("connect")

        def on_disconnect(self):
            note("disconnect")

    Handler.authorizer.add_user("trevalon", "geheim", args.root, perm="elradfmwMT")
    server = FTPServer(("127.0.0.1", 21), Handler)
    timer = threading.Timer(args.lifetime, server.close_all)
    timer.daemon = True
    timer.start()
    server.serve_forever(timeout=0.5)


if __name__ == "__main__":
    main()
