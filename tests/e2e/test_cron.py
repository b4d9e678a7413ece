"""The program as cron jobs and scripts drive it: a command line that is refused whole when any
part of it is not understood, a report that survives a full disk, a closed pipe and SIGTERM,
reports that a program reads back one way (plain and JSON), and the selections: lists from
find, an output folder, exclusions, an age, a dry run. Every archive made is read by unzip -t
and Python's zipfile.

    test_cron.py PATH_TO_VORDEX [unittest arguments]
"""

import fcntl
import hashlib
import json
import os
import pty
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import time
import unittest
import zipfile
from pathlib import Path

BINARY = None


def run(folder, *args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, timeout=120):
    """Runs the program with no terminal; returns (exit code, stdout bytes, stderr lines)."""
    done = subprocess.run([BINARY, *args], cwd=folder, stdin=stdin, stdout=stdout,
                          stderr=subprocess.PIPE, start_new_session=True, timeout=timeout,
                          check=False)
    return done.returncode, done.stdout or b"", done.stderr.decode().splitlines()


def snapshot(folder):
    """Every entry below folder: its type, mode, size, modification time and content."""
    state = {}
    for path in sorted(Path(folder).rglob("*")):
        status = path.lstat()
        content = hashlib.sha256(path.read_bytes()).hexdigest() if path.is_file() else None
        state[os.fsencode(path.relative_to(folder))] = (status.st_mode, status.st_size,
                                                         status.st_mtime_ns, content)
    return state


def check_archive(test, archive, entry, data):
    """One entry of that name and data, as a strict reader and zipfile read it."""
    done = subprocess.run(["unzip", "-tqq", os.fsencode(archive)], capture_output=True,
                          check=False)
    test.assertEqual(done.returncode, 0, (archive, done.stdout, done.stderr))
    with zipfile.ZipFile(archive) as opened:
        infos = opened.infolist()
        test.assertEqual(len(infos), 1, archive)
        encoding = "utf-8" if infos[0].flag_bits & 0x800 else "cp437"
        test.assertEqual(infos[0].filename.encode(encoding), entry)
        test.assertEqual(opened.read(infos[0]), data)


def unescape(text):
    """A name of the report back to its bytes: C escapes, \\xNN, and \\" inside quotes."""
    out = bytearray()
    raw = text.encode()
    i = 0
    simple = {ord("n"): 10, ord("t"): 9, ord("r"): 13, ord("a"): 7, ord("b"): 8, ord("f"): 12,
              ord("v"): 11, ord("\\"): 92, ord('"'): 34}
    while i < len(raw):
        if raw[i] == 92:
            if raw[i + 1] == ord("x"):
                out.append(int(raw[i + 2:i + 4], 16))
                i += 4
            else:
                out.append(simple[raw[i + 1]])
                i += 2
        else:
            out.append(raw[i])
            i += 1
    return bytes(out)


NAME = r'(?:"(?:[^"\\]|\\.)*"|(?!")(?:(?! -> |: ).)*?)'
LINE = re.compile(rf"(zipped|would zip) (?P<name>{NAME}) -> (?P<archive>{NAME})"
                  rf"|(deleted|would delete) (?P<gone>{NAME})"
                  rf"|(failed|would fail) (?P<failed>{NAME}): (?P<why>.*)"
                  rf"|(skipped|would skip) (?P<skipped>{NAME}) \((?P<reason>[^()]*)\)")


def field(text):
    return unescape(text[1:-1] if text.startswith('"') else text)


def parse_report(lines):
    """Each line of the plain report as (verb, name bytes, other); the summary is left out."""
    parsed = []
    for line in lines:
        if line.startswith("summary: ") or line.startswith("no file matches "):
            continue
        match = LINE.fullmatch(line)
        assert match is not None, line
        if match.group("name") is not None:
            parsed.append(("zipped", field(match.group("name")), field(match.group("archive"))))
        elif match.group("gone") is not None:
            parsed.append(("deleted", field(match.group("gone")), None))
        elif match.group("failed") is not None:
            parsed.append(("failed", field(match.group("failed")), match.group("why")))
        else:
            parsed.append(("skipped", field(match.group("skipped")), match.group("reason")))
    return parsed


