"""Whole downloads in a private network namespace: the release exe, signed
as a vendor ships it, against its own distribution host name on port 443,
and the test exe and the distribution check against nginx with the repo's
production configuration."""

import http.client
import os
import pathlib
import shutil
import ssl
import subprocess
import tempfile
import unittest

import harness
import namespace
import servers

RELEASE_HOST = "dl.talvoren.example"
PLANTED_DLL = harness.BUILD / "tests" / "planted_dll.dll"
START_ONLY = harness.BUILD / "tests" / "start_only.exe"
# Names a drive-by download could plant next to the exe: the DLLs it uses
# beyond the KnownDLLs, and those that the system's own user32 and WinHTTP
# look for. The message boxes load comctl32 through the manifest's
# side-by-side dependency, which comes before any search. Wine 8 itself also
# takes version, secur32, propsys and windowscodecs from the exe's folder (in
# its start-up, JPEG codec and TLS code), whatever the program does; Windows
# does not, so they are left out; so is any name that Wine takes from the
# folder before the program runs (the test measures which).
PLANTED_NAMES = ("winhttp", "gdiplus", "uxtheme", "dwmapi", "cryptbase", "iphlpapi", "dnsapi",
                 "oleacc", "oleaut32", "comctl32")


def plant(folder, names):
    """A copy of the planted DLL in `folder` under each of the names."""
    for dll in names:
        shutil.copy(PLANTED_DLL, folder / f"{dll}.dll")


