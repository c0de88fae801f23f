"""The shipped exe as a user and a vendor meet it: its window, what a screen
reader hears of it, its imports, its exit code and its reproducible bytes,
built on a builder without dpkg too."""

import os
import pathlib
import shutil
import struct
import subprocess
import tempfile
import unittest
from xml.etree import ElementTree

import harness
import servers
from pe_imports import delay_import_slots


# The static import table may name only KnownDLLs, which Windows always
# takes from the system folder, never from the exe's own.
KNOWN_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "msvcrt.dll", "ole32.dll",
              "advapi32.dll"}
# What the exe delay-loads from the system folder once it has limited the
# DLL search to it.
DELAY_LOADED_DLLS = {"gdiplus.dll", "winhttp.dll", "oleacc.dll", "oleaut32.dll"}


def delay_imported_dlls(exe):
    return set(delay_import_slots(exe))


class WindowTest(unittest.TestCase):
    def test_window_class_title_size_centred_position_and_clean_exit(self):
        with tempfile.TemporaryDirectory() as folder, harness.Downloader(folder) as app:
            app.start()
            info = harness.window_info()
            self.assertEqual(info["class"], "talvorendownloader")
            self.assertEqual(info["title"], "Talvoren下载器")
            self.assertEqual((int(info["width"]), int(info["height"])), (856, 538))
            screen_width, screen_height = int(info["screen_width"]), int(info["screen_height"])
            self.assertEqual(int(info["x"]), max((screen_width - 856) // 2, 0))
            self.assertEqual(int(info["y"]), max((screen_height - 538) // 2, 0))

            code, text = harness.probe("resize", 500, 300)
            self.assertEqual(code, 0)
            resized = dict(line.split("=", 1) for line in text.splitlines())
            self.assertEqual((int(resized["width"]), int(resized["height"])), (720, 520))

            self.assertEqual(app.close(), 0)

    def test_a_system_dll_that_cannot_be_loaded_is_a_message_not_a_crash(self):
        # Disabled in Wine, as if the system folder had lost it: without GDI+
        # the program cannot start, without WinHTTP it cannot read the manifest.
        for dll, caption, text, exit_code in (
                ("gdiplus", "启动失败", "无法初始化 GDI+", 1),
                ("winhttp", "下载失败", "无法读取安装包下载地址", 0)):
            with self.subTest(dll), tempfile.TemporaryDirectory() as folder, \
                    harness.Downloader(folder) as app, harness.dll_overrides(f"{dll}=d"):
                app.launch()
                self.assertEqual(harness.press_box(caption), text)
                self.assertEqual(app.close(), exit_code)

    def test_every_delay_slot_of_gdiplus_and_winhttp_leads_into_it_once_the_window_is_up(self):
        # An unbound slot leads to the delay-load thunk in the exe.
        slots = delay_import_slots(harness.DOWNLOADER)

        def modules_reached(dll):
            code, text = harness.probe("slot-modules", *slots[dll])
            return set(text.lower().split()) if code == 0 else {"!"}

        with tempfile.TemporaryDirectory() as folder, harness.Downloader(folder) as app:
            app.start()
            self.assertEqual(modules_reached("gdiplus.dll"), {"gdiplus.dll"})
            # WinHTTP is loaded by the worker that reads the manifest.
            harness.wait_until(lambda: modules_reached("winhttp.dll") == {"winhttp.dll"}, 15)
            self.assertEqual(modules_reached("winhttp.dll"), {"winhttp.dll"})
            self.assertEqual(app.close(), 0)


ROLE_CLIENT, ROLE_STATIC_TEXT, ROLE_PROGRESS_BAR = 10, 41, 48


def read_accessible():
    """The window's accessible object as a reader in another process reads it."""
    code, text = harness.probe("read-accessible")
    if code != 0:
        raise AssertionError("no accessible object")
    return dict(line.split("=", 1) for line in text.splitlines() if "=" in line)


class Reader:
    """window_probe's follow-announcements in the background: a reader that
    hooks the window's events and samples its progress."""

    def __init__(self, folder, until):
        self.transcript = pathlib.Path(folder) / "reader.txt"
        with open(self.transcript, "wb") as out:
            self.process = subprocess.Popen(
                [harness.WINE, str(harness.PROBE), "follow-announcements", until, "60000"],
                stdout=out, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        if not harness.wait_until(lambda: "hooked" in self.text(), 15):
            self.process.kill()
            raise AssertionError("the reader did not hook the window's events")

    def text(self):
        return self.transcript.read_bytes().decode("utf-8").replace("\r\n", "\n")

    def heard(self, kind):
        """(tick, text) of each "name", "value" or "shown" line so far."""
        entries = (line.split(" ", 2) for line in self.text().splitlines())
        return [(int(tick), text) for entry_kind, tick, text in
                (entry for entry in entries if len(entry) == 3) if entry_kind == kind]

    def finish(self):
        try:
            return self.process.wait(timeout=90)
        except subprocess.TimeoutExpired:
            raise AssertionError("the reader did not finish:\n" + self.text()) from None

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


class ScreenReaderTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="talvoren-reader-")
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)
        self.app = harness.Downloader(self.folder)
        self.addCleanup(self.app.kill)

    def follow(self, until):
        reader = Reader(self.folder, until)
        self.addCleanup(reader.kill)
        return reader

    def assert_value_follows_the_line(self, reader):
        """Every value read equals the percentage of the progress line read
        around it, whenever that percentage did not move in between."""
        values = []
        for _, sample in reader.heard("shown"):
            before, value, after = sample.split("|")
            if before.split()[1] == after.split()[1]:
                self.assertEqual(value, after.split()[1], sample)
            values.append(int(value.rstrip("%")))
        self.assertEqual(values, sorted(values))
        self.assertGreaterEqual(len(set(values)), 3, reader.text())
        self.assertTrue(reader.heard("value"), "no value announced during the transfer")

    def test_reads_the_download_and_hears_its_completion_while_minimised(self):
        # The body arrives in reads of a mebibyte: eight steps of the value.
        servers.serve_manifest(servers.generated("head-delay=2/size=8388608/rate=1048576",
                                                 "Heard.zip"))
        self.app.start()
        before = read_accessible()
        self.assertEqual((before["children"], before["client_role"], before["status_role"],
                          before["progress_role"]),
                         ("2", str(ROLE_CLIENT), str(ROLE_STATIC_TEXT), str(ROLE_PROGRESS_BAR)))
        self.assertEqual((before["status"], before["progress"]), ("Talvoren下载器", "0%"))
        self.assertEqual(before["progress_line"], "下载进度: 0%    0.0 MB / -- MB    速度: 0.00 MB/s")

        # Follows from after the Yes: Wine drops a message posted to the window
        # while a click sent from another process closes the box, and a call
        # from the reader at that moment would never be answered.
        self.assertIsNotNone(harness.press_box("下载确认", "yes"))
        reader = self.follow("下载完成")
        self.assertTrue(harness.wait_until(
            lambda: len({text.split("|")[1] for _, text in reader.heard("shown")}) >= 3, 30),
            reader.text())
        self.assertEqual(harness.probe("minimize")[0], 0)
        self.assertEqual(reader.finish(), 0)
        self.assertEqual(reader.heard("live")[-1][1], "Heard.zip 下载完成")
        self.assertEqual(reader.heard("name")[-1][1], "Heard.zip 下载完成")
        # Heard while minimised: no paint showed the end of the transfer.
        self.assertNotEqual(reader.heard("shown")[-1][1].split("|")[1], "100%")
        self.assert_value_follows_the_line(reader)

        self.assertEqual(harness.probe("restore")[0], 0)
        self.assertTrue(harness.wait_until(lambda: read_accessible()["progress"] == "100%", 15))
        after = read_accessible()
        self.assertEqual(after["status"], "Heard.zip 下载完成")
        self.assertTrue(after["progress_line"].startswith("下载进度: 100%    8.0 MB / 8.0 MB"))
        self.assertEqual(self.app.close(), 0)

    def test_no_value_is_announced_while_the_percentage_stands_still(self):
        # Half the body at a steady pace, then silence until the receive
        # time-out ends the transfer.
        servers.serve_manifest(servers.generated("size=4194304/rate=1048576/stall=2097152:8",
                                                 "Stalled.zip"))
        self.app.start()
        self.assertIsNotNone(harness.press_box("下载确认", "yes"))
        reader = self.follow("下载失败")
        self.assertEqual(reader.finish(), 0)
        self.assertEqual(reader.heard("live")[-1][1], "下载失败")
        self.assertIsNotNone(harness.press_box("下载失败", "ok"))
        self.assert_value_follows_the_line(reader)
        stalled = reader.heard("shown")[-1][1].split("|")[1]
        self.assertEqual(stalled, "50%")
        first_stalled = min(tick for tick, text in reader.heard("shown")
                            if text.split("|")[1] == stalled)
        self.assertEqual([value for value in reader.heard("value") if value[0] > first_stalled],
                         [])
        self.assertEqual(self.app.close(), 0)

    def test_without_its_system_library_the_window_keeps_the_default_object(self):
        with harness.dll_overrides("oleacc=d"):
            self.app.start()
        view = read_accessible()
        self.assertEqual((view["children"], view["client_role"]), ("0", str(ROLE_CLIENT)))
        self.assertTrue(view["status"].startswith("!"), view)
        self.assertEqual(self.app.close(), 0)


class ShippedExeTest(unittest.TestCase):
    def test_imports_only_known_dlls_and_delay_loads_the_rest(self):
        for exe in (harness.RELEASE_EXE, harness.DOWNLOADER):
            with self.subTest(exe=exe.name):
                self.assertEqual(harness.imported_dlls(exe), KNOWN_DLLS)
                self.assertEqual(delay_imported_dlls(exe), DELAY_LOADED_DLLS)
        # The distribution check, run from the same folders, needs only WinHTTP.
        self.assertLessEqual(harness.imported_dlls(harness.RELEASE_CHECK), KNOWN_DLLS)
        self.assertEqual(delay_imported_dlls(harness.RELEASE_CHECK), {"winhttp.dll"})

    def test_declares_gui_subsystem_and_as_invoker_manifest(self):
        dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(harness.RELEASE_EXE)],
                              check=True, capture_output=True, text=True).stdout
        self.assertRegex(dump, r"Subsystem\s+00000002")
        data = harness.RELEASE_EXE.read_bytes()
        self.assertIn(b'level="asInvoker"', data)
        self.assertIn(b'uiAccess="false"', data)
        self.assertIn("Talvoren下载器".encode("utf-16-le"), data)  # version resource
        # Message boxes drawn in the system's visual style.
        manifest = ElementTree.fromstring(data[data.index(b"<?xml"):
                                               data.index(b"</assembly>") + len(b"</assembly>")])
        v1 = "{urn:schemas-microsoft-com:asm.v1}"
        dependencies = manifest.findall(
            f"{v1}dependency/{v1}dependentAssembly/{v1}assemblyIdentity")
        self.assertEqual([dependency.attrib for dependency in dependencies], [{
            "type": "win32", "name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
            "processorArchitecture": "*", "publicKeyToken": "6595b64144ccf1df", "language": "*"}])

    def test_the_icon_holds_every_size_windows_asks_for_each_entry_true_to_its_image(self):
        icon = (harness.REPO / "res" / "app.ico").read_bytes()
        exe = harness.RELEASE_EXE.read_bytes()
        sizes = []
        for index in range(struct.unpack_from("<H", icon, 4)[0]):
            width, height, _, _, _, bits, size, at = struct.unpack_from("<BBBBHHII", icon,
                                                                        6 + 16 * index)
            image = icon[at:at + size]
            png = image.startswith(b"\x89PNG")
            real = struct.unpack_from(">II" if png else "<ii2xH", image, 16 if png else 4)
            self.assertEqual((width or 256, height or 256, bits),
                             (real[0], real[1] // (1 if png else 2), 32 if png else real[2]))
            self.assertIn(image, exe)  # the resource compiler copies each image as it is
            sizes.append(real[0])
        self.assertEqual(sizes, [16, 20, 24, 32, 40, 48, 64, 256])

    def test_a_second_clean_build_elsewhere_gives_the_same_bytes(self):
        # On a builder without dpkg, too, which gets the exes without the
        # notices and is told so once.
        with tempfile.TemporaryDirectory() as folder:
            tools, build = pathlib.Path(folder) / "bin", pathlib.Path(folder) / "build"
            tools.mkdir()
            for tool in pathlib.Path("/usr/bin").iterdir():
                if not tool.name.startswith("dpkg"):
                    (tools / tool.name).symlink_to(tool)
            toolchain = harness.REPO / "cmake" / "mingw-w64-x86_64.cmake"
            said = ""
            for command in (["cmake", "-S", harness.REPO, "-B", build, "-G", "Ninja",
                             f"-DCMAKE_TOOLCHAIN_FILE={toolchain}",
                             "-DCMAKE_BUILD_TYPE=MinSizeRel"],
                            ["cmake", "--build", build]):
                done = subprocess.run([str(part) for part in command], text=True,
                                      env=dict(os.environ, PATH=str(tools)),
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
                said += done.stdout
                self.assertEqual(done.returncode, 0, done.stdout)
            self.assertEqual((build / "TalvorenDownloader.exe").read_bytes(),
                             harness.RELEASE_EXE.read_bytes())
            self.assertEqual((build / "TalvorenCheck.exe").read_bytes(),
                             harness.RELEASE_CHECK.read_bytes())
            self.assertFalse((build / "THIRD_PARTY_NOTICES").exists())
            self.assertEqual(said.count("THIRD_PARTY_NOTICES and the SBOMs cannot be generated"), 1,
                             said)

if __name__ == "__main__":
    unittest.main()
