"""The real downloader, copied into a folder of its own, against the fixture's
server where the package file meets the disk: a small volume mapped as drive
S:, a disk that fills, a folder it cannot write, a file another program
holds, and the sharing of the file while it is written."""

import os
import pathlib
import shutil
import subprocess
import tempfile
import unittest

import harness
import servers

INTERRUPTED = "安装包下载中断，未完成的文件已删除。"
CANNOT_CREATE = "无法在程序目录创建安装包文件"
DOSDEVICES = pathlib.Path(os.environ["WINEPREFIX"]) / "dosdevices"


def free_bytes(folder):
    stat = os.statvfs(folder)
    return stat.f_bavail * stat.f_frsize


class PackageFileTest(unittest.TestCase):
    def setUp(self):
        self.folder = pathlib.Path(tempfile.mkdtemp(prefix="talvoren-file-"))
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)

    def run_as(self, *command):
        subprocess.run(command, check=True)

    def small_volume(self, megabytes):
        """A tmpfs of its own, reached by the program as drive S:."""
        volume = self.folder / "volume"
        volume.mkdir()
        self.run_as("mount", "-t", "tmpfs", "-o", f"size={megabytes}m", "tmpfs", str(volume))
        self.addCleanup(subprocess.run, ["umount", "-l", str(volume)], check=False)
        link = DOSDEVICES / "s:"
        link.unlink(missing_ok=True)
        link.symlink_to(volume)
        self.addCleanup(link.unlink, missing_ok=True)
        return volume

    def downloader(self, folder):
        app = harness.Downloader(folder)
        self.addCleanup(app.kill)
        return app

    def test_free_space_equal_to_the_size_is_enough_and_the_package_fills_it(self):
        volume = self.small_volume(4)
        app = self.downloader(volume)
        size = free_bytes(volume)
        servers.serve_manifest(servers.generated(f"size={size}", "Exact.zip"))
        app.start("S:\\TalvorenDownloader.exe")
        self.assertIsNotNone(harness.press_box("下载确认", "yes"))
        package = volume / "Exact.zip"
        self.assertTrue(harness.wait_until(
            lambda: package.exists() and package.stat().st_size == size, 30))
        self.assertEqual(harness.probe("no-box", "下载失败", 500)[0], 0)
        self.assertEqual(app.close(), 0)
        self.assertTrue(servers.holds_pattern(package, size), f"{package} differs")

    def test_one_byte_short_warns_with_the_drive_letter_and_writes_nothing(self):
        volume = self.small_volume(4)
        app = self.downloader(volume)
        servers.serve_manifest(servers.generated(f"size={free_bytes(volume) + 1}", "Short.zip"))
        app.start("S:\\TalvorenDownloader.exe")
        self.assertEqual(harness.press_box("磁盘空间不足"), "S盘剩余空间不足, 下载取消")
        self.assertEqual(app.close(), 0)
        self.assertFalse((volume / "Short.zip").exists())

    def test_a_disk_that_fills_while_writing_interrupts_and_deletes(self):
        volume = self.small_volume(8)
        app = self.downloader(volume)
        servers.serve_manifest(servers.generated("size=4000000", "Filled.zip"))
        app.start("S:\\TalvorenDownloader.exe")
        # Someone else takes most of the space between the check and the Yes.
        code, _ = harness.probe("wait-box", "下载确认", harness.BOX_MS)
        self.assertEqual(code, 0)
        with open(volume / "other.bin", "wb") as other:
            other.write(b"\0" * (free_bytes(volume) - 1048576))
        self.assertIsNotNone(harness.press_box("下载确认", "yes"))
        self.assertEqual(harness.press_box("下载失败"), INTERRUPTED)
        self.assertEqual(app.close(), 0)
        self.assertFalse((volume / "Filled.zip").exists())

    def test_a_read_only_folder_cannot_take_the_package(self):
        writable = self.folder / "writable"
        read_only = self.folder / "read-only"
        writable.mkdir()
        read_only.mkdir()
        app = self.downloader(writable)
        self.run_as("mount", "--bind", str(writable), str(read_only))
        self.addCleanup(subprocess.run, ["umount", "-l", str(read_only)], check=False)
        self.run_as("mount", "-o", "remount,bind,ro", str(read_only))
        servers.serve_manifest(servers.generated("size=100000", "ReadOnly.zip"))
        app.start(harness.windows_path(read_only / app.exe.name))
        self.assertIsNotNone(harness.press_box("下载确认", "yes"))
        self.assertEqual(harness.press_box("下载失败"), CANNOT_CREATE)
        self.assertEqual(app.close(), 0)
        self.assertFalse((writable / "ReadOnly.zip").exists())

    def test_a_file_another_program_holds_open_is_left_alone(self):
        app = self.downloader(self.folder)
        held = self.folder / "Held.zip"
        held.write_bytes(b"an older package")
        holder_output = self.folder / "holder.txt"
        with open(holder_output, "wb") as out:
            holder = subprocess.Popen([harness.WINE, str(harness.PROBE), "hold-open",
                                       harness.windows_path(held), "60000"],
                                      stdout=out, stderr=subprocess.DEVNULL,
                                      stdin=subprocess.DEVNULL)
        self.addCleanup(holder.wait)
        self.addCleanup(holder.kill)
        self.assertTrue(harness.wait_until(lambda: b"held" in holder_output.read_bytes(), 15))
        servers.serve_manifest(servers.generated("size=100000", "Held.zip"))
        app.start()
        self.assertIsNotNone(harness.press_box("下载确认", "yes"))
        self.assertEqual(harness.press_box("下载失败"), CANNOT_CREATE)
        self.assertEqual(app.close(), 0)
        self.assertEqual(held.read_bytes(), b"an older package")

    def test_while_written_the_file_can_be_read_but_not_written_or_deleted(self):
        app = self.downloader(self.folder)
        package = self.folder / "Shared.zip"
        servers.serve_manifest(servers.generated("size=50000000/rate=1000000", "Shared.zip"))
        app.start()
        self.assertIsNotNone(harness.press_box("下载确认", "yes"))
        self.assertTrue(harness.wait_until(
            lambda: package.exists() and package.stat().st_size > 0, 15))
        path = harness.windows_path(package)
        self.assertEqual(harness.probe("try-open", path, "read"), (0, "opened\n"))
        self.assertEqual(harness.probe("try-open", path, "write"), (1, "error=32\n"))
        self.assertEqual(harness.probe("try-open", path, "delete"), (1, "error=32\n"))
        self.assertEqual(app.close(), 0)
        self.assertFalse(package.exists())

    def test_a_program_folder_that_vanishes_leaves_the_free_space_unknown(self):
        program_folder = self.folder / "program"
        program_folder.mkdir()
        app = self.downloader(program_folder)
        servers.serve_manifest(servers.generated("head-delay=2/size=100000", "Vanished.zip"))
        app.start()
        shutil.rmtree(program_folder)
        self.assertEqual(harness.press_box("下载失败"), "无法读取磁盘剩余空间")
        self.assertEqual(app.close(), 0)


if __name__ == "__main__":
    unittest.main()