def loaded_from(folder):
    """The names of the planted DLLs that some program loaded from `folder`."""
    return sorted(path.name.removesuffix(".dll.loaded") for path in folder.glob("*.loaded"))


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

    def download(self, exe, name, size, planted=()):
        """Runs `exe` from a folder of its own, with a copy of the planted
        DLL beside it under each of the names `planted`, answers Yes and waits
        for the whole package; returns its path after a clean close."""
        app_folder = self.folder / "app"
        app_folder.mkdir()
        plant(app_folder, planted)
        app = harness.Downloader(app_folder, exe=exe)
        self.addCleanup(app.kill)
        app.start()
        # A screen reader's request makes the window load what its
        # accessible object needs.
        code, view = harness.probe("read-accessible")
        self.assertEqual(code, 0)
        self.assertIn("children=2", view.splitlines())
        self.assertIsNotNone(harness.press_box("下载确认", "yes"))
        package = app_folder / name
        self.assertTrue(harness.wait_until(
            lambda: package.exists() and package.stat().st_size == size, 60))
        # A failed transfer would delete the file and say so in a box.
        self.assertEqual(harness.probe("no-box", "下载失败", 1000)[0], 0)
        self.assertEqual(app.close(), 0)
        return package

    def serve_release_host(self, size):
        """Serves a `size`-byte package from the release exe's own host name
        on port 443; returns its target and the server's request log."""
        certs = self.folder / "certs"
        certs.mkdir()
        for name in ("ca.key", "ca.pem"):
            shutil.copy(servers.CERTS / name, certs / name)
        subprocess.run([str(servers.MAKE_CERT), str(certs), RELEASE_HOST], check=True,
                       stdout=subprocess.DEVNULL)
        namespace.map_hosts([RELEASE_HOST], self.folder)
        self.addCleanup(subprocess.run, ["umount", "/etc/hosts"], check=True)
        root = self.folder / "root"
        (root / "clients").mkdir(parents=True)
        target = f"/_x/size={size}/TalvorenSetup.zip"
        (root / "clients" / "version.txt").write_text(f"https://{RELEASE_HOST}{target}\n")
        log = self.folder / "requests.log"
        self.stop_later(servers.start_server(443, certs, log, root=root))
        return target, log

    def signed_release_exe(self):
        """The release exe signed by deploy/sign-release.sh with a throw-away
        code-signing certificate of the test CA."""
        certs = self.folder / "certs"
        subprocess.run([str(servers.MAKE_CERT), "--code-signing", str(certs)], check=True,
                       stdout=subprocess.DEVNULL)
        (certs / "pass").write_text("test\n")
        signed = self.folder / "signed" / "TalvorenDownloader.exe"
        subprocess.run([str(harness.REPO / "deploy" / "sign-release.sh"),
                        "--pkcs12", str(certs / "signing.p12"), "--pass-file", str(certs / "pass"),
                        "--url", "https://talvoren.example/", "--ca", str(certs / "ca.pem"),
                        str(harness.RELEASE_EXE), str(signed)],
                       check=True, stdout=subprocess.DEVNULL)
        return signed

    def test_the_signed_release_exe_fetches_from_its_own_host_on_port_443(self):
        size = 5_000_000
        target, log = self.serve_release_host(size)

        package = self.download(self.signed_release_exe(), "TalvorenSetup.zip", size)
        self.assertTrue(servers.holds_pattern(package, size))
        agent = "OmbrixDownloader/1.0"
        self.assertEqual(log.read_text().splitlines(), [
            f"GET /clients/version.txt {agent}", f"HEAD {target} {agent}",
            f"GET {target} {agent}"])

    def taken_by_wine_at_start(self):
        """The planted names that Wine takes from a program's folder while it
        starts the program, before any code of the program runs, as a program
        with the downloader's static imports that ends at once shows them."""
        folder = self.folder / "start-only"
        folder.mkdir()
        plant(folder, PLANTED_NAMES)
        exe = shutil.copy(START_ONLY, folder)
        self.assertEqual(subprocess.call([harness.WINE, str(exe)], cwd=folder,
                                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL), 0)
        return loaded_from(folder)

    def test_dlls_planted_beside_the_release_exe_are_never_loaded(self):
        # Native first for the planted names makes Wine search for them the
        # way Windows does: the exe's own folder before the system folder.
        size = 1_000_000
        self.serve_release_host(size)

        with harness.dll_overrides(f"{','.join(PLANTED_NAMES)}=n,b"):
            # Wine 10's user32 loads uxtheme by name as it attaches, from the
            # exe's folder first, and lets it go when it lacks IsThemeActive;
            # its comctl32 then delay-loads it again for the first message
            # box through a loader path that ignores the program's restricted
            # search. Both are Wine's own: Windows' user32 loads its theming
            # DLL by full path from the system folder, and its loader keeps
            # the restriction for every later load. Wine 8 takes none, so
            # there uxtheme stays planted.
            wine_own = self.taken_by_wine_at_start()
            self.assertIn(wine_own, ([], ["uxtheme"]))
            planted = [name for name in PLANTED_NAMES if name not in wine_own]
            try:
                self.download(harness.RELEASE_EXE, "TalvorenSetup.zip", size, planted=planted)
                # The check, run from the same folder, loads nothing from it either.
                check = shutil.copy(harness.RELEASE_CHECK, self.folder / "app")
                code, report = harness.check(f"https://{RELEASE_HOST}/clients/version.txt",
                                             exe=check)
                self.assertEqual(code, 0, report)
            finally:
                # Checked even when the run failed: which DLLs were taken says why.
                self.assertEqual(loaded_from(self.folder / "app"), [])

    def test_a_server_below_tls_1_2_is_refused_and_tls_1_2_alone_is_enough(self):
        size = 1_000_000
        root = self.folder / "root"
        (root / "clients").mkdir(parents=True)
        (root / "clients" / "version.txt").write_text(
            f"https://localhost:8443/_x/size={size}/TlsPackage.zip\n")
        manifest_url = "https://localhost:8443/clients/version.txt"
        log = self.folder / "requests.log"

        old = servers.start_server(8443, servers.CERTS, log, root=root,
                                   extra=("--tls-only", "1.1"))
        try:
            app_folder = self.folder / "tls-1.1"
            app_folder.mkdir()
            with harness.Downloader(app_folder) as app:
                app.start()
                self.assertEqual(harness.press_box("下载失败"), "无法读取安装包下载地址")
                self.assertEqual(app.close(), 0)
            self.assertEqual(sorted(path.name for path in app_folder.iterdir()),
                             ["TalvorenDownloader.exe"])
            code, report = harness.check(manifest_url)
            self.assertEqual(code, 1, report)
            self.assertIn("FAILED: TLS failure: no TLS 1.2 or 1.3 connection could be made",
                          report)
        finally:
            old.terminate()
            old.wait()
        # Not one request got through the handshake.
        self.assertEqual(log.read_text(), "")

        self.stop_later(servers.start_server(8443, servers.CERTS, log, root=root,
                                             extra=("--tls-only", "1.2")))
        package = self.download(harness.DOWNLOADER, "TlsPackage.zip", size)
        self.assertTrue(servers.holds_pattern(package, size))
        code, report = harness.check(manifest_url)
        self.assertEqual(code, 0, report)

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
        # Nothing on the way may keep an old manifest or package.
        context = ssl.create_default_context(cafile=str(servers.CERTS / "ca.pem"))
        for target, content_type in (("/clients/version.txt", "text/plain; charset=utf-8"),
                                     ("/TalvorenPackage.zip", "application/zip")):
            connection = http.client.HTTPSConnection("localhost", 8443, context=context)
            connection.request("HEAD", target)
            response = connection.getresponse()
            self.assertEqual(response.getheader("Cache-Control"), "no-cache", target)
            self.assertEqual(response.getheader("Content-Type"), content_type, target)
            connection.close()


if __name__ == "__main__":
    namespace.reenter_inside()
    unittest.main()
