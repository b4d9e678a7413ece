"""The Debian package as a user receives it: built from this source tree with CPack, read back
with dpkg-deb, judged by lintian when it is at hand, and, when run as root, installed with
apt-get, run once and removed again.

    test_package.py [--cmake PATH] [--cpack PATH] [unittest arguments]

Everything it builds stays in one scratch folder that is deleted at the end; the install test
leaves the machine as it found it and stays away from a Vordex that was installed before.
"""

import argparse
import gzip
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CMAKE = "cmake"
CPACK = "cpack"
LINTIAN_SECONDS = 60

# Every path a user needs, with the mode lintian expects.
EXPECTED_FILES = {
    "./usr/bin/vordex": "-rwxr-xr-x",
    "./usr/share/man/man1/vordex.1.gz": "-rw-r--r--",
    "./usr/share/bash-completion/completions/vordex": "-rw-r--r--",
    "./usr/share/doc/vordex/copyright": "-rw-r--r--",
    "./usr/share/doc/vordex/changelog.Debian.gz": "-rw-r--r--",
}

# Prints what the completion offers for each command line given, one reply per block.
COMPLETION_SCRIPT = r"""
source "$1" || exit 1
cd "$2" || exit 1
function=$(complete -p vordex | sed -n 's/.* -F \([^ ]*\) .*/\1/p')
[ -n "$function" ] || { echo 'no completion function registered for vordex' >&2; exit 1; }
shift 2
for line in "$@"; do
  eval "COMP_WORDS=($line)"
  COMP_CWORD=$(( ${#COMP_WORDS[@]} - 1 ))
  COMP_LINE="${COMP_WORDS[*]}"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  "$function" vordex "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
  printf '%s\n' "${COMPREPLY[@]}" ---
done
"""


def run(command, **kwargs):
    """Runs a command, failing with its whole output when it fails."""
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            stdin=subprocess.DEVNULL, text=True, **kwargs)
    if result.returncode != 0:
        raise AssertionError(f"{command} exited with {result.returncode}:\n{result.stdout}")
    return result.stdout


def complete(script, folder, *lines):
    """The completion's replies, as sets, for each command line (bash words, already quoted)."""
    output = run(["bash", "--norc", "--noprofile", "-c", COMPLETION_SCRIPT, "complete", script,
                  folder, *lines])
    blocks = output.split("---\n")
    return [set(block.splitlines()) for block in blocks[:-1]]


def has_symbol_table(path):
    """Whether an ELF64 little-endian file still carries .symtab, that is, was not stripped."""
    with open(path, "rb") as elf:
        data = elf.read()
    section_offset, = struct.unpack_from("<Q", data, 0x28)
    entry_size, count = struct.unpack_from("<HH", data, 0x3A)
    symtab = 2
    return any(struct.unpack_from("<I", data, section_offset + i * entry_size + 4)[0] == symtab
               for i in range(count))


