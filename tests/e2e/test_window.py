"""The shipped exe as a user and a vendor meet it: its window, its imports,
its exit code and its reproducible bytes."""

import pathlib
import re
import struct
import subprocess
import tempfile
import unittest

import harness

RELEASE_EXE = harness.RELEASE_EXE
BOX_MS = 15000

# The static import table may name only KnownDLLs, which Windows always
# takes from the system folder, never from the exe's own.
KNOWN_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "msvcrt.dll", "ole32.dll"}
# What the exe delay-loads from the system folder once it has limited the
# DLL search to it.
DELAY_LOADED_DLLS = {"gdiplus.dll", "winhttp.dll"}


def imported_dlls(exe):
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(exe)], check=True,
                          capture_output=True, text=True).stdout
    return {line.split(":", 1)[1].strip().lower()
            for line in dump.splitlines() if "DLL Name:" in line}


def delay_imported_dlls(exe):
    """The DLL names of the exe's delay-import descriptors. GNU ld leaves the
    delay-import data directory empty, so the descriptors are found where
    they lie: 32 bytes, attributes 1 (addresses are RVAs), a name RVA that
    points at a DLL name, and a zero time stamp."""
    data = pathlib.Path(exe).read_bytes()
    header = struct.unpack_from("<I", data, 0x3C)[0]
    sections_count, optional_size = struct.unpack_from("<H12xH", data, header + 6)
    table = header + 24 + optional_size
    sections = [struct.unpack_from("<8xIIII", data, table + 40 * index)
                for index in range(sections_count)]

    def offset_of(rva):
        for virtual_size, address, raw_size, raw_offset in sections:
            if address <= rva < address + max(virtual_size, raw_size):
                return raw_offset + rva - address
        return None

    names = set()
    for _, _, raw_size, raw_offset in sections:
        for at in range(raw_offset, raw_offset + raw_size - 32, 4):
            attributes, name, module, iat, int_, _, _, stamp = struct.unpack_from("<8I", data, at)
            if attributes != 1 or stamp != 0 or 0 in (module, iat, int_):
                continue
            start = offset_of(name)
            if start is None:
                continue
            text = data[start:data.find(b"\0", start)]
            if re.fullmatch(rb"[A-Za-z0-9_]+\.dll", text, re.IGNORECASE):
                names.add(text.decode().lower())
    return names


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
                code, shown = harness.probe("press-box", caption, "ok", BOX_MS)
                self.assertEqual((code, shown.strip()), (0, text))
                self.assertEqual(app.close(), exit_code)


class ShippedExeTest(unittest.TestCase):
    def test_imports_only_known_dlls_and_delay_loads_the_rest(self):
        for exe in (RELEASE_EXE, harness.DOWNLOADER):
            with self.subTest(exe=exe.name):
                self.assertEqual(imported_dlls(exe), KNOWN_DLLS)
                self.assertEqual(delay_imported_dlls(exe), DELAY_LOADED_DLLS)
        # The distribution check, run from the same folders, needs only WinHTTP.
        check = RELEASE_EXE.parent / "TalvorenCheck.exe"
        self.assertLessEqual(imported_dlls(check), KNOWN_DLLS)
        self.assertEqual(delay_imported_dlls(check), {"winhttp.dll"})

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
