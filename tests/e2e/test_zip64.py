"""A sparse file just over 4 GiB is packed with ZIP64 and reads back whole; with -D it is
deleted only once its archive is sound. Random data just under 4 GiB, which deflate makes a
little larger, gets ZIP64 too. Slow: each deflates 4 GiB.

    test_zip64.py PATH_TO_VORDEX [unittest arguments]
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

from archive_run import dos_date_time, local_header, run

BINARY = None
SIZE = (1 << 32) + 12345
TAIL = b"the end of a file past four gibibytes\n"


class Zip64(unittest.TestCase):
    def test_a_file_past_four_gibibytes_is_packed_with_zip64(self):
        with tempfile.TemporaryDirectory(prefix="vordex-zip64-") as folder:
            source = os.path.join(folder, "huge.img")
            with open(source, "wb") as out:
                out.write(b"start")
                out.seek(SIZE - len(TAIL))
                out.write(TAIL)
            mtime = os.stat(source).st_mtime
            self.assertEqual(run(BINARY, folder, "huge.img", "-1", timeout=1200), 0)
            archive_path = os.path.join(folder, "huge.zip")
            with zipfile.ZipFile(archive_path) as archive:
                entries = archive.infolist()
                self.assertEqual(len(entries), 1)
                info = entries[0]
                self.assertEqual(info.filename, "huge.img")
                self.assertEqual(info.file_size, SIZE)
                self.assertEqual(info.compress_type, zipfile.ZIP_DEFLATED)
                self.assertEqual(info.flag_bits, 0x0006)
                self.assertEqual(info.date_time, dos_date_time(mtime))
                # The source's mode, as a Unix host writes it.
                self.assertEqual(info.external_attr, os.stat(source).st_mode << 16)
                with archive.open(info) as packed, open(source, "rb") as original:
                    while True:
                        ours = packed.read(1 << 22)
                        self.assertEqual(ours, original.read(1 << 22))
                        if not ours:
                            break
            header = local_header(archive_path, info)
            self.assertEqual(header["size"], 0xFFFFFFFF)  # the real size is in the ZIP64 field
            if shutil.which("unzip"):
                done = subprocess.run(["unzip", "-tqq", archive_path], check=False,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                self.assertEqual(done.returncode, 0)

            # Packed again with -D: sound, so the source goes.
            started = time.monotonic()
            self.assertEqual(run(BINARY, folder, "huge.img", "-1", "-O", "-D", timeout=1200), 0)
            self.assertFalse(os.path.exists(source))
            self.assertLess(time.monotonic() - started, 600)


    def test_random_data_just_under_four_gibibytes_gets_zip64_too(self):
        # Deflate stores what it cannot shrink, five bytes more per block. zlib, which deflates
        # big files from level 2 on, ends a block every 16 KiB: 4,294,367,295 random bytes make
        # an entry past 4 GiB. (ISA-L at level 1 stores in 64 KiB blocks and stays below.)
        size = 4294367295
        with tempfile.TemporaryDirectory(prefix="vordex-zip64-") as folder:
            if shutil.disk_usage(folder).free < 2 * size + (1 << 30):
                self.skipTest("needs 9 GiB of free disk")
            source = os.path.join(folder, "big.bin")
            with open(source, "wb") as out:
                left = size
                while left > 0:
                    block = os.urandom(min(left, 16 << 20))
                    out.write(block)
                    left -= len(block)
            self.assertEqual(run(BINARY, folder, "big.bin", "-2", "-D", timeout=1200), 0)
            self.assertFalse(os.path.exists(source))
            archive_path = os.path.join(folder, "big.zip")
            self.assertGreater(os.path.getsize(archive_path), 1 << 32)
            with zipfile.ZipFile(archive_path) as archive:
                info = archive.infolist()[0]
                self.assertEqual(info.file_size, size)
                self.assertGreater(info.compress_size, 0xFFFFFFFF)
            self.assertEqual(local_header(archive_path, info)["compressed"], 0xFFFFFFFF)
            if shutil.which("unzip"):
                done = subprocess.run(["unzip", "-tqq", archive_path], check=False,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                self.assertEqual(done.returncode, 0)


if __name__ == "__main__":
    BINARY = os.path.abspath(sys.argv.pop(1))
    unittest.main()
