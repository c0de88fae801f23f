"""Runs a script inside a private network and mount namespace of its own, so
that it may use any port, map the distribution host name to loopback and
start a distribution server without anything reaching or clashing with the
machine's network.

Wine opens sockets in its wineserver, so the namespace needs a wineserver of
its own, started inside it; it gets a prefix of its own too (NS_PREFIX),
made and trusting the test CA on first use, so it cannot meet the session's
server."""

import os
import pathlib
import re
import socket
import subprocess
import sys

import harness

NS_PREFIX = harness.REPO / "build" / "wine-prefix-ns"
DIST_NGINX = harness.REPO / "deploy" / "nginx-dist.conf"
WINESERVER = os.environ.get("WINESERVER", "/usr/lib/wine/wineserver")
_INSIDE = "TALVOREN_IN_NAMESPACE"


def reenter_inside():
    """Re-runs the calling script in a fresh namespace unless it already runs
    in one; returns only inside."""
    if os.environ.get(_INSIDE) == "1":
        return
    os.environ[_INSIDE] = "1"
    os.execvp("unshare", ["unshare", "--mount", "--net", "--fork", sys.executable,
                          *sys.argv])


def start_wine():
    """Loopback up, then the namespace's own prefix and persistent server.
    Refuses to run outside a private network namespace: the exes started
    after it may look up a real host name."""
    if [name for _, name in socket.if_nameindex()] != ["lo"]:
        raise RuntimeError("not in a private network namespace")
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    os.environ["WINEPREFIX"] = str(NS_PREFIX)
    os.environ["TALVOREN_WINEPREFIX"] = str(NS_PREFIX)
    subprocess.run([str(harness.REPO / "tools" / "wine-prefix.sh")], check=True)
    subprocess.run([WINESERVER, "-p"], check=True)
    subprocess.run([harness.WINE, "wineboot"], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    trusted = NS_PREFIX / ".talvoren-trusts-test-ca"
    if not trusted.exists():
        ca = pathlib.Path(os.environ.get("TALVOREN_TEST_CERTS",
                                         harness.REPO / "build" / "certs")) / "ca.der"
        subprocess.run([harness.WINE, str(harness.BUILD / "tests" / "trust_cert.exe"),
                        harness.windows_path(ca)], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        trusted.touch()


def stop_wine():
    subprocess.run([WINESERVER, "-k"], check=False)


def map_hosts(names, folder):
    """Binds a hosts file that maps `names` to 127.0.0.1 over /etc/hosts; the
    mount ends with the namespace."""
    hosts = pathlib.Path(folder) / "hosts"
    hosts.write_text("127.0.0.1 localhost " + " ".join(names) + "\n::1 localhost\n")
    subprocess.run(["mount", "--bind", str(hosts), "/etc/hosts"], check=True)


def dist_server_block(root, port, certs):
    """The repo's production server block with only what a loopback test
    must change: the listen address, the certificate and the root."""
    text = DIST_NGINX.read_text()
    for pattern, replacement in (
            (r"listen 443 ssl;", f"listen 127.0.0.1:{port} ssl;"),
            (r"\n *listen \[::\]:443 ssl;", ""),
            (r"ssl_certificate [^;]*;", f"ssl_certificate {certs}/server-chain.pem;"),
            (r"ssl_certificate_key [^;]*;", f"ssl_certificate_key {certs}/server.key;"),
            (r"root [^;]*;", f"root {root};")):
        text, count = re.subn(pattern, lambda _: replacement, text)
        if count != 1:
            raise RuntimeError(f"{DIST_NGINX}: {pattern} found {count} times")
    return text


def start_nginx(folder, root, port, certs):
    """nginx serving `root` over HTTPS on 127.0.0.1:`port` with the repo's
    production server block; returns its Popen (it stays in the
    foreground)."""
    folder = pathlib.Path(folder)
    (folder / "logs").mkdir(parents=True, exist_ok=True)
    config = folder / "nginx.conf"
    config.write_text(f"""
user root;
worker_processes 1;
daemon off;
pid {folder}/nginx.pid;
error_log {folder}/logs/error.log;
events {{ worker_connections 64; }}
http {{
    include /etc/nginx/mime.types;
    access_log {folder}/logs/access.log;
    sendfile on;
{dist_server_block(root, port, certs)}
}}
""")
    with open(folder / "logs" / "stderr.log", "wb") as err:
        nginx = subprocess.Popen(["nginx", "-p", str(folder), "-c", str(config)],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                 stderr=err)
    if not harness.wait_until(lambda: (folder / "nginx.pid").exists() or
                              nginx.poll() is not None, 10) or nginx.poll() is not None:
        raise RuntimeError(f"nginx did not start; see {folder}/logs")
    return nginx