HOSTILE = [b"a -> b.log", b"time: 10.log", b" lead.log", b"trail.log ", b'"q".log',
           b"new\nline.log", b"tab\there.log", b"back\\x41.log", b"caf\xc3\xa9.log",
           b"latin\xe9.log", b"plain.log"]


class Scratch(unittest.TestCase):
    def setUp(self):
        scratch = tempfile.TemporaryDirectory(prefix="vordex-cron-")
        self.addCleanup(scratch.cleanup)
        self.folder = Path(scratch.name)

    def write(self, name, data, folder=None):
        path = Path(os.fsdecode(os.path.join(os.fsencode(folder or self.folder),
                                             os.fsencode(name))))
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        return path


class CommandLine(Scratch):
    def test_what_is_not_understood_is_refused_and_nothing_is_touched(self):
        for name in ("app.log", "old.tmp", "-x"):
            self.write(name, b"data\n" * 100)
        before = snapshot(self.folder)
        for args, named in ((("*.log", "-dry-run"), "-dry-run"),
                            (("*.log", "-delete-not"), "-delete-not"),
                            (("*", "-D", "--force"), "--force"),
                            (("*", "-D", "-x", "*.tmp"), "-x"),
                            (("*", "-DO"), "-DO"),
                            (("*", "-D", "--threads=two"), "--threads=two"),
                            (("--delete",), "no file mask given")):
            with self.subTest(args=args):
                status, out, err = run(self.folder, *args)
                self.assertEqual(status, 3)
                self.assertEqual(out, b"")
                self.assertEqual(len(err), 1, err)
                self.assertIn(named, err[0])
                self.assertIn("vordex --help", err[0])
                self.assertEqual(snapshot(self.folder), before)

    def test_a_mask_after_double_dash_may_begin_with_a_dash(self):
        data = b"a file named like an option\n"
        self.write("-notes.log", data)
        status, out, err = run(self.folder, "--delete", "--", "-notes.log")
        self.assertEqual((status, err), (0, []))
        self.assertEqual(out.decode().splitlines()[:2],
                         ["zipped -notes.log -> -notes.zip", "deleted -notes.log"])
        check_archive(self, self.folder / "-notes.zip", b"-notes.log", data)
        self.assertFalse((self.folder / "-notes.log").exists())


class LostReport(Scratch):
    """300 files with -D: the report's reader goes away or its disk is full; the packing goes
    on to the end, standard error says so once, the exit code is 2."""

    def setUp(self):
        super().setUp()
        self.data = {f"f{i:03}.log".encode(): f"line {i}\n".encode() * (i + 1) for i in range(300)}
        for name, data in self.data.items():
            self.write(name, data)

    def check_all_packed(self):
        for name, data in self.data.items():
            self.assertFalse((self.folder / os.fsdecode(name)).exists())
            check_archive(self, self.folder / os.fsdecode(name[:-4] + b".zip"), name, data)

    def test_a_full_disk(self):
        with open("/dev/full", "wb") as full:
            status, _, err = run(self.folder, "*.log", "-D", stdout=full)
        self.assertEqual(status, 2)
        self.assertEqual(err, ["vordex: standard output: No space left on device; "
                               "the rest of the report is lost"])
        self.check_all_packed()

    def test_usage_and_version_that_cannot_be_written_fail(self):
        for args in (("--help",), ("--version",)):
            with self.subTest(args=args), open("/dev/full", "wb") as full:
                status, _, err = run(self.folder, *args, stdout=full)
                self.assertEqual(status, 2)
                self.assertEqual(err, ["vordex: standard output: No space left on device"])

    def test_a_reader_that_reads_one_line(self):
        process = subprocess.Popen([BINARY, "*.log", "-D"], cwd=self.folder,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, start_new_session=True)
        first = process.stdout.readline()
        process.stdout.close()  # as head -1 does
        err = process.stderr.read().decode().splitlines()
        self.assertEqual(process.wait(timeout=120), 2)
        self.assertEqual(first, b"zipped f000.log -> f000.zip\n")
        self.assertEqual(err, ["vordex: standard output: Broken pipe; "
                               "the rest of the report is lost"])
        self.check_all_packed()


