#!/usr/bin/python3
"""Update servers that misbehave in time, on 127.0.0.1, one free port each.

    slow_server.py MODE...

Modes:
    trickle     answers with the manifest given by --manifest, a piece every --pause seconds
    stall       answers with the headers and the first bytes of that manifest, then holds
                the connection open without sending anything more
    silent      accepts and never reads or answers
    unaccepted  listens but never accepts, with its backlog full, so that a new connection
                never completes
    busy        answers every request at once with 503 and "Retry-After: 120"

When every port is bound it prints one line "<mode> <port>" per mode, then "ready". Every
accepted connection prints "connection <mode>". The output is flushed line by line, so a
test can count connections in it.
"""

import argparse
import socket
import sys
import threading
import time

TRICKLE_PIECES = 4
STALL_BYTES = 8
held = []  # connections and sockets kept open for the life of the process


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def read_request(connection):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = connection.recv(4096)
        if not chunk:
            return False
        data += chunk
    return True


def headers(length):
    return ("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %d\r\n"
            "Connection: close\r\n\r\n" % length).encode("ascii")


def serve(mode, listener, manifest, pause):
    while True:
        connection, _ = listener.accept()
        say("connection " + mode)
        held.append(connection)
        if mode == "silent":
            continue
        threading.Thread(target=answer, args=(mode, connection, manifest, pause), daemon=True).start()


def answer(mode, connection, manifest, pause):
    try:
        if not read_request(connection):
            return
        if mode == "busy":
            connection.sendall(b"HTTP/1.1 503 Service Unavailable\r\nRetry-After: 120\r\nContent-Length: 4\r\n"
                               b"Connection: close\r\n\r\nbusy")
            connection.close()
            return
        connection.sendall(headers(len(manifest)))
        if mode == "stall":
            connection.sendall(manifest[:STALL_BYTES])
            return  # held open by `held`
        step = -(-len(manifest) // TRICKLE_PIECES)
        for start in range(0, len(manifest), step):
            time.sleep(pause)
            connection.sendall(manifest[start:start + step])
        connection.close()
    except OSError:
        pass  # the client gave up, which is what some tests expect


def unaccepted_listener():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    port = listener.getsockname()[1]
    # The first connection fills the accept queue; the ones after it wait for a SYN-ACK
    # that never comes, and so does every later connection.
    for _ in range(3):
        filler = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        filler.setblocking(False)
        filler.connect_ex(("127.0.0.1", port))
        held.append(filler)
    time.sleep(0.2)
    return listener


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("modes", nargs="+", choices=["trickle", "stall", "silent", "unaccepted", "busy"])
    parser.add_argument("--manifest", default='{"Version":"2.5.0.1","Files":["HalcyraServer.exe"]}')
    parser.add_argument("--pause", type=float, default=1.5, help="seconds before each piece of a trickle")
    args = parser.parse_args()
    manifest = args.manifest.encode("utf-8")

    for mode in args.modes:
        if mode == "unaccepted":
            listener = unaccepted_listener()
        else:
            listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            listener.bind(("127.0.0.1", 0))
            listener.listen(16)
            threading.Thread(target=serve, args=(mode, listener, manifest, args.pause), daemon=True).start()
        held.append(listener)
        say("%s %d" % (mode, listener.getsockname()[1]))
    say("ready")
    threading.Event().wait()


if __name__ == "__main__":
    main()
