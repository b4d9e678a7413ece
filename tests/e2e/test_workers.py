"""Packing with several workers (-T): the same outcome as one thread, only sooner. The same folder
packed with -T1 and with more workers than cores: identical archives below the chunking size,
sound archives above it, the same report, the same final screen and exit code; signals and ESC
with several files in hand; and the terminal written at most once a frame.

    test_workers.py PATH_TO_VORDEX [unittest arguments]
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile
from pathlib import Path

import vordex_pane
from archive_run import unzip_test, without_access_time
from vordex_pane import PaneTest, acgt, files_shown, prose, write_file

CHUNKED = 4 << 20


def run(folder, *args, env=None):
    done = subprocess.run([vordex_pane.BINARY, *args], cwd=folder, stdin=subprocess.DEVNULL,
                          capture_output=True, start_new_session=True, timeout=300, env=env,
                          check=False)
    return done.returncode, done.stdout.decode().splitlines(), done.stderr.decode().splitlines()


def make_sources(folder):
    """Small files of every kind, namesakes, a skip, a failure and files big enough to be cut
    into chunks."""
    folder.mkdir(exist_ok=True)
    for number in range(40):
        write_file(folder / f"doc{number:02}.txt", prose(700 * number + 1, number))
    write_file(folder / "empty.dat", b"")
    write_file(folder / "same.txt", b"one of two namesakes")
    write_file(folder / "same.log", b"the other namesake")
    write_file(folder / "old.zip", b"an archive already")
    write_file(folder / "blocked.txt", b"its archive name is a folder")
    (folder / "blocked.zip").mkdir()
    write_file(folder / "big.dna", acgt(CHUNKED + 300000, 1))
    write_file(folder / "huge.bin", os.urandom(CHUNKED + (1 << 20)))


def archives(folder):
    return {path.name: path.read_bytes() for path in folder.glob("*.zip") if path.is_file()}


class SameOutcome(unittest.TestCase):
    def setUp(self):
        scratch = tempfile.TemporaryDirectory(prefix="vordex-workers-")
        self.addCleanup(scratch.cleanup)
        self.root = Path(scratch.name)

    def test_more_workers_than_cores_change_nothing_but_the_time(self):
        results = {}
        make_sources(self.root / "sources")
        for workers in ("-T1", "-T4", "-T"):
            folder = self.root / workers
            shutil.copytree(self.root / "sources", folder)  # the same times, so the same dates
            sources = {path.name: path.read_bytes() for path in folder.iterdir() if path.is_file()}
            status, out, err = run(folder, "*", "-D", "-1", workers)
            results[workers] = (status, out[:-1], err, archives(folder))
            # Sound archives, sources gone only where their archive is.
            for name, data in sources.items():
                archive = folder / (name.rsplit(".", 1)[0] + ".zip")
                if (folder / name).exists():
                    continue
                with zipfile.ZipFile(archive) as packed:
                    self.assertIsNone(packed.testzip())
                    self.assertEqual(packed.read(name), data, name)
                # A strict reader too: a lenient one lets an unfinished last chunk through.
                self.assertIn(unzip_test(archive), (True, None), archive)
            self.assertEqual([path.name for path in folder.iterdir() if path.name[0] == "."], [])
        one = results["-T1"]
        self.assertEqual(one[0], 2)
        self.assertIn("skipped same.txt (its archive name is one this run made)", one[1])
        for workers in ("-T4", "-T"):
            status, out, err, packed = results[workers]
            self.assertEqual((status, out, err), one[:3], workers)
            self.assertEqual(sorted(packed), sorted(one[3]))
            for name, data in packed.items():
                if name in ("big.zip", "huge.zip"):
                    # Cut into chunks: sound, not the same bytes, and hardly any larger.
                    self.assertLessEqual(len(data), 1.01 * len(one[3][name]), name)
                    continue
                self.assertEqual(without_access_time(data), without_access_time(one[3][name]),
                                 f"{name} with {workers}")


class InHand(PaneTest):
    """Several files in hand at a time: a signal or ESC must leave no temporary file, lose no
    source, and give the terminal back."""

    def make_slow_files(self, count=12):
        self.sources = {}
        for number in range(count):
            name = f"seq{number:02}.dna"
            data = acgt(3 << 20, number)
            write_file(self.work / name, data)
            self.sources[name] = data

    def check_nothing_lost(self):
        self.assertEqual([path.name for path in self.work.iterdir() if path.name[0] == "."], [])
        for name, data in self.sources.items():
            source = self.work / name
            if source.exists():
                self.assertEqual(source.read_bytes(), data)
                continue
            with zipfile.ZipFile(self.work / (name[:-4] + ".zip")) as packed:
                self.assertEqual(packed.read(name), data)

    def test_sigterm_with_several_files_in_hand(self):
        self.make_slow_files()
        self.start("*.dna", "-9", "-D", "-T4")
        self.term.wait_until(lambda: files_shown(self.term.screen()) >= 3, 120, "FILES to reach 3")
        os.kill(self.pid(), signal.SIGTERM)
        self.assertEqual(self.wait_for_end(), 128 + signal.SIGTERM)
        self.assert_terminal_as_before(self.wait_for_prompt())
        self.check_nothing_lost()

    def test_escape_finishes_the_files_in_hand_and_hands_out_no_more(self):
        self.make_slow_files()
        self.start("*.dna", "-9", "-D", "-T3")
        self.term.wait_until(lambda: files_shown(self.term.screen()) >= 2, 120, "FILES to reach 2")
        self.term.send_keys("Escape")
        self.assertEqual(self.wait_for_end(timeout=300), 0)
        screen = self.wait_for_prompt()
        self.assertIsNotNone(screen.find("Operations aborted"))
        self.assert_terminal_as_before(screen)
        self.check_nothing_lost()
        packed = sorted(path.name for path in self.work.glob("*.zip"))
        self.assertLess(len(packed), len(self.sources), "ESC stopped nothing")
        # Everything handed out was finished; nothing after it was begun.
        self.assertEqual(packed, [f"seq{number:02}.zip" for number in range(len(packed))])


class Frames(PaneTest):
    def test_ten_thousand_files_reach_the_terminal_in_few_writes(self):
        for number in range(10000):
            write_file(self.work / f"f{number:05}.txt", b"%05d small file\n" % number)
        shutil.copy(vordex_pane.FAILING_CALLS, self.root / "counting.so")
        count = self.root / "writes.txt"
        started = time.monotonic()
        self.start("*", "-1", prefix=("env", f"LD_PRELOAD={self.root / 'counting.so'}",
                                      f"VORDEX_COUNT_WRITES={count}",
                                      "ASAN_OPTIONS=verify_asan_link_order=0"))
        self.assertEqual(self.wait_for_end(timeout=600), 0)
        seconds = time.monotonic() - started
        screen = self.wait_for_prompt()
        self.assertEqual(files_shown(screen), 10000)
        self.assertIsNotNone(screen.find("ZIPPED :  f09999.txt"))
        writes = int(count.read_text())
        # About 30 frames a second, whatever the machine's speed.
        self.assertLess(writes, 40 * seconds + 20)
        if seconds < 5:
            self.assertLess(writes, 200)


if __name__ == "__main__":
    vordex_pane.FAILING_CALLS = os.path.abspath(sys.argv.pop(2))
    vordex_pane.main()
