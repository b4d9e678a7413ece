"""The archives the program writes for ordinary files are, byte for byte, those of the plainest
loop of minizip calls (zipOpen, zipOpenNewFileInZip, writes of 16384-byte blocks,
zipCloseFileInZip, zipClose).

    test_byte_identity.py PATH_TO_VORDEX PATH_TO_PLAIN_MINIZIP [unittest arguments]
"""

import os
import random
import subprocess
import sys
import tempfile
import time
import unittest

from archive_run import run

VORDEX = None
PLAIN = None

FILES = {
    "notes.txt": b"".join(b"line %d of some notes, repeated to be compressible\n" % i
                          for i in range(3000)),
    "noise.bin": random.Random(7).randbytes(70000),
    "empty.dat": b"",
    "block.dat": random.Random(8).randbytes(16384),
    "README": b"no dot in this name\n",
}


class ByteIdentity(unittest.TestCase):
    def test_archives_equal_the_plain_call_sequences(self):
        with tempfile.TemporaryDirectory(prefix="vordex-identity-") as root:
            sources = os.path.join(root, "sources")
            mine = os.path.join(root, "vordex")
            plain = os.path.join(root, "plain")
            for folder in (sources, mine, plain):
                os.mkdir(folder)
            for name, data in FILES.items():
                with open(os.path.join(sources, name), "wb") as out:
                    out.write(data)
            # The entries hold the access time too: one that reading leaves alone, so both
            # programs see it. relatime moves an access time older than the change time (which
            # setting the times makes now), so each file is read once after a pause: its access
            # time is then newer than both its times and within a day.
            now = int(time.time())
            for name in FILES:
                os.utime(os.path.join(sources, name), (now - 3600, now - 7200))
            time.sleep(0.05)
            for name in FILES:
                with open(os.path.join(sources, name), "rb") as source:
                    source.read(1)
            for level in (-1, 0, 1, 6, 9):
                with self.subTest(level=level):
                    level_args = [f"-{level}"] if level >= 0 else []
                    self.assertEqual(run(VORDEX, mine, "../sources/*", "-O", *level_args), 0)
                    subprocess.run([PLAIN, str(level), sources], cwd=plain, check=True)
                    archives = sorted(os.listdir(plain))
                    self.assertEqual(sorted(os.listdir(mine)), archives)
                    self.assertEqual(len(archives), len(FILES))
                    for archive in archives:
                        with open(os.path.join(mine, archive), "rb") as ours, \
                                open(os.path.join(plain, archive), "rb") as theirs:
                            self.assertEqual(ours.read(), theirs.read(), archive)


if __name__ == "__main__":
    VORDEX = os.path.abspath(sys.argv.pop(1))
    PLAIN = os.path.abspath(sys.argv.pop(1))
    unittest.main()
