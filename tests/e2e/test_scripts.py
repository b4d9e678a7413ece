"""The program as scripts and cron see it: no terminal, standard output and standard error
captured. The plain report, failures with their system reasons, the summary, exit codes,
names that hold newlines or bytes that are not UTF-8, --help and --version, and a mask folder
that cannot be read.

    test_scripts.py PATH_TO_VORDEX [unittest arguments]
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

BINARY = None
SUMMARY = re.compile(r"summary: (\d+) files, (\d+) zipped, (\d+) skipped, (\d+) failed, "
                     r"(\d+) deleted, (\d+) bytes in, (\d+) bytes out, \d+\.\d\d s(; .*)?")


def run(folder, *args, user=None, fsize=None):
    """Runs the program with no terminal; returns (exit code, stdout lines, stderr lines)."""
    command = [BINARY, *args]
    if fsize is not None:
        command = ["prlimit", f"--fsize={fsize}", "--", *command]
    if user is not None:
        command = ["setpriv", f"--reuid={user}", "--regid=nogroup", "--clear-groups", *command]
    done = subprocess.run(command, cwd=folder, stdin=subprocess.DEVNULL, capture_output=True,
                          start_new_session=True, timeout=120, check=False)
    return (done.returncode, done.stdout.decode("ascii").splitlines(),
            done.stderr.decode("ascii").splitlines())


def can_switch_user():
    return os.geteuid() == 0 and shutil.which("setpriv") is not None


class Report(unittest.TestCase):
    def setUp(self):
        scratch = tempfile.TemporaryDirectory(prefix="vordex-scripts-")
        self.addCleanup(scratch.cleanup)
        self.folder = Path(scratch.name)
        os.chmod(self.folder, 0o777)  # for runs as an unprivileged user

    def write(self, name, data):
        path = self.folder / os.fsdecode(name)
        path.write_bytes(data)
        os.chmod(path, 0o666)

    def test_a_cron_run_reports_every_file_and_every_failure_with_its_reason(self):
        self.write("good.txt", b"packed\n" * 500)
        self.write("old.txt", b"its archive exists")
        self.write("old.zip", b"an older archive")
        self.write(b"new\nline.txt", b"a name with a newline")
        self.write(b"caf\xe9\\.txt", b"a name in Latin-1 with a backslash")
        self.write("big.log", os.urandom(200000))
        os.symlink("/proc/self/mem", self.folder / "mem.txt")  # reading it fails for real
        status, out, err = run(self.folder, "*", "-D", "-0", fsize=100000)
        self.assertEqual(status, 2)
        self.assertEqual(out[:-1], [
            "failed big.log: Error writing to file: File too large",
            "zipped caf\\xe9\\\\.txt -> caf\\xe9\\\\.zip",
            "deleted caf\\xe9\\\\.txt",
            "zipped good.txt -> good.zip",
            "deleted good.txt",
            "failed mem.txt: Error reading file: Input/output error",
            "zipped new\\nline.txt -> new\\nline.zip",
            "deleted new\\nline.txt",
            "skipped old.txt (ZIP already exists)",
            "skipped old.zip (a ZIP archive itself)",
        ])
        summary = SUMMARY.fullmatch(out[-1])
        self.assertIsNotNone(summary, out[-1])
        self.assertEqual(summary.groups()[:5], ("7", "3", "2", "2", "3"))
        self.assertEqual(err, ["vordex: big.log: Error writing to file: File too large",
                               "vordex: mem.txt: Error reading file: Input/output error"])
        self.assertTrue((self.folder / "big.log").exists())

    @unittest.skipUnless(can_switch_user(), "needs root and setpriv")
    def test_an_unreadable_file_and_an_unreadable_mask_folder_fail_with_the_reason(self):
        self.write("secret.txt", b"not for nobody")
        os.chmod(self.folder / "secret.txt", 0o600)
        status, out, err = run(self.folder, "*.txt", user="nobody")
        self.assertEqual(status, 2)
        self.assertEqual(out[0], "failed secret.txt: Error adding file to ZIP: Permission denied")
        self.assertEqual(err, ["vordex: secret.txt: Error adding file to ZIP: Permission denied"])

        (self.folder / "locked").mkdir(mode=0o700)
        status, out, err = run(self.folder, "locked/*", user="nobody")
        self.assertEqual(status, 2)
        self.assertEqual(out[0], "failed locked/: Error reading folder: Permission denied")
        self.assertEqual(SUMMARY.fullmatch(out[1]).group(4), "1")
        self.assertEqual(err, ["vordex: locked/: Error reading folder: Permission denied"])

    def test_a_mask_that_matches_nothing_says_so(self):
        for mask in ("*.none", "missing/*.log"):
            with self.subTest(mask=mask):
                status, out, err = run(self.folder, mask)
                self.assertEqual(status, 0)
                self.assertEqual(len(out), 2)
                self.assertEqual(out[0], f"no file matches {mask}")
                self.assertIsNotNone(SUMMARY.fullmatch(out[1]), out[1])
                self.assertEqual(err, [f"vordex: no file matches {mask}"])


class Conventions(unittest.TestCase):
    def run_plain(self, *args):
        done = subprocess.run([BINARY, *args], stdin=subprocess.DEVNULL, capture_output=True,
                              start_new_session=True, timeout=30, check=False)
        return done.returncode, done.stdout.decode(), done.stderr.decode()

    def test_help_and_usage_go_to_standard_output(self):
        expected = None
        for args in ((), ("--help",), ("-h",), ("-?",)):
            with self.subTest(args=args):
                status, out, err = self.run_plain(*args)
                self.assertEqual((status, err), (0, ""))
                self.assertIn("Usage: VORDEX [file mask] [options]\n", out)
                self.assertNotIn("\x1b", out)
                expected = expected or out
                self.assertEqual(out, expected)

    def test_version_names_the_libraries(self):
        status, out, err = self.run_plain("--version")
        self.assertEqual((status, err), (0, ""))
        self.assertRegex(out, r"\Avordex 1\.1\nbuilt with zlib \d+\.\d+[.\d]* and minizip \S+\n\Z")
        # minizip's own version, as its Debian package has it (pkg-config has zlib's).
        package = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "libminizip-dev"],
                                 capture_output=True, text=True, check=False)
        if package.returncode == 0:
            upstream = re.match(r"(?:\d+:)?([\d.]+)", package.stdout).group(1)
            self.assertTrue(out.endswith(f" and minizip {upstream}\n"), out)


    def test_the_exit_codes_read_the_same_in_the_readme_and_the_man_page(self):
        root = Path(__file__).resolve().parents[2]
        readme = dict(re.findall(r"^\| (\d) \| (.+) \|$", (root / "README.md").read_text(),
                                 re.MULTILINE))
        page = (root / "doc" / "vordex.1").read_text()
        section = page[page.index(".SH EXIT STATUS"):page.index(".SH EXAMPLES")]
        manual = dict(re.findall(r"^\.TP\n\.B (\d)\n(.+)$", section, re.MULTILINE))
        self.assertEqual(sorted(readme), ["0", "1", "2", "3"])
        self.assertEqual(readme, manual)


if __name__ == "__main__":
    BINARY = os.path.abspath(sys.argv.pop(1))
    unittest.main()
