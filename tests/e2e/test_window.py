"""The shipped exe as a user and a vendor meet it: its window, its imports,
its exit code and its reproducible bytes."""

import pathlib
import subprocess
import tempfile
import unittest

import harness

RELEASE_EXE = harness.RELEASE_EXE

# DLLs that ship with every 64-bit Windows.
WINDOWS_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "gdiplus.dll", "winhttp.dll",
                "ole32.dll", "msvcrt.dll", "advapi32.dll"}


def imported_dlls(exe):
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(exe)], check=True,
                          capture_output=True, text=True).stdout
    return {line.split(":", 1)[1].strip().lower()
            for line in dump.splitlines() if "DLL Name:" in line}


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


class ShippedExeTest(unittest.TestCase):
    def test_imports_only_dlls_that_ship_with_windows(self):
        for exe in (RELEASE_EXE, harness.DOWNLOADER):
            with self.subTest(exe=exe.name):
                dlls = imported_dlls(exe)
                self.assertIn("gdiplus.dll", dlls)
                self.assertLessEqual(dlls, WINDOWS_DLLS)

    def test_declares_gui_subsystem_and_as_invoker_manifest(self):
        dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(RELEASE_EXE)],
                              check=True, capture_output=True, text=True).stdout
        self.assertRegex(dump, r"Subsystem\s+00000002")
        data = RELEASE_EXE.read_bytes()
        self.assertIn(b'level="asInvoker"', data)
        self.assertIn(b'uiAccess="false"', data)
        self.assertIn("Talvoren下载器".encode("utf-16-le"), data)  # version resource

    def test_a_second_clean_build_elsewhere_gives_the_same_bytes(self):
        with tempfile.TemporaryDirectory() as build:
            toolchain = harness.REPO / "cmake" / "mingw-w64-x86_64.cmake"
            subprocess.run(["cmake", "-S", str(harness.REPO), "-B", build, "-G", "Ninja",
                            f"-DCMAKE_TOOLCHAIN_FILE={toolchain}",
                            "-DCMAKE_BUILD_TYPE=MinSizeRel"],
                           check=True, stdout=subprocess.DEVNULL)
            subprocess.run(["cmake", "--build", build], check=True, stdout=subprocess.DEVNULL)
            rebuilt = pathlib.Path(build) / "TalvorenDownloader.exe"
            self.assertEqual(rebuilt.read_bytes(), RELEASE_EXE.read_bytes())


if __name__ == "__main__":
    unittest.main()