class Signals(Scratch):
    def test_sigterm_leaves_every_decided_line_in_the_report(self):
        payload = os.urandom(1 << 13) * 8
        for i in range(1500):
            self.write(f"f{i:04}.log", payload)
        with tempfile.TemporaryFile() as report:
            process = subprocess.Popen([BINARY, "*.log", "-D", "-9"], cwd=self.folder,
                                       stdin=subprocess.DEVNULL, stdout=report,
                                       stderr=subprocess.DEVNULL, start_new_session=True)
            # Some files in, far from the end.
            deadline = time.monotonic() + 60
            while len(list(self.folder.glob("*.zip"))) < 100 and time.monotonic() < deadline:
                time.sleep(0.01)
            process.send_signal(signal.SIGTERM)
            self.assertEqual(process.wait(timeout=60), -signal.SIGTERM)
            report.seek(0)
            lines = report.read().decode().splitlines()
        told = parse_report(lines)
        deleted = {name for verb, name, _ in told if verb == "deleted"}
        zipped = {name for verb, name, _ in told if verb == "zipped"}
        gone = {f"f{i:04}.log".encode() for i in range(1500)
                if not (self.folder / f"f{i:04}.log").exists()}
        self.assertGreater(len(deleted), 50)
        self.assertLess(len(gone), 1500)
        # Every line is true, and every file that is gone is told but the one in hand when the
        # signal came (deleted, not yet reported).
        self.assertLessEqual(deleted, gone)
        self.assertLessEqual(deleted, zipped)
        self.assertLessEqual(len(gone - deleted), 1)
        for name in deleted:
            check_archive(self, self.folder / os.fsdecode(name[:-4] + b".zip"), name, payload)


class Reports(Scratch):
    def test_the_plain_report_reads_back_one_way_for_hostile_names(self):
        for name in HOSTILE:
            self.write(name, name * 10)
        status, out, err = run(self.folder, "*", "-D")
        self.assertEqual((status, err), (0, []))
        told = parse_report(out.decode().splitlines())
        self.assertEqual(sorted(name for verb, name, _ in told if verb == "zipped"),
                         sorted(HOSTILE))
        for verb, name, archive in told:
            if verb == "zipped":
                self.assertEqual(archive, name[:name.rindex(b".")] + b".zip")
                check_archive(self, self.folder / os.fsdecode(archive), name, name * 10)
        self.assertEqual(sorted(name for verb, name, _ in told if verb == "deleted"),
                         sorted(HOSTILE))
        self.assertIn('zipped "a -> b.log" -> "a -> b.zip"', out.decode().splitlines())

    def test_json_lines_for_hostile_names(self):
        for name in HOSTILE:
            self.write(name, name * 10)
        self.write("old.log", b"its archive exists")
        self.write("old.zip", b"an older archive")
        status, out, err = run(self.folder, "*", "--json")
        self.assertEqual((status, err), (0, []))
        objects = [json.loads(line) for line in out.decode().splitlines()]
        summary = objects.pop()["summary"]
        self.assertEqual((summary["files"], summary["zipped"], summary["skipped"]),
                         (len(HOSTILE) + 2, len(HOSTILE), 2))
        self.assertEqual(summary["dry_run"], False)
        by_name = {entry["file"]: entry for entry in objects}
        for name in HOSTILE:
            try:
                shown = name.decode("utf-8")
            except UnicodeDecodeError:  # bytes beyond UTF-8 as the plain report writes them
                shown = name.decode("latin-1").replace("\xe9", "\\xe9")
            entry = by_name[shown]
            self.assertEqual((entry["outcome"], entry["deleted"], entry["reason"]),
                             ("zipped", False, None))
            self.assertEqual(entry["bytes_in"], len(name) * 10)
            archive = self.folder / os.fsdecode(name[:name.rindex(b".")] + b".zip")
            self.assertEqual(entry["bytes_out"], archive.stat().st_size)
            check_archive(self, archive, name, name * 10)
        self.assertEqual(by_name["old.log"]["outcome"], "skipped")
        self.assertEqual(by_name["old.log"]["reason"], "ZIP already exists")
        self.assertIsNone(by_name["old.log"]["archive"])


