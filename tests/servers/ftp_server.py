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
    parser.add_argument("--port", type=int, default=21)
    parser.add_argument("--user", default="trevalon")
    parser.add_argument("--password", default="geheim")
    parser.add_argument("--lifetime", type=float, default=900.0)
    parser.add_argument("--events", help="file that gets a line per control connection opened and closed")
    args = parser.parse_args()

    logging.basicConfig(level=logging.WARNING)
    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")
    events_lock = threading.Lock()

    def note(event):
        if args.events:
            with events_lock, open(args.events, "a") as f:
                f.write(event + "\n")

    class Handler(FTPHandler):
        auth_failed_timeout = 0.5  # keeps the wrong-password case quick

        def on_connect(self):
            note("connect")

        def on_disconnect(self):
            note("disconnect")

    Handler.authorizer = authorizer
    server = FTPServer(("127.0.0.1", args.port), Handler)
    timer = threading.Timer(args.lifetime, server.close_all)
    timer.daemon = True
    timer.start()
    server.serve_forever(timeout=0.5)


if __name__ == "__main__":
    main()
