"""Whole folder trees (-R): every matching file below the mask's folder packed into an archive
beside it, depth first, each folder's files before its subfolders; links to folders and other
file systems passed over; an unreadable folder a failure that the walk goes past; paths shown
relative to the starting folder; trees deeper than PATH_MAX.

    test_tree.py PATH_TO_VORDEX [unittest arguments]
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile
from pathlib import Path

import vordex_pane
from vordex_pane import PaneTest, write_file

# The tree of the tests: path -> content; folders end in "/".
TREE = {
    "a.txt": b"top level",
    "b.log": b"not matched",
    "old.txt": b"its archive exists",
    "old.zip": b"an older archive",
    "x.txt/": None,  # a folder the mask matches: walked, never packed
    "x.txt/inner.txt": b"inside a folder named like a match",
    ".hidden/": None,
    ".hidden/h.txt": b"in a hidden folder",
    "sub/": None,
    "sub/b.txt": b"one level down",
    "sub/same.txt": b"first of two namesakes",
    "sub/same.txt2": b"not matched",
    "sub/deeper/": None,
    "sub/deeper/c.txt": b"two levels down",
    "sub/deeper/same.txt": b"no namesake here: another folder",
    "target.bin": b"the target of a link",
    "zlink.txt@": "target.bin",  # a link to a file: packed
    "zdir@": "sub",  # a link to a folder: not followed
}


def build(root):
    for path, content in TREE.items():
        if path.endswith("/"):
            (root / path).mkdir()
        elif path.endswith("@"):
            os.symlink(content, root / path[:-1])
        else:
            write_file(root / path, content)


def run(folder, *args, user=None, fail=None):
    command = [vordex_pane.BINARY, *args]
    if user is not None:
        command = ["setpriv", f"--reuid={user}", "--regid=nogroup", "--clear-groups", *command]
    env = dict(os.environ)
    if fail is not None:
        # The library that makes calls misbehave (tests/e2e/failing_calls.cpp).
        env.update(LD_PRELOAD=os.environ["VORDEX_FAILING_CALLS"], VORDEX_FAIL=fail)
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
    done = subprocess.run(command, cwd=folder, stdin=subprocess.DEVNULL, capture_output=True,
                          start_new_session=True, timeout=600, check=False, env=env)
    return done.returncode, done.stdout.decode().splitlines(), done.stderr.decode().splitlines()


def entry_of(archive):
    with zipfile.ZipFile(archive) as packed:
        assert packed.testzip() is None
        (info,) = packed.infolist()
        return info.filename, packed.read(info)


class Walk(unittest.TestCase):
    def setUp(self):
        scratch = tempfile.TemporaryDirectory(prefix="vordex-tree-")
        self.addCleanup(scratch.cleanup)
        self.root = Path(scratch.name) / "tree"
        self.root.mkdir()
        build(self.root)

    def test_every_match_is_packed_beside_it_in_walk_order(self):
        # A file system that does not tell the type of a name walks the same.
        status, out, err = run(self.root, "*.txt", "-R", fail="dtype")
        self.assertEqual((status, err), (0, []))
        self.assertEqual(out[:-1], [
            "zipped a.txt -> a.zip",
            "skipped old.txt (ZIP already exists)",
            "zipped zlink.txt -> zlink.zip",
            "zipped .hidden/h.txt -> .hidden/h.zip",
            "zipped sub/b.txt -> sub/b.zip",
            "zipped sub/same.txt -> sub/same.zip",
            "zipped sub/deeper/c.txt -> sub/deeper/c.zip",
            "zipped sub/deeper/same.txt -> sub/deeper/same.zip",
            "zipped x.txt/inner.txt -> x.txt/inner.zip",
        ])
        for archive, source in [("a.zip", "a.txt"), ("zlink.zip", "zlink.txt"),
                                (".hidden/h.zip", ".hidden/h.txt"), ("sub/b.zip", "sub/b.txt"),
                                ("sub/deeper/c.zip", "sub/deeper/c.txt"),
                                ("x.txt/inner.zip", "x.txt/inner.txt")]:
            name, data = entry_of(self.root / archive)
            self.assertEqual(name, os.path.basename(source))  # the bare name, as always
            self.assertEqual(data, (self.root / source).read_bytes())
        self.assertEqual((self.root / "old.zip").read_bytes(), TREE["old.zip"])
        self.assertFalse((self.root / "sub" / "deeper" / "deeper").exists())
        self.assertEqual(sorted(p.name for p in (self.root / "sub").iterdir()),
                         ["b.txt", "b.zip", "deeper", "same.txt", "same.txt2", "same.zip"])

    def test_delete_removes_every_packed_source_and_nothing_else(self):
        before = {path.relative_to(self.root) for path in self.root.rglob("*")}
        status, out, _ = run(self.root, "*.txt", "-R", "-D", "-T3")
        self.assertEqual(status, 0)
        deleted = {Path(line[len("deleted "):]) for line in out if line.startswith("deleted ")}
        self.assertEqual(deleted, {Path(p) for p in ("a.txt", "zlink.txt", ".hidden/h.txt",
                                                     "sub/b.txt", "sub/same.txt",
                                                     "sub/deeper/c.txt", "sub/deeper/same.txt",
                                                     "x.txt/inner.txt")})
        after = {path.relative_to(self.root) for path in self.root.rglob("*")}
        self.assertEqual(before - after, deleted)
        self.assertEqual((self.root / "target.bin").read_bytes(), TREE["target.bin"])
        self.assertTrue((self.root / "zdir").is_symlink())

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"), "needs root and setpriv")
    def test_an_unreadable_folder_fails_and_the_walk_goes_on(self):
        (self.root / "sub" / "locked").mkdir()
        write_file(self.root / "sub" / "locked" / "s.txt", b"secret")
        for path in [self.root.parent, *self.root.rglob("*")]:
            if not path.is_symlink():
                os.chmod(path, 0o777 if path.is_dir() else 0o666)
        os.chmod(self.root, 0o777)
        os.chmod(self.root / "sub" / "locked", 0o700)
        for threads in ([], ["-T3"]):
            with self.subTest(threads=threads):
                status, out, err = run(self.root, "*.txt", "-R", "-O", *threads, user="nobody")
                self.assertEqual(status, 2)
                failure = "failed sub/locked/: Error reading folder: Permission denied"
                self.assertIn(failure, out)
                self.assertEqual(err, ["vordex: " + failure[len("failed "):]])
                # Its place in the walk: after its folder's files and the subfolders before it.
                self.assertEqual(out.index(failure), out.index(
                    "zipped sub/deeper/same.txt -> sub/deeper/same.zip") + 1)
                self.assertTrue((self.root / "x.txt" / "inner.zip").exists())

    def test_a_folder_swapped_for_a_link_after_the_listing_is_not_followed(self):
        # The top folder's big file keeps the walk busy while sub is swapped for a link.
        write_file(self.root / "aa-big.txt", vordex_pane.acgt(24 << 20, 5))
        outside = self.root.parent / "outside"
        outside.mkdir()
        write_file(outside / "planted.txt", b"never packed")
        process = subprocess.Popen([vordex_pane.BINARY, "*.txt", "-R", "-9"], cwd=self.root,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL, start_new_session=True)
        deadline = time.monotonic() + 60
        while not any(p.name.startswith(".aa-big.zip.") for p in self.root.iterdir()):
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.005)
        os.rename(self.root / "sub", self.root / "sub-moved")
        os.symlink(outside, self.root / "sub")
        out = process.communicate(timeout=300)[0].decode().splitlines()
        self.assertEqual(process.returncode, 0)
        # Whether the walk had reached sub before the swap or not, nothing of the link's target
        # is packed: the folder is read through the descriptor it was listed with, or not at all.
        self.assertFalse(any("planted" in line for line in out), out)
        self.assertFalse((outside / "planted.zip").exists())
        self.assertEqual(os.listdir(outside), ["planted.txt"])

    @unittest.skipUnless(os.geteuid() == 0, "needs root to mount")
    def test_another_file_system_below_the_start_is_not_entered(self):
        mount = self.root / "sub" / "mnt"
        mount.mkdir()
        if subprocess.run(["mount", "-t", "tmpfs", "tmpfs", str(mount)],
                          capture_output=True, check=False).returncode != 0:
            self.skipTest("tmpfs cannot be mounted here")
        self.addCleanup(subprocess.run, ["umount", str(mount)], check=False)
        write_file(mount / "m.txt", b"on another file system")
        status, out, err = run(self.root, "*.txt", "-R")
        self.assertEqual((status, err), (0, []))
        self.assertIn("zipped sub/b.txt -> sub/b.zip", out)
        self.assertFalse(any("mnt" in line for line in out), out)
        self.assertEqual(os.listdir(mount), ["m.txt"])

    def test_a_tree_deeper_than_path_max(self):
        deep = self.root / "deep"
        deep.mkdir()
        levels = 2100  # "d/" each: more than PATH_MAX (4096) bytes of path
        descriptor = os.open(deep, os.O_RDONLY | os.O_DIRECTORY)
        try:
            for level in range(levels):
                os.mkdir("d", dir_fd=descriptor)
                inner = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=descriptor)
                os.close(descriptor)
                descriptor = inner
            with os.fdopen(os.open("bottom.txt", os.O_WRONLY | os.O_CREAT, 0o644,
                                   dir_fd=descriptor), "wb") as bottom:
                bottom.write(b"at the bottom")
            status, out, err = run(deep, "*.txt", "-R", "-D")
            self.assertEqual((status, err), (0, []))
            self.assertEqual(out[0], "zipped " + "d/" * levels + "bottom.txt -> " + "d/" * levels +
                             "bottom.zip")
            with os.fdopen(os.open("bottom.zip", os.O_RDONLY, dir_fd=descriptor), "rb") as packed:
                with zipfile.ZipFile(packed) as archive:
                    self.assertEqual(archive.read("bottom.txt"), b"at the bottom")
            with self.assertRaises(FileNotFoundError):
                os.stat("bottom.txt", dir_fd=descriptor)
        finally:
            os.close(descriptor)
            subprocess.run(["rm", "-rf", str(deep)], check=False)


class Screens(PaneTest):
    def setUp(self):
        super().setUp()
        build(self.work)
        (self.work / "sub" / "deeper" / ("a-very-long-name-" * 5 + ".txt")).write_bytes(b"long")
        for name in ("old.txt", "old.zip"):  # no skip: no viewer over the status lines
            (self.work / name).unlink()

    def test_the_panel_and_the_lines_show_paths_from_the_starting_folder(self):
        self.start("*.txt", "-R")
        self.assertEqual(self.wait_for_end(), 0)
        screen = self.wait_for_prompt()
        # The option on the panel's empty row, lined up with DELETE above it.
        self.assertEqual(screen.text(11)[:35], " │ OVER: NO        DELETE: NO     │")
        self.assertEqual(screen.text(12)[:35], " │                RECURSE: YES    │")
        # Names cut at 67 columns as ever; the status line ends at column 79.
        long_line = next(row for row in range(19, 26)
                         if screen.text(row).startswith("√ ZIPPED :  sub/deeper/a-very"))
        self.assertEqual(len(screen.text(long_line).rstrip()), 79)

        self.start("*.txt", "-R", "-O", prefix=("env", "TERM=dumb"))
        self.assertEqual(self.wait_for_end(), 0)
        lines = [line.rstrip() for line in self.wait_for_prompt().all_text().splitlines()]
        self.assertIn("√ ZIPPED :  x.txt/inner.txt", lines)
        self.assertIn("√ ZIPPED :  sub/deeper/c.txt", lines)


if __name__ == "__main__":
    vordex_pane.main()