def known(package):
    """Whether dpkg has any record of the package, even a half-installed one."""
    return subprocess.run(["dpkg-query", "-W", package], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0


def installed(package):
    result = subprocess.run(["dpkg-query", "-W", "-f=${Status}", package],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    return result.returncode == 0 and "installed" in result.stdout.split()


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="vordex-package-")
        cls.addClassCleanup(shutil.rmtree, cls.scratch, ignore_errors=True)
        # apt-get reads a local package as its own unprivileged user.
        os.chmod(cls.scratch, 0o755)
        build = os.path.join(cls.scratch, "build")
        tools_env = dict(os.environ, TMPDIR=cls.scratch)
        run([CMAKE, "-S", SOURCE, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
             "-DBUILD_TESTING=OFF", "-DVORDEX_DPKG_BUILDFLAGS=ON"], env=tools_env)
        run([CMAKE, "--build", build], env=tools_env)
        run([CPACK, "-G", "DEB"], cwd=build, env=tools_env)
        debs = [name for name in os.listdir(build)
                if name.startswith("vordex_") and name.endswith(".deb")]
        if len(debs) != 1:
            raise AssertionError(f"expected one vordex_*.deb in {build}, found {debs}")
        cls.deb_name = debs[0]
        cls.deb = os.path.join(build, cls.deb_name)
        cls.tree = os.path.join(cls.scratch, "tree")
        run(["dpkg-deb", "-x", cls.deb, cls.tree])

    def control(self):
        fields = {}
        for field in ("Package", "Version", "Depends", "Maintainer", "Section", "Priority",
                      "Description"):
            fields[field] = run(["dpkg-deb", "-f", self.deb, field]).strip()
        return fields

    def test_control_fields(self):
        fields = self.control()
        depends = {alternative.split()[0] for clause in fields["Depends"].split(",")
                   for alternative in clause.split("|")}
        self.assertLessEqual({"libminizip1", "zlib1g", "libc6", "libstdc++6"}, depends)
        names = [clause.split()[0] for clause in fields["Depends"].split(",")]
        self.assertEqual(len(names), len(set(names)), fields["Depends"])
        self.assertEqual(fields["Section"], "utils")
        self.assertEqual(fields["Priority"], "optional")
        self.assertRegex(fields["Maintainer"], r"^\S.* <[^@<>\s]+@[^@<>\s]+>$")
        summary, _, extended = fields["Description"].partition("\n")
        self.assertTrue(summary)
        self.assertIn("ZIP archive of its own", extended)
        self.assertIn(f"Version: {fields['Version']}", run(["dpkg-deb", "-I", self.deb]))

    def test_contents(self):
        listing = {}
        for line in run(["dpkg-deb", "-c", self.deb]).splitlines():
            mode, owner, _size, _date, _time, path = line.split(None, 5)
            listing[path] = (mode, owner)
        for path, mode in EXPECTED_FILES.items():
            self.assertEqual(listing.get(path), (mode, "root/root"), path)
        for path, (mode, owner) in listing.items():
            if path.endswith("/"):
                self.assertEqual((mode, owner), ("drwxr-xr-x", "root/root"), path)

        self.assertFalse(has_symbol_table(os.path.join(self.tree, "usr/bin/vordex")),
                         "the packaged binary is not stripped")
        with open(os.path.join(SOURCE, "doc/vordex.1"), "rb") as page:
            source_page = page.read()
        with gzip.open(os.path.join(self.tree, "usr/share/man/man1/vordex.1.gz")) as page:
            self.assertEqual(page.read(), source_page)
        # dpkg and lintian both read the version off the changelog's first line.
        with gzip.open(os.path.join(self.tree, "usr/share/doc/vordex/changelog.Debian.gz"),
                       "rt") as changelog:
            first = changelog.readline()
        self.assertTrue(first.startswith(f"vordex ({self.control()['Version']}) "), first)
        with open(os.path.join(self.tree, "usr/share/doc/vordex/copyright")) as copyright_file:
            self.assertIn("MIT", copyright_file.read())

    def test_completion(self):
        folder = os.path.join(self.scratch, "names")
        os.makedirs(os.path.join(folder, "folder"))
        for name in ("report one.txt", "report two.log", "-notes.txt"):
            open(os.path.join(folder, name), "w").close()
        script = os.path.join(self.tree, "usr/share/bash-completion/completions/vordex")
        mask, mask_dash, option, later_name, level, output, files = complete(
            script, folder, "vordex rep", "vordex -", "vordex '*.log' -",
            "vordex '*.log' -9 fo", "vordex '*.log' --level=", "vordex '*.log' --output-dir fo",
            "vordex --files0-from=rep")
        self.assertEqual(mask, {"report one.txt", "report two.log"})
        long_options = {"--overwrite", "--delete", "--level=", "--fast", "--best", "--threads",
                        "--threads=", "--recursive", "--files-from=", "--files0-from=",
                        "--output-dir=", "--exclude=", "--older-than=", "--dry-run", "--quiet",
                        "--json", "--help", "--version"}
        self.assertEqual(mask_dash, {"-notes.txt", "-h"} | long_options)
        options = {"-O", "-D", "-0", "-1", "-2", "-3", "-4", "-5", "-6", "-7", "-8", "-9",
                   "-T", "-R", "-n", "-q"}
        self.assertEqual(option, options | long_options)
        # A name after the mask is refused by the program; completion offers none.
        self.assertEqual(later_name, set())
        self.assertEqual(level, {f"--level={digit}" for digit in range(10)})
        self.assertEqual(output, {"folder"})
        self.assertEqual(files, {"--files0-from=report one.txt", "--files0-from=report two.log"})

    def test_lintian(self):
        if shutil.which("lintian") is None:
            self.skipTest("lintian is not installed")
        try:
            result = subprocess.run(["lintian", "--display-info", self.deb],
                                    stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                    text=True, timeout=LINTIAN_SECONDS,
                                    env=dict(os.environ, TMPDIR=self.scratch))
        except subprocess.TimeoutExpired:
            self.skipTest(f"lintian took longer than {LINTIAN_SECONDS} s")
        errors = [line for line in result.stdout.splitlines() if line.startswith("E:")]
        self.assertEqual(errors, [], result.stdout)
        # The one warning a package that is not for Debian's archive cannot help.
        warnings = [line.split()[2] for line in result.stdout.splitlines()
                    if line.startswith("W:")]
        self.assertEqual(warnings, ["initial-upload-closes-no-bugs"], result.stdout)
        # Built with dpkg-buildflags: fortified and bound now.
        hardening = [line for line in result.stdout.splitlines() if "hardening-" in line]
        self.assertEqual(hardening, [], result.stdout)
        # Anything else that is not a clean exit is lintian failing to read the package.
        self.assertEqual(result.returncode, 0, result.stdout)

    def test_the_man_page_passes_mandoc_lint(self):
        if shutil.which("mandoc") is None:
            self.skipTest("mandoc is not installed")
        result = subprocess.run(["mandoc", "-T", "lint", "-W", "warning",
                                 os.path.join(SOURCE, "doc/vordex.1")],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.assertEqual(result.stdout, "")
        self.assertEqual(result.returncode, 0)

    def test_install_run_remove(self):
        if os.geteuid() != 0:
            self.skipTest("installing needs root")
        if shutil.which("apt-get") is None:
            self.skipTest("apt-get is missing")
        if installed("vordex"):
            self.skipTest("a vordex package is already installed; leaving it alone")
        apt_env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        try:
            run(["apt-get", "install", "-y", f"./{self.deb_name}"],
                cwd=os.path.dirname(self.deb), env=apt_env)
            # No terminal at all, as under cron: not even a controlling one.
            result = subprocess.run(["/usr/bin/vordex"], stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    start_new_session=True, timeout=60)
            self.assertEqual(result.returncode, 0, result.stderr)
            option, = complete("/usr/share/bash-completion/completions/vordex", self.scratch,
                               "vordex '*.log' -")
            self.assertLessEqual({"-O", "-D"}, option)
        finally:
            if known("vordex"):
                run(["apt-get", "remove", "-y", "vordex"], env=apt_env)
        self.assertFalse(installed("vordex"))
        self.assertFalse(os.path.exists("/usr/bin/vordex"))


if __name__ == "__main__":
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--cmake", default=CMAKE)
    parser.add_argument("--cpack", default=CPACK)
    tools, rest = parser.parse_known_args()
    CMAKE, CPACK = tools.cmake, tools.cpack
    unittest.main(argv=[sys.argv[0], *rest])
