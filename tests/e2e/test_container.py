"""The container the program writes is that of the plainest loop of minizip calls (zipOpen,
zipOpenNewFileInZip, writes of 16384-byte blocks, zipCloseFileInZip, zipClose) in every field:
headers, name, dates, sizes, CRC, the Unix fields. Only the deflated bytes differ (the program
deflates with libdeflate, ISA-L or zlib in chunks), so they are inflated and compared with the
source instead; and every archive, of every engine at every level, whole, streamed and chunked,
is read by every reader at hand: unzip -t, Python's zipfile, 7z t and bsdtar.

    test_container.py PATH_TO_VORDEX PATH_TO_PLAIN_MINIZIP [unittest arguments]
"""

import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile

from archive_run import run, without_access_time

VORDEX = None
PLAIN = None

WHOLE_FILE_LIMIT = 4 << 20


def log_text(size, seed):
    """A web server's and an application's log lines, interleaved."""
    rng = random.Random(seed)
    paths = ["/api/v1/items", "/api/v1/orders", "/login", "/static/app.js", "/health"]
    services = ["OrderService", "PaymentGateway", "SessionCache", "MailQueue"]
    out = bytearray()
    while len(out) < size:
        stamp = f"2024-05-17T12:{rng.randint(0, 59):02d}:{rng.uniform(0, 60):06.3f}Z"
        host = f"web-{rng.randint(1, 8):02d}"
        if rng.random() < 0.6:
            line = (f'{stamp} {host} nginx[{rng.randint(1000, 9999)}]: 10.0.{rng.randint(0, 255)}.'
                    f'{rng.randint(1, 254)} "GET {rng.choice(paths)}/{rng.randint(1, 99999)} '
                    f'HTTP/1.1" {rng.choice([200, 200, 304, 404, 500])} {rng.randint(200, 60000)}'
                    f' rt={rng.random() / 10:.3f}\n')
        else:
            line = (f"{stamp} {host} app[{rng.randint(1000, 9999)}]: "
                    f"{rng.choice(['INFO', 'INFO', 'WARN', 'ERROR'])} [worker-{rng.randint(1, 16)}]"
                    f" {rng.choice(services)} - processed order {rng.randint(1, 999999)} in "
                    f"{rng.randint(1, 5000)} ms\n")
        out += line.encode()
    return bytes(out[:size])


FILES = {
    "notes.txt": log_text(70000, 1),
    "noise.bin": random.Random(7).randbytes(70000),
    "empty.dat": b"",
    "block.dat": random.Random(8).randbytes(16384),
    "README": b"no dot in this name\n",
    "tiny.log": b"x",
}
# Past the limit of whole files: streamed or cut into chunks.
BIG_FILES = {
    "big.log": log_text(WHOLE_FILE_LIMIT + 300000, 2),
    "bignoise.bin": random.Random(9).randbytes(WHOLE_FILE_LIMIT + 1000),
}

LOCAL = struct.Struct("<IHHHHHIIIHH")
CENTRAL = struct.Struct("<IHHHHHHIIIHHHHHII")
END = struct.Struct("<IHHHHIIH")


def records(path):
    """The local header, central header and end record, each as its fields, and the entry's
    deflated bytes. Sizes and offsets that follow from the deflated size are masked: they are
    checked against the data instead."""
    with open(path, "rb") as archive:
        # The access time each program saw may differ by its own read.
        raw = without_access_time(archive.read())
    local = list(LOCAL.unpack_from(raw, 0))
    name_extra = raw[LOCAL.size:LOCAL.size + local[9] + local[10]]
    data_at = LOCAL.size + local[9] + local[10]
    end = list(END.unpack_from(raw, len(raw) - END.size))
    central_at = end[6]
    central = list(CENTRAL.unpack_from(raw, central_at))
    central_rest = raw[central_at + CENTRAL.size:len(raw) - END.size]
    data = raw[data_at:central_at]
    assert local[7] == central[8] == len(data), path
    local[7] = central[8] = end[6] = None
    # Internal attributes: minizip marks text only when its own stream judged the data.
    central[14] = None
    return (local, name_extra, central, central_rest, end), data


