#!/usr/bin/python3
"""Runs a test command with HTTP, HTTPS and FTP update servers on 127.0.0.1.

    run_with_servers.py COMMAND [ARGS...]

The servers get free ports and a temporary folder each with the manifests the network
tests expect. The command sees, in its environment:

    HALCYRA_HTTP_PORT, HALCYRA_HTTP_ROOT, HALCYRA_HTTP_LOG   the HTTP server (http_server.py)
    HALCYRA_HTTPS_PORT, HALCYRA_HTTPS_CA                     the same over TLS, with a
                                                             certificate for 127.0.0.1 made
                                                             here, and its CA (PEM file)
    HALCYRA_FTP_PORT, HALCYRA_FTP_ROOT                       the FTP server (pyftpdlib)
    HALCYRA_CLOSED_PORT                                      a port nothing listens on
    HALCYRA_TRICKLE_PORT, HALCYRA_STALL_PORT,                servers that are slow, stall or
    HALCYRA_UNACCEPTED_PORT                                  never accept (slow_server.py)

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


def make_certificates(workdir):
    """A CA and a server certificate for 127.0.0.1 signed by it; returns (ca, cert, key)."""
    ca_key, ca = os.path.join(workdir, "ca.key"), os.path.join(workdir, "ca.pem")
    key, request, cert = (os.path.join(workdir, name) for name in ("server.key", "server.csr", "server.pem"))
    extensions = os.path.join(workdir, "server.ext")
    with open(extensions, "w") as out:
        out.write("subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n")
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, "check": True}
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-keyout", ca_key,
                    "-out", ca, "-subj", "/CN=Halcyra network test CA"], **quiet)
    subprocess.run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", request, "-subj",
                    "/CN=127.0.0.1"], **quiet)
    subprocess.run(["openssl", "x509", "-req", "-in", request, "-CA", ca, "-CAkey", ca_key, "-CAcreateserial",
                    "-days", "2", "-extfile", extensions, "-out", cert], **quiet)
    return ca, cert, key


def start_slow_servers(workdir):
    """slow_server.py with the modes the tests use; returns the process and {mode: port}."""
    output_path = os.path.join(workdir, "slow.out")
    with open(output_path, "wb") as output:
        process = subprocess.Popen([PYTHON, os.path.join(HERE, "slow_server.py"), "trickle", "stall", "unaccepted"],
                                   stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and process.poll() is None:
        with open(output_path) as printed:
            lines = printed.read().splitlines()
        if "ready" in lines:
            return process, dict(line.split(" ") for line in lines if line != "ready" and " " in line)
        time.sleep(0.05)
    stop(process)
    raise RuntimeError("slow servers did not start; see %s" % output_path)


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
        ca, cert, key = make_certificates(workdir)
        https, https_port = start_server("https", lambda port: [
            PYTHON, os.path.join(HERE, "http_server.py"), "--port", str(port), "--root", http_root,
            "--user", HTTP_USER, "--password-hex", HTTP_PASSWORD_BYTES.hex(), "--log", http_log + ".tls",
            "--tls-cert", cert, "--tls-key", key], workdir)
        servers.append(https)
        slow, slow_ports = start_slow_servers(workdir)
        servers.append(slow)

        env = dict(os.environ)
        env.update({
            "HALCYRA_HTTP_PORT": str(http_port),
            "HALCYRA_HTTP_ROOT": http_root,
            "HALCYRA_HTTP_LOG": http_log,
            "HALCYRA_FTP_PORT": str(ftp_port),
            "HALCYRA_FTP_ROOT": ftp_root,
            "HALCYRA_CLOSED_PORT": str(free_port()),
            "HALCYRA_HTTPS_PORT": str(https_port),
            "HALCYRA_HTTPS_CA": ca,
            "HALCYRA_TRICKLE_PORT": slow_ports["trickle"],
            "HALCYRA_STALL_PORT": slow_ports["stall"],
            "HALCYRA_UNACCEPTED_PORT": slow_ports["unaccepted"],
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
