"""The loopback distribution servers that the network tests share, started
once per ctest run by a fixture and stopped by its cleanup:

  https://localhost:8443  trusted by the session's prefix; serves ROOT, which
                          holds the manifest /clients/version.txt
  http://localhost:8480   the same ROOT over plain HTTP
  https://localhost:8444  the same ROOT, but with a certificate from a CA the
                          prefix does not trust
  https://localhost:8445  the same ROOT, trusted, offering TLS 1.2 alone
  https://localhost:8446  the same ROOT, trusted, offering TLS 1.1 alone

Each logs "METHOD TARGET USER-AGENT" per request to LOGS[port].

    python3 servers.py start|stop
"""

import os
import pathlib
import signal
import subprocess
import sys

import dist_server
import harness

DIST_SERVER = pathlib.Path(dist_server.__file__).resolve()
MAKE_CERT = harness.REPO / "tools" / "make-cert.sh"
SERVE = harness.BUILD / "serve"
ROOT = SERVE / "root"
MANIFEST = ROOT / "clients" / "version.txt"
CERTS = pathlib.Path(os.environ.get("TALVOREN_TEST_CERTS", harness.REPO / "build" / "certs"))
UNTRUSTED_CERTS = SERVE / "untrusted-certs"
HTTPS_PORT, HTTP_PORT, UNTRUSTED_PORT = 8443, 8480, 8444
TLS_1_2_PORT, TLS_1_1_PORT = 8445, 8446
LOGS = {port: SERVE / f"{port}.log"
        for port in (HTTPS_PORT, HTTP_PORT, UNTRUSTED_PORT, TLS_1_2_PORT, TLS_1_1_PORT)}


def start_server(port, certs, log, root=ROOT, host="127.0.0.1", extra=()):
    """Starts dist_server.py in a session of its own and waits until it
    listens; returns its Popen. Its files go to SERVE, made here: the
    namespaced tests start servers without the shared ones."""
    SERVE.mkdir(parents=True, exist_ok=True)
    ready = SERVE / f"{port}.ready"
    ready.unlink(missing_ok=True)
    command = [sys.executable, str(DIST_SERVER), "--host", host, "--port", str(port),
               "--root", str(root), "--log", str(log), "--ready-file", str(ready), *extra]
    if certs:
        command += ["--cert", str(certs / "server-chain.pem"), "--key", str(certs / "server.key")]
    with open(SERVE / f"{port}.err", "wb") as err:
        server = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=err, stderr=err,
                                  start_new_session=True)
    if not harness.wait_until(lambda: ready.exists() or server.poll() is not None, 10):
        server.kill()
    if not ready.exists():
        raise RuntimeError(f"dist_server on port {port} did not start; see {SERVE}/{port}.err")
    return server


def start():
    (ROOT / "clients").mkdir(parents=True, exist_ok=True)
    subprocess.run([str(MAKE_CERT), str(UNTRUSTED_CERTS), "localhost"], check=True,
                   stdout=subprocess.DEVNULL)
    for port, certs, extra in ((HTTPS_PORT, CERTS, ()), (HTTP_PORT, None, ()),
                               (UNTRUSTED_PORT, UNTRUSTED_CERTS, ()),
                               (TLS_1_2_PORT, CERTS, ("--tls-only", "1.2")),
                               (TLS_1_1_PORT, CERTS, ("--tls-only", "1.1"))):
        LOGS[port].write_text("")
        server = start_server(port, certs, LOGS[port], extra=extra)
        (SERVE / f"{port}.pid").write_text(f"{server.pid}\n")


def running(pid):
    """True while `pid` lives; a zombie no longer counts (it is not our child
    to reap)."""
    try:
        return pathlib.Path(f"/proc/{pid}/stat").read_text().split()[2] != "Z"
    except FileNotFoundError:
        return False


def stop():
    for port in LOGS:
        pid_file = SERVE / f"{port}.pid"
        if not pid_file.exists():
            continue
        pid = int(pid_file.read_text())
        pid_file.unlink()
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            continue
        harness.wait_until(lambda: not running(pid), 5)


def serve_manifest(address):
    MANIFEST.write_text(address + "\n", encoding="utf-8")


def generated(options, name):
    """The address of a generated package that behaves as `options` say."""
    return f"https://localhost:{HTTPS_PORT}/_x/{options}/{name}"


def holds_pattern(path, size):
    """True when the file at `path` is exactly the first `size` bytes of the
    generated body pattern, as a download of size=`size` stores it."""
    with open(path, "rb") as file:
        for offset in range(0, size, dist_server.BLOCK):
            length = min(dist_server.BLOCK, size - offset)
            if file.read(length) != dist_server.pattern_bytes(offset, length):
                return False
        return file.read(1) == b""


def log_lines(port=HTTPS_PORT):
    return LOGS[port].read_text(encoding="utf-8").splitlines()


if __name__ == "__main__":
    {"start": start, "stop": stop}[sys.argv[1]]()
