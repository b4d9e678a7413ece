"""The program run as a script would run it: the archives it leaves, what it deletes, what it
leaves alone when a file fails, and its exit code.

    test_archives.py PATH_TO_VORDEX [unittest arguments]
"""

import os
import random
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

from archive_run import check_single_entry, run

BINARY = None


def write(path, data):
    with open(path, "wb") as out:
        out.write(data)


def read(path):
    with open(path, "rb") as source:
        return source.read()


def text(size):
    line = b"Lorem ipsum dolor sit amet, consectetur adipiscing elit, 0123456789.\n"
    return (line * (size // len(line) + 1))[:size]


def noise(size, seed=1):
    return random.Random(seed).randbytes(size)


class ScratchFolder(unittest.TestCase):
    def setUp(self):
        self._folder = tempfile.TemporaryDirectory(prefix="vordex-e2e-")
        self.folder = self._folder.name

    def tearDown(self):
        self._folder.cleanup()

    def path(self, *parts):
        return os.path.join(self.folder, *parts)

    def run_vordex(self, *args, **kwargs):
        return run(BINARY, self.folder, *args, **kwargs)

    def older_archive(self, name):
        """An archive of an earlier version of name, the only kind -O replaces; its bytes."""
        write(self.path(name), b"an earlier version of " + name.encode())
        self.assertEqual(self.run_vordex(name, "-O"), 0)
        return read(self.path(os.path.splitext(name)[0] + ".zip"))


class Archives(ScratchFolder):
    def test_every_level_gives_the_method_and_flags_a_reader_expects(self):
        write(self.path("report.txt"), text(50000))
        mtime = time.mktime((2021, 6, 15, 12, 34, 57, 0, 0, -1))
        os.utime(self.path("report.txt"), (mtime, mtime))
        for level in [-1, *range(10)]:
            with self.subTest(level=level):
                args = ["report.txt"] + ([f"-{level}"] if level >= 0 else [])
                self.assertEqual(self.run_vordex(*args, "-O"), 0)
                check_single_entry(self, self.path("report.zip"), self.path("report.txt"),
                                   b"report.txt", level)
        with zipfile.ZipFile(self.path("report.zip")) as archive:
            self.assertEqual(archive.infolist()[0].date_time, (2021, 6, 15, 12, 34, 56))

    def test_sizes_at_the_edges_of_a_block(self):
        sizes = {"empty.dat": 0, "one.dat": 1, "block.dat": 16384, "block1.dat": 16385,
                 "blocks.dat": 3 * 16384}
        for name, size in sizes.items():
            write(self.path(name), noise(size, size))
        self.assertEqual(self.run_vordex("*.dat"), 0)
        for name in sizes:
            base = name[:-4]
            check_single_entry(self, self.path(base + ".zip"), self.path(name), name.encode())

    def test_names_without_a_dot_hidden_names_and_foreign_bytes(self):
        names = [b"README", b".profile", b"DATA.ZIP.TXT", "caf\u00e9 \u20ac.txt".encode(),
                 b"caf\xe9.txt", b"\xc0\xafslash.txt", b"\xed\xa0\x80.txt"]
        for name in names:
            write(os.path.join(self.folder.encode(), name), text(300) + name)
        self.assertEqual(self.run_vordex("*"), 0)
        archives = {b"README": b"README.zip", b".profile": b".zip",
                    b"DATA.ZIP.TXT": b"DATA.ZIP.zip"}
        for name in names:
            with self.subTest(name=name):
                archive = archives.get(name, name[:-4] + b".zip")
                folder = self.folder.encode()
                check_single_entry(self, os.path.join(folder, archive),
                                   os.path.join(folder, name), name)

    def test_a_mask_with_a_folder_part_packs_into_the_current_folder(self):
        os.mkdir(self.path("sub"))
        write(self.path("sub", "inner.txt"), text(2000))
        write(self.path("sub", "other.log"), b"not matched")
        self.assertEqual(self.run_vordex("sub/*.txt", "-9"), 0)
        check_single_entry(self, self.path("inner.zip"), self.path("sub", "inner.txt"),
                           b"inner.txt", 9)
        self.assertEqual(sorted(os.listdir(self.folder)), ["inner.zip", "sub"])
        self.assertEqual(self.run_vordex(self.path("sub") + "/*.txt", "-D", "-O"), 0)
        self.assertFalse(os.path.exists(self.path("sub", "inner.txt")))
        self.assertTrue(os.path.exists(self.path("sub", "other.log")))


class DeleteAndFailures(ScratchFolder):
    """Sources are deleted only after a sound packing; a failure leaves the source and makes the
    exit code 2."""

    def test_delete_removes_sources_only_after_success(self):
        write(self.path("good.txt"), text(100))
        write(self.path("bad.txt"), text(200))
        write(self.path("readonly.txt"), text(300))
        os.chmod(self.path("readonly.txt"), 0o444)
        write(self.path("target"), b"target data")
        os.symlink("target", self.path("link.txt"))
        os.mkdir(self.path("bad.zip"))
        self.assertEqual(self.run_vordex("*.txt", "-D"), 2)
        self.assertFalse(os.path.exists(self.path("good.txt")))
        self.assertEqual(read(self.path("bad.txt")), text(200))
        self.assertTrue(os.path.isdir(self.path("bad.zip")))
        self.assertEqual(read(self.path("readonly.txt")), text(300))
        self.assertFalse(os.path.lexists(self.path("link.txt")))
        self.assertEqual(read(self.path("target")), b"target data")
        with zipfile.ZipFile(self.path("good.zip")) as archive:
            self.assertEqual(archive.read("good.txt"), text(100))
        with zipfile.ZipFile(self.path("link.zip")) as archive:
            self.assertEqual(archive.read("link.txt"), b"target data")

    def test_write_and_close_failures_under_a_file_size_limit_leave_nothing(self):
        # Past the limit the kernel sends SIGXFSZ, which the program ignores to see EFBIG.
        data = noise(300000)
        older = self.older_archive("small.txt")
        write(self.path("big.bin"), data)
        write(self.path("small.txt"), text(1000))
        self.assertEqual(self.run_vordex("big.bin", "-0", "-D", fsize=100000), 2)
        self.assertEqual(self.run_vordex("small.txt", "-D", "-O", fsize=20), 2)
        self.assertEqual(read(self.path("big.bin")), data)
        self.assertEqual(read(self.path("small.txt")), text(1000))
        self.assertEqual(read(self.path("small.zip")), older)
        self.assertEqual(sorted(os.listdir(self.folder)), ["big.bin", "small.txt", "small.zip"])

    def test_a_fatal_signal_removes_the_temporary_archive_only(self):
        data = noise(64 << 20)  # about two seconds of deflate at level 9
        older = self.older_archive("big.bin")
        write(self.path("big.bin"), data)
        for signal_number in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=signal_number):
                process = subprocess.Popen([BINARY, "big.bin", "-9", "-O"], cwd=self.folder,
                                           stdin=subprocess.DEVNULL,
                                           stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL, start_new_session=True)
                deadline = time.monotonic() + 30
                while (len(os.listdir(self.folder)) < 3 and time.monotonic() < deadline):
                    time.sleep(0.01)
                time.sleep(0.05)
                self.assertIsNone(process.poll(), "the run ended before the signal")
                process.send_signal(signal_number)
                self.assertEqual(process.wait(timeout=30), -signal_number)
                self.assertEqual(sorted(os.listdir(self.folder)), ["big.bin", "big.zip"])
                self.assertEqual(read(self.path("big.zip")), older)
                self.assertEqual(read(self.path("big.bin")), data)


if __name__ == "__main__":
    BINARY = os.path.abspath(sys.argv.pop(1))
    unittest.main()