class Container(unittest.TestCase):
    def check_readers(self, path, source):
        """Every reader at hand finds the archive sound and gives the source's bytes."""
        name = os.path.basename(source)
        with open(source, "rb") as original:
            data = original.read()
        with zipfile.ZipFile(path) as archive:
            self.assertIsNone(archive.testzip(), path)
            self.assertEqual(archive.read(name), data, path)
        tools = [["unzip", "-tqq", path], ["7z", "t", "-bd", path]]
        for command in tools:
            with self.subTest(reader=command[0], archive=os.path.basename(path)):
                if shutil.which(command[0]) is None:
                    self.skipTest(f"{command[0]} is not installed")
                done = subprocess.run(command, capture_output=True, check=False)
                self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        if shutil.which("bsdtar"):
            done = subprocess.run(["bsdtar", "-xOf", path, name], capture_output=True,
                                  check=False)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertEqual(done.stdout, data, path)

    def make_sources(self, root, files):
        sources = os.path.join(root, "sources")
        os.mkdir(sources)
        for name, data in files.items():
            with open(os.path.join(sources, name), "wb") as out:
                out.write(data)
        return sources

    def test_fields_equal_the_plain_call_sequence_and_the_data_inflates(self):
        with tempfile.TemporaryDirectory(prefix="vordex-container-") as root:
            sources = self.make_sources(root, {**FILES, **BIG_FILES})
            mine, plain = os.path.join(root, "vordex"), os.path.join(root, "plain")
            os.mkdir(mine)
            os.mkdir(plain)
            for level in (-1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9):
                level_args = [f"-{level}"] if level >= 0 else []
                # Without -T big files are streamed (zlib) or chunked on one thread (ISA-L);
                # with -T2 they are chunked by both workers.
                for threads in ([], ["-T2"]):
                    with self.subTest(level=level, threads=threads):
                        self.assertEqual(
                            run(VORDEX, mine, "../sources/*", "-O", *level_args, *threads), 0)
                        subprocess.run([PLAIN, str(level), sources], cwd=plain, check=True)
                        archives = sorted(os.listdir(plain))
                        self.assertEqual(sorted(os.listdir(mine)), archives)
                        for archive in archives:
                            ours, our_data = records(os.path.join(mine, archive))
                            theirs, their_data = records(os.path.join(plain, archive))
                            self.assertEqual(ours, theirs, archive)
                            if level == 0:
                                self.assertEqual(our_data, their_data, archive)
                            source = next(os.path.join(sources, name) for name in
                                          os.listdir(sources)
                                          if name.rpartition(".")[0] + ".zip" == archive or
                                          name + ".zip" == archive)
                            self.check_readers(os.path.join(mine, archive), source)

    def test_no_larger_than_zlib_at_the_same_level_on_log_text(self):
        """The engine of each level was chosen for output no larger than zlib's at that level;
        on log text, whole and big, that holds."""
        with tempfile.TemporaryDirectory(prefix="vordex-container-") as root:
            files = {"notes.txt": FILES["notes.txt"], "big.log": BIG_FILES["big.log"]}
            sources = self.make_sources(root, files)
            mine, plain = os.path.join(root, "vordex"), os.path.join(root, "plain")
            os.mkdir(mine)
            os.mkdir(plain)
            for level in range(1, 10):
                for threads in ([], ["-T2"]):
                    with self.subTest(level=level, threads=threads):
                        self.assertEqual(
                            run(VORDEX, mine, "../sources/*", "-O", f"-{level}", *threads), 0)
                        subprocess.run([PLAIN, str(level), sources], cwd=plain, check=True)
                        for archive in ("notes.zip", "big.zip"):
                            ours = os.path.getsize(os.path.join(mine, archive))
                            theirs = os.path.getsize(os.path.join(plain, archive))
                            # Chunks cost a flush marker each; the test of -T allows 1%.
                            self.assertLessEqual(ours, theirs * 1.01, archive)


if __name__ == "__main__":
    VORDEX = os.path.abspath(sys.argv.pop(1))
    PLAIN = os.path.abspath(sys.argv.pop(1))
    unittest.main()
