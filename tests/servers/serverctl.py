#!/usr/bin/python3
"""Starts and stops a loopback test server for CTest fixtures.

  serverctl.py start <pidfile> <port> -- <command ...>
      starts the command in its own session, waits (at most 15 s) until
      127.0.0.1:<port> accepts connections, writes the pid file.
  serverctl.py stop <pidfile>
      ends the server's process group and removes the pid file.
"""
import os
import signal
import socket
import subprocess
import sys
import time


def port_open(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return True
    except OSError:
        return False


def stop(pidfile):
    try:
        with open(pidfile) as f:
            pid = int(f.read().strip())
    except (OSError, ValueError):
        return 0
    try:
        os.killpg(pid, signal.SIGTERM)
    except OSError:
        pass
    for _ in range(50):
        try:
            os.killpg(pid, 0)
        except OSError:
            break
        time.sleep(0.1)
    else:
        try:
            os.killpg(pid, signal.SIGKILL)
        except OSError:
            pass
    os.remove(pidfile)
    return 0


def start(pidfile, port, command):
    stop(pidfile)
    if port_open(port):
        print(f"port {port} is already in use", file=sys.stderr)
        return 1
    log = open(pidfile + ".log", "ab")
    proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
    with open(pidfile, "w") as f:
        f.write(str(proc.pid))
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            print(f"server ended with {proc.returncode}; see {pidfile}.log", file=sys.stderr)
            return 1
        if port_open(port):
            return 0
        time.sleep(0.1)
    print("server did not start listening in time", file=sys.stderr)
    stop(pidfile)
    return 1


def main(argv):
    if len(argv) >= 2 and argv[1] == "stop":
        return stop(argv[2])
    if len(argv) >= 6 and argv[1] == "start" and argv[4] == "--":
        return start(argv[2], int(argv[3]), argv[5:])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