class OnATerminal(Scratch):
    def run_on_terminal(self, *args):
        """Runs the program with a terminal of its own as its standard streams; returns its exit
        code and every byte it sent there."""
        controller, terminal = pty.openpty()

        def take_terminal():  # its controlling terminal, and the foreground there
            os.setsid()
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)

        process = subprocess.Popen([BINARY, *args], cwd=self.folder, stdin=terminal,
                                   stdout=terminal, stderr=terminal, preexec_fn=take_terminal,
                                   env=dict(os.environ, TERM="xterm-256color", LANG="C.UTF-8"))
        os.close(terminal)
        sent = b""
        while True:
            try:
                chunk = os.read(controller, 4096)
            except OSError:  # the terminal's last user has gone
                break
            if not chunk:
                break
            sent += chunk
        os.close(controller)
        return process.wait(timeout=60), sent

    def test_a_dry_run_and_json_show_plain_lines_instead_of_the_panel(self):
        self.write("a.log", b"some text\n")
        status, sent = self.run_on_terminal("*.log", "-D", "--dry-run")
        self.assertEqual(status, 0)
        self.assertNotIn(b"\x1b", sent)
        self.assertEqual(sent.splitlines()[0], b"would zip a.log -> a.zip")
        self.assertTrue((self.folder / "a.log").exists())
        self.assertFalse((self.folder / "a.zip").exists())

        status, sent = self.run_on_terminal("*.log", "--json")
        self.assertEqual(status, 0)
        self.assertNotIn(b"\x1b", sent)
        first = json.loads(sent.splitlines()[0])
        self.assertEqual((first["file"], first["outcome"]), ("a.log", "zipped"))
        check_archive(self, self.folder / "a.zip", b"a.log", b"some text\n")


