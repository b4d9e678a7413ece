"""No data lost whatever happens around a run: links at the archive name, a second run in the
same folder, sources that change or move while they are read, interrupted and failing runs, a
command line the shell expanded, and signals. Every fault is made for real: a second process, a
writer, kill -9, resource limits, and a preloaded library that fails system calls.

After each run the same invariant is checked: every byte of every source (each file that
existed before the run, archives aside) is still in a file or in a complete archive entry (CRC checked), no archive at a final name
fails its test, and no temporary file is left behind by a run that ended by itself.

    test_data_safety.py PATH_TO_VORDEX PATH_TO_FAILING_CALLS_LIBRARY [unittest arguments]
"""

import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zipfile
from pathlib import Path

from archive_run import run, unzip_test
from vordex_pane import acgt

BINARY = None
FAILING_CALLS = None
TEMP_NAME = re.compile(r"\..*\.zip\.[A-Za-z0-9]{8}")


def text(size, seed=0):
    line = f"{seed:04} the quick brown fox jumps over the lazy dog; pack my box with five dozen\n"
    data = line.encode() * (size // len(line) + 1)
    return data[:size]


def temp_files(folder):
    return sorted(name for name in os.listdir(folder) if TEMP_NAME.fullmatch(name))


class Folder(unittest.TestCase):
    def setUp(self):
        scratch = tempfile.TemporaryDirectory(prefix="vordex-safety-")
        self.addCleanup(scratch.cleanup)
        self.folder = Path(scratch.name)
        self.processes = []
        self.addCleanup(self.end_processes)

    def end_processes(self):
        for process in self.processes:
            if process.poll() is None:
                process.kill()
                process.wait()
            if process.stderr is not None:
                process.stderr.close()

    def write(self, name, data):
        (self.folder / name).write_bytes(data)

    def older_archive(self, name):
        """An archive of an earlier version of name, the only kind -O replaces."""
        self.write(name, b"an earlier version of " + name.encode())
        self.assertEqual(run(BINARY, self.folder, name, "-O"), 0)

    def start(self, *args, env=None):
        """The program with no terminal, left running."""
        process = subprocess.Popen([BINARY, *args], cwd=self.folder, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                   start_new_session=True, env=env)
        self.processes.append(process)
        return process

    def wait_for_temp(self, process, timeout=60):
        """Waits until the program is writing a temporary archive: it is mid-file."""
        deadline = time.monotonic() + timeout
        while not temp_files(self.folder):
            self.assertIsNone(process.poll(), "the run ended before it was caught mid-file")
            self.assertLess(time.monotonic(), deadline, "no temporary archive appeared")
            time.sleep(0.005)

    def snapshot(self):
        """Every regular file's bytes (links followed), by name."""
        files = {}
        for path in self.folder.iterdir():
            if path.is_file():
                files[path.name] = path.read_bytes()
        return files

    def assert_nothing_lost(self, before, stale_temp_allowed=False):
        after = self.snapshot()
        found = list(after.values())
        for name, data in after.items():
            if not name.endswith(".zip") or before.get(name) == data:
                continue  # an archive the run did not write is the test's own data
            path = self.folder / name
            with zipfile.ZipFile(path) as archive:
                self.assertIsNone(archive.testzip(), f"{name} has a bad entry")
                found.extend(archive.read(info) for info in archive.infolist())
            self.assertIn(unzip_test(path), (True, None), f"unzip -t fails on {name}")
        for name, data in before.items():
            if name.lower().endswith(".zip"):
                continue  # never a source; -O replaces it by design
            self.assertTrue(any(data in haystack for haystack in found),
                            f"the bytes of {name} are nowhere after the run")
        if not stale_temp_allowed:
            self.assertEqual(temp_files(self.folder), [])


class LinksAtTheArchiveName(Folder):
    def test_a_hard_link_or_symlink_between_source_and_archive_name_is_refused(self):
        self.write("data.txt", text(300000))
        os.link(self.folder / "data.txt", self.folder / "data.zip")
        before = self.snapshot()
        self.assertEqual(run(BINARY, self.folder, "data.txt", "-O", "-D"), 2)
        self.assert_nothing_lost(before)
        self.assertEqual((self.folder / "data.txt").read_bytes(), before["data.txt"])

        os.unlink(self.folder / "data.txt")
        os.symlink("data.zip", self.folder / "data.txt")
        before = self.snapshot()
        self.assertEqual(run(BINARY, self.folder, "data.txt", "-O", "-D"), 2)
        self.assert_nothing_lost(before)
        self.assertEqual((self.folder / "data.zip").read_bytes(), before["data.zip"])

    def test_archive_names_linked_to_other_files_lose_nothing(self):
        self.write("a.txt", text(50000, 1))
        self.write("b.txt", text(70000, 2))
        os.link(self.folder / "b.txt", self.folder / "a.zip")
        self.older_archive("p.txt")
        self.write("p.txt", text(30000, 3))
        self.write("q.txt", text(40000, 4))
        os.link(self.folder / "p.zip", self.folder / "q.zip")
        older_p = (self.folder / "p.zip").read_bytes()
        before = self.snapshot()
        self.assertEqual(run(BINARY, self.folder, "*.txt", "-O", "-D"), 0)
        self.assert_nothing_lost(before)
        # a.zip is b.txt's data, q.zip an archive of p.txt: neither is replaced by -O.
        self.assertEqual((self.folder / "a.zip").read_bytes(), before["b.txt"])
        self.assertEqual((self.folder / "q.zip").read_bytes(), older_p)
        self.assertEqual((self.folder / "a.txt").read_bytes(), before["a.txt"])
        self.assertEqual((self.folder / "q.txt").read_bytes(), before["q.txt"])
        for name in ("b", "p"):
            self.assertFalse((self.folder / f"{name}.txt").exists())
            with zipfile.ZipFile(self.folder / f"{name}.zip") as archive:
                self.assertEqual(archive.read(f"{name}.txt"), before[f"{name}.txt"])


class TwoRuns(Folder):
    def test_a_second_run_on_the_same_file_and_a_signal_to_the_first(self):
        data = acgt(24 << 20, 7)  # seconds at -9, a blink at -0
        for ending_first in (False, True):
            with self.subTest(sigterm_to_the_first=ending_first):
                self.write("big.log", data)
                if (self.folder / "big.zip").exists():
                    os.unlink(self.folder / "big.zip")
                before = self.snapshot()
                first = self.start("big.log", "-9")
                self.wait_for_temp(first)
                # The first run has the file open: a run that would delete it leaves it alone.
                in_use = self.start("big.log", "-0", "-D")
                self.assertEqual(in_use.wait(timeout=120), 0)
                self.assertFalse((self.folder / "big.zip").exists())
                second = self.start("big.log", "-O", "-0")
                self.assertEqual(second.wait(timeout=120), 0)
                if ending_first:
                    first.send_signal(signal.SIGTERM)
                    self.assertEqual(first.wait(timeout=60), -signal.SIGTERM)
                else:
                    self.assertEqual(first.wait(timeout=300), 0)  # found the archive made
                self.assertEqual((self.folder / "big.log").read_bytes(), data)
                self.assert_nothing_lost(before)


class SourcesThatChange(Folder):
    def append_while_packed(self, *args):
        """Runs the program while another process appends a line every millisecond; returns
        its exit code once the writer has stopped."""
        self.write("app.log", acgt(32 << 20, 1))
        process = self.start("app.log", *args)
        self.wait_for_temp(process)
        stop = threading.Event()

        def append():
            with open(self.folder / "app.log", "ab") as log:
                number = 0
                while not stop.is_set():
                    log.write(f"appended line {number}\n".encode())
                    log.flush()
                    number += 1
                    time.sleep(0.001)

        writer = threading.Thread(target=append)
        writer.start()
        try:
            return process.wait(timeout=300)
        finally:
            stop.set()
            writer.join()

    def test_a_log_appended_to_while_read_is_kept_and_its_archive_is_whole(self):
        before = {"app.log": acgt(32 << 20, 1)}
        self.assertEqual(self.append_while_packed("-1"), 2)
        self.assert_nothing_lost(before)
        with zipfile.ZipFile(self.folder / "app.zip") as archive:
            packed = archive.read("app.log")
        self.assertTrue((self.folder / "app.log").read_bytes().startswith(packed))

        # With -D the writer's open breaks the lease: the file is in use, nothing is committed.
        os.unlink(self.folder / "app.zip")
        self.assertEqual(self.append_while_packed("-1", "-D"), 0)
        self.assert_nothing_lost(before)
        self.assertFalse((self.folder / "app.zip").exists())
        self.assertTrue((self.folder / "app.log").read_bytes().startswith(before["app.log"]))

    def test_a_log_rotated_while_read_keeps_both_files(self):
        self.write("app.log", acgt(16 << 20, 2))
        before = self.snapshot()
        process = self.start("app.log", "-9", "-D")
        self.wait_for_temp(process)
        os.rename(self.folder / "app.log", self.folder / "app.log.1")
        self.write("app.log", b"the new log, never packed\n")
        self.assertEqual(process.wait(timeout=300), 2)
        self.assert_nothing_lost(before)
        self.assertEqual((self.folder / "app.log").read_bytes(), b"the new log, never packed\n")
        self.assertEqual((self.folder / "app.log.1").read_bytes(), before["app.log"])


class Interrupted(Folder):
    def test_kill_9_mid_file_leaves_no_archive_and_a_rerun_packs_the_file(self):
        self.write("big.bin", acgt(16 << 20, 3))
        before = self.snapshot()
        process = self.start("big.bin", "-9")
        self.wait_for_temp(process)
        process.kill()
        process.wait()
        self.assertFalse((self.folder / "big.zip").exists())
        self.assertEqual(len(temp_files(self.folder)), 1, "the killed run's unfinished archive")
        self.assert_nothing_lost(before, stale_temp_allowed=True)
        self.assertEqual(run(BINARY, self.folder, "big.bin", "-1"), 0)
        with zipfile.ZipFile(self.folder / "big.zip") as archive:
            self.assertEqual(archive.read("big.bin"), before["big.bin"])

    def test_every_terminating_signal_removes_the_temporary_archive_only(self):
        self.older_archive("big.bin")
        self.write("big.bin", acgt(16 << 20, 4))
        before = self.snapshot()
        # SIGPIPE is not among them: a reader that went away is a failed write to report, and
        # the run goes on (test_cron.py).
        for number in (signal.SIGALRM, signal.SIGUSR1, signal.SIGUSR2, signal.SIGVTALRM,
                       signal.SIGPROF, signal.SIGSYS, signal.SIGTRAP, signal.SIGXCPU,
                       signal.SIGHUP, signal.SIGQUIT, signal.SIGRTMIN + 3):
            with self.subTest(signal=number):
                process = self.start("big.bin", "-9", "-O", "-D")
                self.wait_for_temp(process)
                process.send_signal(number)
                self.assertEqual(process.wait(timeout=60), -number)
                self.assertEqual(self.snapshot(), before)
                self.assertEqual(temp_files(self.folder), [])

    def test_a_cpu_time_limit_ends_the_run_cleanly(self):
        self.write("big.bin", acgt(32 << 20, 5))
        before = self.snapshot()
        done = subprocess.run(["prlimit", "--cpu=1:10", "--", BINARY, "big.bin", "-9", "-D"],
                              cwd=self.folder, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              start_new_session=True, timeout=120, check=False)
        self.assertEqual(done.returncode, -signal.SIGXCPU)
        self.assertEqual(self.snapshot(), before)
        self.assertEqual(temp_files(self.folder), [])


class FailingCalls(Folder):
    def run_failing(self, call, *args):
        env = dict(os.environ, VORDEX_FAIL=call, LD_PRELOAD=FAILING_CALLS)
        # An instrumented program insists on its runtime coming first; the order is harmless here.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
        process = self.start(*args, env=env)
        return process.wait(timeout=120)

    def test_a_failing_fsync_or_rename_keeps_the_source_and_the_older_archive(self):
        self.older_archive("a.txt")
        self.write("a.txt", text(100000))
        self.write("b.txt", text(5000))
        before = self.snapshot()
        self.assertEqual(self.run_failing("fsync", "a.txt", "-O", "-D"), 2)
        self.assertEqual(self.snapshot(), before)
        self.assertEqual(self.run_failing("rename", "a.txt", "-O", "-D"), 2)
        self.assertEqual(self.run_failing("rename", "b.txt", "-D"), 2)
        self.assertEqual(self.snapshot(), before)
        self.assertEqual(temp_files(self.folder), [])


class ShellExpandedMask(Folder):
    def test_names_after_the_mask_that_exist_refuse_the_run(self):
        for name in ("#1.txt", "-Data.csv", "a.txt"):
            self.write(name, text(1000))
        before = self.snapshot()
        # What `vordex *` becomes in this folder.
        process = self.start("#1.txt", "-Data.csv", "a.txt")
        self.assertEqual(process.wait(timeout=30), 3)
        message = process.stderr.read().decode()
        self.assertEqual(message.count("\n"), 1, message)
        self.assertIn("'-Data.csv'", message)
        self.assertIn("vordex '*.txt'", message)
        self.assertEqual(self.snapshot(), before)
        self.assertEqual(sorted(os.listdir(self.folder)), sorted(before))
        # Quoted, the mask works; options that name nothing keep their meaning, and a parameter
        # that is neither an option nor a file is ignored.
        self.assertEqual(run(BINARY, self.folder, "*.txt", "-D", "/O"), 0)
        self.assertFalse((self.folder / "a.txt").exists())
        self.assertTrue((self.folder / "-Data.csv").exists())


if __name__ == "__main__":
    # Whatever started the tests may ignore some signals; the program must meet their defaults.
    for number in (signal.SIGHUP, signal.SIGQUIT, signal.SIGINT, signal.SIGPIPE):
        signal.signal(number, signal.SIG_DFL)
    BINARY = os.path.abspath(sys.argv.pop(1))
    FAILING_CALLS = os.path.abspath(sys.argv.pop(1))
    unittest.main()
