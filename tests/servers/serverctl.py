#!/usr/bin/python3
# Starts and stops the loopback test servers for CTest fixtures, benchmarks and the demo.
#
#   serverctl.py start <pidfile> <port or file> -- <command ...>
#       starts the command in its own session, writes the pid file and waits
#       (at most 15 s) until 127.0.0.1:<port> accepts connections, or until the
#       server has written the file (which goes first).
#   serverctl.py stop <pidfile>
#       ends the server's process group and removes the pid file.
import contextlib
import os
import signal
import socket
import subprocess
import sys
import time


def ready(target):
    if not target.isdigit():
        return os.path.isfile(target) and os.path.getsize(target) > 0
    with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", int(target)), timeout=0.5):
        return True
    return False


def stop(pidfile):
    # SIGTERM to the server's process group, SIGKILL when it is still there 5 s later.
    with contextlib.suppress(OSError, ValueError):
        with open(pidfile) as f:
            pid = int(f.read())
        os.remove(pidfile)
        os.killpg(pid, signal.SIGTERM)
        for _ in range(50):
            time.sleep(0.1)
            os.killpg(pid, 0)  # raises once the group is gone
        os.killpg(pid, signal.SIGKILL)
    return 0


def start(pidfile, target, command):
    stop(pidfile)
    if not target.isdigit() and os.path.exists(target):
        os.remove(target)
    if ready(target):
        print(f"port {target} is already in use", file=sys.stderr)
        return 1
    log = open(pidfile + ".log", "ab")
    proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
    with open(pidfile, "w") as f:
        f.write(str(proc.pid))
    for _ in range(150):
        if proc.poll() is not None:
            print(f"server ended with {proc.returncode}; see {pidfile}.log", file=sys.stderr)
            return 1
        if ready(target):
            return 0
        time.sleep(0.1)
    print("server did not start listening in time", file=sys.stderr)
    stop(pidfile)
    return 1


def main(argv):
    if len(argv) >= 2 and argv[1] == "stop":
        return stop(argv[2])
    if len(argv) >= 6 and argv[1] == "start" and argv[4] == "--":
        return start(argv[2], argv[3], argv[5:])
    print("usage: serverctl.py start <pidfile> <port or file> -- <command ...> | stop <pidfile>", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
