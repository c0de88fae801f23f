"""The vendor's side: the signing script with a throw-away code-signing
certificate (from a file with a time stamp, and from a software token), and
the distribution check against the fixture's server, healthy and broken at
each step."""

import http.server
import os
import pathlib
import shutil
import subprocess
import tempfile
import threading
import unittest

import harness
import servers

RELEASE = harness.REPO / "build" / "release"
SIGN = harness.REPO / "tools" / "sign-release.sh"
SOFTHSM = "/usr/lib/softhsm/libsofthsm2.so"


def run(*command, **options):
    return subprocess.run([str(part) for part in command], check=True,
                          stdout=subprocess.DEVNULL, **options)


class TimeStampServer(http.server.ThreadingHTTPServer):
    """An RFC 3161 time-stamp server on a free loopback port: openssl ts
    answers each query with the test CA's time-stamping certificate."""

    def __init__(self, certs):
        self.certs = certs
        super().__init__(("127.0.0.1", 0), TimeStampHandler)
        threading.Thread(target=self.serve_forever, daemon=True).start()

    @property
    def url(self):
        return f"http://127.0.0.1:{self.server_address[1]}/"


class TimeStampHandler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        certs = self.server.certs
        query = self.rfile.read(int(self.headers["Content-Length"]))
        reply = subprocess.run(
            ["openssl", "ts", "-reply", "-config", str(certs / "tsa.cnf"), "-queryfile",
             "/dev/stdin", "-signer", str(certs / "tsa.pem"), "-inkey", str(certs / "tsa.key"),
             "-chain", str(certs / "ca.pem"), "-out", "/dev/stdout"],
            input=query, capture_output=True, check=True).stdout
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, format, *args):
        pass


class SigningTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = pathlib.Path(tempfile.mkdtemp(prefix="talvoren-sign-"))
        cls.certs = cls.folder / "certs"
        run(harness.REPO / "tools" / "make-cert.sh", "--code-signing", cls.certs)
        (cls.folder / "pass").write_text("test\n")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def assert_signed_build(self, signed):
        """The signature verifies against the test CA, and without it the
        exe is the unsigned build byte for byte. Returns the verifier's
        report."""
        report = subprocess.run(["osslsigncode", "verify", "-in", str(signed), "-CAfile",
                                 str(self.certs / "ca.pem"), "-TSA-CAfile",
                                 str(self.certs / "ca.pem")],
                                check=True, capture_output=True, text=True).stdout
        stripped = self.folder / "stripped.exe"
        stripped.unlink(missing_ok=True)
        run("osslsigncode", "remove-signature", "-in", signed, "-out", stripped)
        self.assertTrue(stripped.read_bytes() == (RELEASE / "TalvorenDownloader.exe").read_bytes())
        return report

    def sign(self, key_options, ca, out, **options):
        """Runs the signing script on the release exe; returns its exit code."""
        command = [SIGN, *key_options, "--pass-file", self.folder / "pass",
                   "--url", "https://talvoren.example/", "--ca", ca,
                   RELEASE / "TalvorenDownloader.exe", out]
        return subprocess.call([str(part) for part in command], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, **options)

    def test_a_key_file_signs_a_time_stamped_build_that_verifies_and_strips_back(self):
        key = ["--pkcs12", self.certs / "signing.p12"]
        signed = self.folder / "file" / "TalvorenDownloader.exe"
        time_stamps = TimeStampServer(self.certs)
        self.addCleanup(time_stamps.server_close)
        self.addCleanup(time_stamps.shutdown)
        self.assertEqual(self.sign(key + ["--timestamp", time_stamps.url], self.certs / "ca.pem",
                                   signed), 0)
        report = self.assert_signed_build(signed)
        self.assertIn("Timestamp Server Signature verification: ok", report)
        # Only a CA that issued the certificate is accepted.
        refused = self.folder / "refused.exe"
        self.assertNotEqual(self.sign(key, servers.CERTS / "ca.pem", refused), 0)
        self.assertFalse(refused.exists())

    def test_a_key_on_a_token_signs_the_same_way(self):
        tokens = self.folder / "tokens"
        tokens.mkdir()
        config = self.folder / "softhsm2.conf"
        config.write_text(f"directories.tokendir = {tokens}\nobjectstore.backend = file\n")
        env = dict(os.environ, SOFTHSM2_CONF=str(config))
        run("softhsm2-util", "--init-token", "--free", "--label", "talvoren", "--pin", "test",
            "--so-pin", "test-so", env=env)
        key = self.folder / "signing.key.der"
        cert = self.folder / "signing.der"
        run("openssl", "pkcs8", "-topk8", "-nocrypt", "-in", self.certs / "signing.key",
            "-outform", "DER", "-out", key)
        run("openssl", "x509", "-in", self.certs / "signing.pem", "-outform", "DER", "-out", cert)
        for kind, path in (("privkey", key), ("cert", cert)):
            run("pkcs11-tool", "--module", SOFTHSM, "--token-label", "talvoren", "--login",
                "--pin", "test", "--write-object", path, "--type", kind, "--id", "01",
                "--label", "signing", env=env, stderr=subprocess.DEVNULL)

        key = ["--pkcs11-module", SOFTHSM,
               "--pkcs11-cert", "pkcs11:token=talvoren;object=signing;type=cert",
               "--key", "pkcs11:token=talvoren;object=signing;type=private"]
        signed = self.folder / "token" / "TalvorenDownloader.exe"
        self.assertEqual(self.sign(key, self.certs / "ca.pem", signed, env=env), 0)
        self.assert_signed_build(signed)


