"""Whole downloads in a private network namespace: the release exe, signed
as a vendor ships it, against its own distribution host name on port 443,
and the test exe and the distribution check against nginx with the repo's
production configuration."""

import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).parent))
import harness  # noqa: E402
import namespace  # noqa: E402
import servers  # noqa: E402

RELEASE_EXE = pathlib.Path(os.environ.get(
    "TALVOREN_RELEASE_EXE", harness.REPO / "build" / "release" / "TalvorenDownloader.exe"))
RELEASE_HOST = "dl.talvoren.example"
BOX_MS = 15000


def setUpModule():
    namespace.start_wine()


def tearDownModule():
    namespace.stop_wine()


class NamespacedDownloadTest(unittest.TestCase):
    def setUp(self):
        self.folder = pathlib.Path(tempfile.mkdtemp(prefix="talvoren-ns-"))
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)

    def stop_later(self, process):
        self.addCleanup(process.wait)
        self.addCleanup(process.terminate)

    def download(self, exe, name, size):
        """Runs `exe` from a folder of its own, answers Yes and waits for the
        whole package; returns its path after a clean close."""
        app_folder = self.folder / "app"
        app_folder.mkdir()
        app = harness.Downloader(app_folder, exe=exe)
        self.addCleanup(app.kill)
        app.start()
        self.assertEqual(harness.probe("press-box", "下载确认", "yes", BOX_MS)[0], 0)
        package = app_folder / name
        self.assertTrue(harness.wait_until(
            lambda: package.exists() and package.stat().st_size == size, 60))
        # A failed transfer would delete the file and say so in a box.
        self.assertEqual(harness.probe("no-box", "下载失败", 1000)[0], 0)
        self.assertEqual(app.close(), 0)
        return package

    def signed_release_exe(self, certs):
        subprocess.run([str(servers.MAKE_CERT), "--code-signing", str(certs)], check=True,
                       stdout=subprocess.DEVNULL)
        (certs / "pass").write_text("test\n")
        signed = self.folder / "signed" / "TalvorenDownloader.exe"
        subprocess.run([str(harness.REPO / "tools" / "sign-release.sh"),
                        "--pkcs12", str(certs / "signing.p12"), "--pass-file", str(certs / "pass"),
                        "--ca", str(certs / "ca.pem"), str(RELEASE_EXE), str(signed)],
                       check=True, stdout=subprocess.DEVNULL)
        return signed

    def test_the_signed_release_exe_fetches_from_its_own_host_on_port_443(self):
        certs = self.folder / "certs"
        certs.mkdir()
        for name in ("ca.key", "ca.pem"):
            shutil.copy(servers.CERTS / name, certs / name)
        subprocess.run([str(servers.MAKE_CERT), str(certs), RELEASE_HOST], check=True,
                       stdout=subprocess.DEVNULL)
        namespace.map_hosts([RELEASE_HOST], self.folder)
        root = self.folder / "root"
        (root / "clients").mkdir(parents=True)
        size = 5_000_000
        target = f"/_x/size={size}/TalvorenSetup.zip"
        (root / "clients" / "version.txt").write_text(f"https://{RELEASE_HOST}{target}\n")
        log = self.folder / "requests.log"
        self.stop_later(servers.start_server(443, certs, log, root=root))

        package = self.download(self.signed_release_exe(certs), "TalvorenSetup.zip", size)
        expected = self.folder / "expected.bin"
        subprocess.run([sys.executable, str(servers.DIST_SERVER), "--write-pattern", str(size),
                        str(expected)], check=True)
        self.assertTrue(package.read_bytes() == expected.read_bytes())
        agent = "OmbrixDownloader/1.0"
        self.assertEqual(log.read_text().splitlines(), [
            f"GET /clients/version.txt {agent}", f"HEAD {target} {agent}",
            f"GET {target} {agent}"])

    def test_the_test_exe_downloads_from_nginx_and_the_check_passes_there(self):
        root = self.folder / "root"
        (root / "clients").mkdir(parents=True)
        served = root / "TalvorenPackage.zip"
        served.write_bytes(os.urandom(20_000_000))
        (root / "clients" / "version.txt").write_text(
            "https://localhost:8443/TalvorenPackage.zip\n")
        self.stop_later(namespace.start_nginx(self.folder / "nginx", root, 8443, servers.CERTS))

        package = self.download(harness.DOWNLOADER, "TalvorenPackage.zip", 20_000_000)
        self.assertTrue(package.read_bytes() == served.read_bytes())
        access = (self.folder / "nginx" / "logs" / "access.log").read_text()
        self.assertIn('"HEAD /TalvorenPackage.zip HTTP/1.1" 200', access)
        self.assertIn('"GET /TalvorenPackage.zip HTTP/1.1" 200', access)

        code, report = harness.check("https://localhost:8443/clients/version.txt")
        self.assertEqual(code, 0, report)
        self.assertIn('Content-Length "20000000"', report)


if __name__ == "__main__":
    namespace.reenter_inside()
    unittest.main()
