#!/usr/bin/python3
"""Runs a test command with an HTTP and an FTP update server on 127.0.0.1.

    run_with_servers.py COMMAND [ARGS...]

Both servers get free ports and a temporary folder each with the manifests the network
tests expect. The command sees, in its environment:

    HALCYRA_HTTP_PORT, HALCYRA_HTTP_ROOT, HALCYRA_HTTP_LOG   the HTTP server (http_server.py)
    HALCYRA_FTP_PORT, HALCYRA_FTP_ROOT                       the FTP server (pyftpdlib)
    HALCYRA_CLOSED_PORT                                      a port nothing listens on

The servers are stopped and the folders removed however the command ends; the exit code
is the command's.
"""

import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

PYTHON = "/usr/bin/python3"  # Debian's, which has pyftpdlib
HERE = os.path.dirname(os.path.abspath(__file__))

# Credentials the test program uses. The HTTP password is "pa€ss" in the configuration;
# it travels with the euro sign's low byte, 0xAC.
HTTP_USER = "halcyra"
HTTP_PASSWORD_BYTES = b"pa\xacss"
FTP_USER = "updates"
FTP_PASSWORD = "ftp-secret"

HTTP_FILES = {
    "latest/manifest.json": b'{"Version":"2.5.0.1","Files":["HalcyraServer.exe","lib/core.dll"]}',
    "404.body": b'{"Version":"4.0.4.0","Files":[]}',
}
FTP_FILES = {
    "latest/manifest.json": b'{"Version":"3.1.0.7","Files":["HalcyraServer.exe"]}',
}


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def write_files(root, files):
    for relative, content in files.items():
        path = os.path.join(root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(content)


def start_server(name, make_command, workdir):
    """Starts a server on a free port and waits until it accepts connections."""
    for attempt in range(5):
        port = free_port()
        output = open(os.path.join(workdir, "%s-%d.out" % (name, attempt)), "wb")
        process = subprocess.Popen(make_command(port), stdin=subprocess.DEVNULL, stdout=output,
                                   stderr=subprocess.STDOUT)
        output.close()
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and process.poll() is None:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
                return process, port
            except OSError:
                time.sleep(0.05)
        stop(process)  # the port was taken in between, or the server is slow: try another
    raise RuntimeError("%s server did not start; see %s" % (name, workdir))


def stop(process):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def main():
    command = sys.argv[1:]
    if command[:1] == ["--"]:
        command = command[1:]
    if not command:
        sys.exit(__doc__)

    # A CTest time-out or Ctrl-C still stops the servers.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))

    workdir = tempfile.mkdtemp(prefix="halcyra-network-")
    servers = []  # and the test command: everything to stop on the way out
    try:
        http_root = os.path.join(workdir, "http")
        ftp_root = os.path.join(workdir, "ftp")
        http_log = os.path.join(workdir, "http-requests.log")
        write_files(http_root, HTTP_FILES)
        write_files(ftp_root, FTP_FILES)

        http, http_port = start_server("http", lambda port: [
            PYTHON, os.path.join(HERE, "http_server.py"), "--port", str(port), "--root", http_root,
            "--user", HTTP_USER, "--password-hex", HTTP_PASSWORD_BYTES.hex(), "--log", http_log], workdir)
        servers.append(http)
        ftp, ftp_port = start_server("ftp", lambda port: [
            PYTHON, "-m", "pyftpdlib", "-i", "127.0.0.1", "-p", str(port), "-u", FTP_USER, "-P", FTP_PASSWORD,
            "-d", ftp_root], workdir)
        servers.append(ftp)

        env = dict(os.environ)
        env.update({
            "HALCYRA_HTTP_PORT": str(http_port),
            "HALCYRA_HTTP_ROOT": http_root,
            "HALCYRA_HTTP_LOG": http_log,
            "HALCYRA_FTP_PORT": str(ftp_port),
            "HALCYRA_FTP_ROOT": ftp_root,
            "HALCYRA_CLOSED_PORT": str(free_port()),
        })
        test = subprocess.Popen(command, env=env)
        servers.insert(0, test)  # stopped first when the wrapper itself is stopped
        result = test.wait()
        if result != 0:
            for name in sorted(os.listdir(workdir)):
                if name.endswith(".out") or name.endswith(".log"):
                    with open(os.path.join(workdir, name), "rb") as log:
                        sys.stderr.write("---- %s\n%s\n" % (name, log.read()[-4000:].decode("latin-1")))
        return result
    finally:
        for process in servers:
            stop(process)
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