class Selections(Scratch):
    def tree(self):
        """logs/ with old and new files at three depths, names find and shells find hard."""
        files = {}
        for name in ("logs/a.log", "logs/b.tmp", "logs/sub/c.log", "logs/sub/deep/d.log",
                     "logs/sub/new\nline.log", "logs/new.log", "logs/keep/e.log"):
            data = name.encode() * 50
            path = self.write(name, data)
            if "new" not in name:
                subprocess.run(["touch", "-d", "8 days ago", path], check=True)
            files[name] = data
        return files

    def test_files0_from_find_with_an_output_folder(self):
        files = self.tree()
        find = subprocess.run(["find", "logs", "-name", "*.log", "-mtime", "+7", "-print0"],
                              cwd=self.folder, capture_output=True, check=True)
        status, out, err = self.run_with_input(find.stdout, "--files0-from=-",
                                               "--output-dir=archive/app", "-D")
        self.assertEqual((status, err), (0, []))
        lines = out.decode().splitlines()
        self.assertIn("zipped logs/sub/deep/d.log -> archive/app/d.zip", lines)
        for name in ("logs/a.log", "logs/sub/c.log", "logs/sub/deep/d.log", "logs/keep/e.log"):
            base = os.path.basename(name)
            check_archive(self, self.folder / "archive/app" / (base[:-4] + ".zip"),
                          base.encode(), files[name])
            self.assertFalse((self.folder / name).exists())
        # Too young for find: still there, and not packed.
        self.assertTrue((self.folder / "logs/new.log").exists())
        self.assertTrue((self.folder / "logs/sub/new\nline.log").exists())
        self.assertEqual(len(list((self.folder / "archive/app").iterdir())), 4)

    def run_with_input(self, data, *args):
        done = subprocess.run([BINARY, *args], cwd=self.folder, input=data, capture_output=True,
                              start_new_session=True, timeout=120, check=False)
        return done.returncode, done.stdout, done.stderr.decode().splitlines()

    def test_a_listed_name_that_is_missing_fails_and_a_folder_is_passed_over(self):
        self.write("there.txt", b"here\n")
        status, out, err = self.run_with_input(b"there.txt\nmissing.txt\n.\n\n",
                                               "--files-from=-")
        self.assertEqual(status, 2)
        self.assertEqual(out.decode().splitlines()[:2], [
            "zipped there.txt -> there.zip",
            "failed missing.txt: Error adding file to ZIP: No such file or directory"])
        self.assertEqual(err, ["vordex: missing.txt: Error adding file to ZIP: No such file or "
                               "directory"])
        check_archive(self, self.folder / "there.zip", b"there.txt", b"here\n")

    def test_a_mask_with_output_dir_exclude_and_age_flat_and_mirrored(self):
        files = self.tree()
        status, out, err = run(self.folder, "logs/*", "--output-dir=flat", "--exclude=*.tmp",
                               "--older-than=7d")
        self.assertEqual((status, err), (0, []))
        self.assertEqual(out.decode().splitlines()[:-1], ["zipped a.log -> flat/a.zip"])
        check_archive(self, self.folder / "flat/a.zip", b"a.log", files["logs/a.log"])

        status, out, err = run(self.folder, "logs/*.log", "-R", "--output-dir=tree",
                               "--exclude=keep/*", "--older-than=7d")
        self.assertEqual((status, err), (0, []))
        self.assertEqual(out.decode().splitlines()[:-1], [
            "zipped a.log -> tree/a.zip",
            "zipped sub/c.log -> tree/sub/c.zip",
            "zipped sub/deep/d.log -> tree/sub/deep/d.zip"])
        for name in ("a.log", "sub/c.log", "sub/deep/d.log"):
            check_archive(self, self.folder / "tree" / (name[:-4] + ".zip"),
                          os.path.basename(name).encode(), files["logs/" + name])
        self.assertFalse((self.folder / "tree/keep").exists())
        # Sources untouched without -D.
        self.assertEqual(len(list((self.folder / "logs").rglob("*.log"))), 6)

    def test_a_dry_run_touches_nothing_and_tells_what_the_run_does(self):
        self.tree()
        self.write("logs/a.txt", b"a namesake of a.log")
        self.write("logs/old.log", b"its archive exists")
        self.write("logs/old.zip", b"an older archive")
        readonly = self.write("logs/ro.log", b"read-only")
        readonly.chmod(0o444)
        self.write("logs/.x.zip.AbCd1234", b"a leftover temporary file")
        args = ("logs/*", "-R", "-D", "--exclude=*.tmp")
        before = snapshot(self.folder)
        dry_status, dry_out, dry_err = run(self.folder, *args, "--dry-run")
        self.assertEqual(snapshot(self.folder), before)
        status, out, err = run(self.folder, *args)
        self.assertNotEqual(snapshot(self.folder), before)
        made = [path for path in self.folder.rglob("*.zip") if path.name != "old.zip"]
        self.assertEqual(len(made), 7)
        for archive in made:
            done = subprocess.run(["unzip", "-tqq", archive], capture_output=True, check=False)
            self.assertEqual(done.returncode, 0, archive)
            with zipfile.ZipFile(archive) as opened:
                self.assertIsNone(opened.testzip())
        self.assertEqual((dry_status, dry_err), (status, err))
        done = out.decode().splitlines()
        would = dry_out.decode().splitlines()
        self.assertTrue(all(line.startswith(("would ", "summary: ")) for line in would), would)
        verbs = {"would zip": "zipped", "would delete": "deleted", "would skip": "skipped",
                 "would keep": "kept", "would remove": "removed", "would fail": "failed"}
        said = [re.sub(r"^(would \w+)", lambda m: verbs[m.group(1)], line) for line in would]
        self.assertEqual(said[:-1], done[:-1])
        self.assertIn("would skip a.txt (its archive name is one this run made)", would)
        self.assertIn("would keep ro.log (not deleted: the file is read-only)", would)
        self.assertTrue(would[-1].startswith("summary: "), would[-1])
        self.assertIn(" would be zipped, ", would[-1])


if __name__ == "__main__":
    BINARY = os.path.abspath(sys.argv.pop(1))
    unittest.main()