def served(relative, text):
    path = servers.ROOT / relative
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text, encoding="utf-8")
    return f"https://localhost:{servers.HTTPS_PORT}/{relative}"


class DistributionCheckTest(unittest.TestCase):
    def test_a_healthy_server_passes_every_step(self):
        package = servers.generated("size=3000000", "Healthy.zip")
        code, report = harness.check(served("check/healthy.txt", f"{package}\r\n"))
        self.assertEqual(code, 0, report)
        self.assertIn(f'  text "{package}"\n', report)
        self.assertIn(f"package size: HEAD {package}\n  status 200, "
                      'Content-Length "3000000", ', report)
        self.assertIn(f"package: GET {package}\n  status 200, 3000000 bytes in ", report)
        self.assertTrue(report.endswith(
            "The downloader would complete the download and store it as Healthy.zip.\n"), report)
        self.assertEqual(report.count("  passed\n"), 3, report)

    def test_each_step_fails_with_the_downloaders_message(self):
        cases = [
            ("manifest 404", servers.generated("status=404", "version.txt"),
             "FAILED: status 404 is outside 200 to 299", "无法读取安装包下载地址", 1),
            ("HEAD without Content-Length",
             served("check/no-length.txt",
                    servers.generated("size=1000/head-cl=none", "NoLength.zip")),
             "FAILED: no usable Content-Length", "无法获取安装包大小", 2),
            ("GET refused",
             served("check/get-404.txt",
                    servers.generated("size=1000/get-status=404", "Get404.zip")),
             "FAILED: status 404 is outside 200 to 299", "无法连接安装包下载服务器", 3),
            ("body cut short",
             served("check/cut.txt", servers.generated("size=3000000/cut=2000000", "Cut.zip")),
             "FAILED: the body has 2000000 bytes, the HEAD said 3000000",
             "安装包下载中断，未完成的文件已删除。", 3),
        ]
        for name, manifest, failure, message, steps in cases:
            with self.subTest(name):
                code, report = harness.check(manifest)
                self.assertEqual(code, 1, report)
                self.assertIn(failure, report)
                self.assertTrue(report.endswith(f"The downloader would show: {message}\n"),
                                report)
                self.assertEqual(report.count("  passed\n"), steps - 1, report)


if __name__ == "__main__":
    unittest.main()
