#!/usr/bin/env python3
"""Vordex's speed, memory and system calls against other tools timed in the same invocation.

Every figure is the best of N runs (default 5) shown with its median and its range, and every
ratio is taken between runs of this invocation, whose tools run in interleaved rounds so that a
burst of load from elsewhere on a shared machine hits all of them alike. Never part of the test
suite: the numbers depend on the machine.

    bench/run                       every default group, 5 runs each
    bench/run --quick               2 runs and smaller corpora: a smoke run
    bench/run --only small,pane     selected groups (--list names them)
    bench/run --baseline 69c75e2    adds the current build against that revision's
    bench/run --rev HEAD            times a committed revision instead of the work tree
    bench/run --keep                leaves the corpora, archives and builds in place

Adding a group: write `def group_NAME(bench)` that builds its cases with `Case`, times them
with `compare` (or `best_of` for one command) and adds rows to `bench.table`, then decorate it
with `@group("NAME", "what it measures")`.
"""

from __future__ import annotations

import argparse
import itertools
import os
import platform
import random
import shlex
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Optional, Sequence, Union

REPO = Path(__file__).resolve().parent.parent

# (count, size in bytes) of each corpus; half of the files are text-like, half random bytes,
# except "big", one text-like file, and "tree", laid out in folders of TREE_FILES_PER_FOLDER.
CORPORA_FULL = {"small": (10_000, 1024), "large": (20, 8 << 20), "delete": (2_000, 1024),
                "big": (1, 256 << 20), "tree": (100_000, 1024), "k64": (2_000, 64 << 10)}
CORPORA_QUICK = {"small": (1_000, 1024), "large": (4, 4 << 20), "delete": (200, 1024),
                 "big": (1, 32 << 20), "tree": (10_000, 1024), "k64": (200, 64 << 10)}
TREE_FILES_PER_FOLDER = 100
TREE_TOP_FOLDERS = 10

# Goals the team holds these figures to, checked against the best column; never asserted.
TARGET_PLAIN_SMALL = ("<=", 1.10)
TARGET_PLAIN_LARGE = ("<=", 1.02)
TARGET_GZIP_SMALL = ("<=", 2.0)
TARGET_ZIP_SMALL = (">=", 20.0)
TARGET_MEMORY_KIB = ("<", 8192)
TARGET_PANE = ("<", 1.3)
TARGET_BASELINE = ("<=", 1.05)
TARGET_SPEEDUP_SMALL = (">=", 1.7)
TARGET_SPEEDUP_BIG = (">=", 1.8)
TARGET_SPEEDUP_MIXED = (">=", 1.8)
TARGET_T2_XARGS_GZIP = ("<=", 1.0)
TARGET_T2_PIGZ = ("<=", 1.0)
TARGET_T1_PLAIN = ("<=", 1.0)
TARGET_PANE_THREADS = ("<=", 1.05)
# Workers hold a few chunks each and a file below 4 MiB with room for its output; the walk holds
# one folder's names at a time.
TARGET_MEMORY_THREADS_KIB = ("<", 32768)
# The faster deflate, against the revision before it (--engines-baseline).
ENGINES_BASELINE = "cf371d2"
TARGET_K64_SPEEDUP = (">=", 1.6)
TARGET_SMALL_SPEEDUP = (">=", 1.25)
TARGET_SYSCALLS_PER_FILE = ("<=", 9.0)
TARGET_BIG_L1_SPEEDUP = (">=", 3.0)
TARGET_BIG_L6_SPEEDUP = (">=", 1.0)
TARGET_SIZE_RATIO = ("<=", 1.0)
TARGET_TREE = ("<=", 1.10)
# Reading the archive back before -D deletes its source costs at most a tenth.
TARGET_VERIFY = ("<=", 1.10)
# The last revision whose -D deleted without reading the archive back.
VERIFY_BASELINE = "3b4e445"

RUN_TIMEOUT = 1800  # seconds; a hung run must end the benchmark, not hold it forever


class BenchError(Exception):
    """Ends the benchmark with a clear message: a failed tool makes every figure meaningless."""


def progress(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------------------------
# Timing


Command = Union[Sequence[str], Callable[[], float]]


@dataclass
class Case:
    """One thing to time: an argv run in `cwd`, or a callable that times itself and returns
    seconds (for runs whose clock lives elsewhere, such as inside a tmux pane). `prepare` runs
    before each timed run and `check` after it; neither is timed."""

    command: Command
    cwd: Optional[Path] = None
    prepare: Optional[Callable[[], None]] = None
    check: Optional[Callable[[], None]] = None
    label: str = ""
    # Vordex decides whether to draw from what its output is; the reference command line sends
    # everything to /dev/null, so only the other tools keep their stderr for error messages.
    keep_stderr: bool = True


_stderr_log: Optional[Path] = None


def run_in_session(argv: Sequence, timeout: float, **kwargs) -> int:
    """Runs argv in a session of its own, as `setsid -w` would: no controlling terminal, which
    is what makes Vordex run headless. Being a process group of its own, it can be ended whole
    (a vordex under strace or time, the zips of a shell loop, the compilers under ninja) when
    the benchmark is interrupted or gives up.

    The wait blocks: Popen.wait(timeout=...) polls in sleeps of up to 50 ms, which would round
    short runs up to the next poll, so a timer thread ends a run that hangs instead."""
    process = subprocess.Popen([str(part) for part in argv], start_new_session=True, **kwargs)
    expired = threading.Event()

    def end_group() -> None:
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass

    def on_timeout() -> None:
        expired.set()
        end_group()

    timer = threading.Timer(timeout, on_timeout)
    timer.daemon = True
    timer.start()
    try:
        returncode = process.wait()
    except BaseException:
        end_group()
        process.wait()
        raise
    finally:
        timer.cancel()
    if expired.is_set():
        raise subprocess.TimeoutExpired(process.args, timeout)
    return returncode


def time_once(case: Case) -> float:
    if case.prepare:
        case.prepare()
    if callable(case.command):
        seconds = case.command()
    else:
        argv = [str(part) for part in case.command]
        log = open(_stderr_log, "wb") if (case.keep_stderr and _stderr_log) else None
        try:
            start = time.perf_counter()
            try:
                returncode = run_in_session(argv, RUN_TIMEOUT, cwd=case.cwd,
                                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                            stderr=log or subprocess.DEVNULL)
            except subprocess.TimeoutExpired:
                raise BenchError(f"{case.label or argv[0]} ran past {RUN_TIMEOUT} s: "
                                 f"{shlex.join(argv)} (in {case.cwd})") from None
            seconds = time.perf_counter() - start
        finally:
            if log:
                log.close()
        if returncode != 0:
            detail = ""
            if log and _stderr_log and _stderr_log.exists():
                tail = _stderr_log.read_text(errors="replace").strip().splitlines()[-5:]
                detail = "".join(f"\n    {line}" for line in tail)
            raise BenchError(f"{case.label or argv[0]} exited with {returncode}: "
                             f"{shlex.join(argv)} (in {case.cwd}){detail}")
    if case.check:
        case.check()
    return seconds


def best_of(command: Union[Command, Case], prepare: Optional[Callable[[], None]] = None,
            runs: Optional[int] = None, cwd: Optional[Path] = None,
            check: Optional[Callable[[], None]] = None) -> list[float]:
    """Every time of `runs` runs of one command, in run order (the caller takes the best)."""
    case = command if isinstance(command, Case) else Case(command, cwd, prepare, check)
    return [time_once(case) for _ in range(runs or RUNS)]


def compare(cases: dict[str, Case], runs: Optional[int] = None) -> dict[str, list[float]]:
    """The times of several cases run in rounds, each round starting one case further on, so
    that a slow stretch of the machine and any first-run or last-run effect are shared out.
    Index i of each list belongs to round i: ratios can be paired run by run."""
    names = list(cases)
    times: dict[str, list[float]] = {name: [] for name in names}
    for round_ in range(runs or RUNS):
        shift = round_ % len(names)
        for name in names[shift:] + names[:shift]:
            times[name].append(time_once(cases[name]))
    return times


RUNS = 5  # set from the command line in main()


# ---------------------------------------------------------------------------------------------
# The table


def fmt_seconds(value: float) -> str:
    return f"{value:.3f}" if value < 100 else f"{value:.1f}"


def fmt_ratio(value: float) -> str:
    return f"{value:.2f}x" if value < 10 else f"{value:.1f}x"


def fmt_int(value: float) -> str:
    return f"{value:,.0f}"


def fmt_one(value: float) -> str:
    return f"{value:.1f}"


def fmt_percent(value: float) -> str:
    return f"{value * 100:.1f}%"


@dataclass
class Row:
    group: str
    label: str
    n: str
    best: str
    median: str
    span: str
    spread: str
    target: str = ""
    spread_value: float = 0.0


@dataclass
class Table:
    rows: list[Row] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)

    @staticmethod
    def _target(target, value: float, fmt) -> str:
        if target is None:
            return ""
        op, limit = target
        met = {"<=": value <= limit, "<": value < limit, ">=": value >= limit,
               ">": value > limit}[op]
        return f"{op} {fmt(limit)} {'ok' if met else 'NOT MET'}"

    def samples(self, group: str, label: str, values: Sequence[float], fmt=fmt_seconds,
                target=None) -> None:
        """Lower is better: the best is the least."""
        low, high = min(values), max(values)
        spread = f"{(high - low) / low * 100:.1f}%" if low > 0 else "-"
        self.rows.append(Row(group, label, str(len(values)), fmt(low),
                             fmt(statistics.median(values)), f"{fmt(low)}-{fmt(high)}", spread,
                             self._target(target, low, fmt),
                             (high - low) / low if low > 0 else 0.0))

    def ratio(self, group: str, label: str, numerator: Sequence[float],
              denominator: Sequence[float], target=None) -> None:
        """best = ratio of the bests, median = ratio of the medians, range and spread over the
        ratios of runs made in the same round."""
        paired = [a / b for a, b in zip(numerator, denominator)]
        best = min(numerator) / min(denominator)
        median = statistics.median(numerator) / statistics.median(denominator)
        low, high = min(paired), max(paired)
        self.rows.append(Row(group, label, str(len(paired)), fmt_ratio(best), fmt_ratio(median),
                             f"{fmt_ratio(low)}-{fmt_ratio(high)}",
                             f"{(high - low) / low * 100:.1f}%",
                             self._target(target, best, fmt_ratio), (high - low) / low))

    def single(self, group: str, label: str, value: float, fmt=fmt_one, target=None) -> None:
        self.rows.append(Row(group, label, "1", fmt(value), "", "", "",
                             self._target(target, value, fmt)))

    def note(self, text: str) -> None:
        self.notes.append(text)

    def noisy(self, threshold: float) -> int:
        return sum(1 for row in self.rows if row.spread_value > threshold)

    def print(self) -> None:
        header = Row("", "", "n", "best", "median", "min-max", "spread", "target")
        columns = ["label", "n", "best", "median", "span", "spread", "target"]
        right = {"n", "best", "median", "span", "spread"}
        widths = {c: max(len(getattr(r, c)) for r in [header, *self.rows]) for c in columns}

        def line(row: Row) -> str:
            cells = [getattr(row, c).rjust(widths[c]) if c in right else
                     getattr(row, c).ljust(widths[c]) for c in columns]
            return ("  " + "  ".join(cells)).rstrip()

        print(line(header))
        previous = None
        for row in self.rows:
            if row.group != previous:
                print(row.group)
                previous = row.group
            print(line(row))
        if self.notes:
            print()
            for text in self.notes:
                print(f"* {text}")


# ---------------------------------------------------------------------------------------------
# Corpora, folders and the programs under test

WORDS = ("the of and to in is that for it as was with be by on not he this are or his from at "
         "which but have an they you were her she there been one all we their has would when "
         "if so no will more up out about what into than them can only other new some could "
         "time these two may then do first any my now such like our over man me even most made "
         "after also did many before must through back years where much your way well down "
         "should because each just those people how too little state good very make world "
         "still own see men work long get here between both life being under never day same "
         "another know while last might us great old year off come since against go came right "
         "used take three archive file folder level block deflate record entry table").split()


LOG_PATHS = ("/api/v1/items", "/api/v1/orders", "/api/v2/users", "/static/app.js",
             "/static/style.css", "/login", "/health", "/api/v1/search")
LOG_AGENTS = ("Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
              "Chrome/124.0 Safari/537.36", "curl/8.5.0", "kube-probe/1.29",
              "Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:125.0) Gecko/20100101 Firefox/125.0")
LOG_SERVICES = ("OrderService", "PaymentGateway", "InventorySync", "SessionCache", "MailQueue")
LOG_MESSAGES = ("processed order {} for customer {} in {} ms",
                "cache miss for key user:{}:profile, loaded in {} ms ({} bytes)",
                "retrying request {} after timeout ({} ms), attempt {}",
                "queued message {} for delivery to relay {} ({} recipients)")


def log_lines(rng: random.Random, count: int) -> list[bytes]:
    """What a web server and an application behind it log: stamps, hosts, addresses, requests,
    numbers; the text-like data Vordex is mostly given."""
    lines = []
    clock = 1715953512.0
    for _ in range(count):
        clock += rng.expovariate(200)
        stamp = (f"2024-05-17T{int(clock // 3600) % 24:02d}:{int(clock // 60) % 60:02d}:"
                 f"{clock % 60:06.3f}Z web-{rng.randint(1, 8):02d}")
        if rng.random() < 0.6:
            line = (f'{stamp} nginx[{rng.randint(1000, 9999)}]: 10.{rng.randint(0, 3)}.'
                    f'{rng.randint(0, 255)}.{rng.randint(1, 254)} - - "GET {rng.choice(LOG_PATHS)}/'
                    f'{rng.randint(1, 99999)}?page={rng.randint(1, 20)} HTTP/1.1" '
                    f'{rng.choice((200, 200, 200, 304, 404, 500))} {rng.randint(200, 60000)} "-" '
                    f'"{rng.choice(LOG_AGENTS)}" rt={rng.random() / 10:.3f}\n')
        else:
            message = rng.choice(LOG_MESSAGES).format(rng.randint(1, 999999),
                                                      rng.randint(1, 99999),
                                                      rng.randint(1, 5000))
            line = (f"{stamp} app[{rng.randint(1000, 9999)}]: "
                    f"{rng.choice(('INFO', 'INFO', 'INFO', 'DEBUG', 'WARN', 'ERROR')):5} "
                    f"[worker-{rng.randint(1, 16)}] {rng.choice(LOG_SERVICES)} - {message}\n")
        lines.append(line.encode())
    return lines


def write_corpus(folder: Path, count: int, size: int, seed: str) -> None:
    rng = random.Random(seed)
    pool = log_lines(rng, 1 << 14)
    position = 0

    def text() -> bytes:
        # Consecutive stretches of one long log, so files differ as a folder of logs does.
        nonlocal position
        out = bytearray()
        while len(out) < size:
            out += pool[position % len(pool)]
            position += 1
        return bytes(out[:size])

    folder.mkdir(parents=True)
    for i in range(count):
        data = text() if i % 2 == 0 else rng.randbytes(size)
        (folder / f"f{i:05d}.{'txt' if i % 2 == 0 else 'bin'}").write_bytes(data)


def write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def text_lines(rng: random.Random, count: int) -> list[bytes]:
    return [(" ".join(rng.choices(WORDS, k=rng.randint(6, 14))).capitalize() + ".\n").encode()
            for _ in range(count)]


def write_words(path: Path, size: int, seed: str) -> None:
    """A log: lines drawn from a pool of 65,536 log lines, far more than deflate's 32 KiB window
    holds, so it finds fields repeated, not whole stretches, and writing 256 MiB takes seconds
    rather than the minutes of a line built for every line."""
    rng = random.Random(seed)
    pool = log_lines(rng, 1 << 16)
    path.parent.mkdir(parents=True)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
    try:
        left = size
        while left > 0:
            block = b"".join(rng.choices(pool, k=1 << 16))[:left]
            write_all(fd, block)
            left -= len(block)
    finally:
        os.close(fd)


def write_tree_pair(tree: Path, flat: Path, count: int, size: int, seed: str) -> None:
    """The same files, by name and content, once spread over folders of TREE_FILES_PER_FOLDER
    below TREE_TOP_FOLDERS top folders, and once all in one folder."""
    rng = random.Random(seed)
    pool = text_lines(rng, 1 << 12)
    blocks: list[bytes] = []
    needed = (count // 2 + 1) * size
    while needed > 0:
        blocks.append(b"".join(rng.choices(pool, k=1 << 14)))
        needed -= len(blocks[-1])
    text = b"".join(blocks)
    leaves = max(1, count // TREE_FILES_PER_FOLDER)
    per_top = max(1, leaves // TREE_TOP_FOLDERS)
    tree.mkdir(parents=True)
    flat.mkdir(parents=True)
    for i in range(count):
        half = i // 2
        data = text[half * size:(half + 1) * size] if i % 2 == 0 else rng.randbytes(size)
        name = f"f{i:06d}.{'txt' if i % 2 == 0 else 'bin'}"
        leaf = i // TREE_FILES_PER_FOLDER
        folder = tree / f"d{leaf // per_top:02d}" / f"s{leaf % per_top:03d}"
        if i % TREE_FILES_PER_FOLDER == 0:
            folder.mkdir(parents=True, exist_ok=True)
        for path in (folder / name, flat / name):
            fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
            try:
                write_all(fd, data)
            finally:
                os.close(fd)


def tree_files(root: Path, suffixes: tuple[str, ...]):
    stack = [root]
    while stack:
        with os.scandir(stack.pop()) as entries:
            for entry in entries:
                if entry.is_dir(follow_symlinks=False):
                    stack.append(Path(entry.path))
                elif entry.name.endswith(suffixes):
                    yield entry


def count_archives_below(root: Path) -> int:
    return sum(1 for entry in tree_files(root, (".zip",)) if not entry.name.startswith("."))


def count_archives(folder: Path) -> int:
    # Hidden names are Vordex's temporary files, which a finished run must not leave.
    return sum(1 for entry in os.scandir(folder)
               if entry.name.endswith(".zip") and not entry.name.startswith("."))


def count_files(folder: Path, suffix: str = "") -> int:
    return sum(1 for entry in os.scandir(folder) if entry.name.endswith(suffix))


def fs_type(path: Path) -> str:
    return subprocess.run(["stat", "-f", "-c", "%T", str(path)], capture_output=True,
                          text=True, check=True).stdout.strip()


def mount_text(path: Path) -> str:
    """stat's file system name, and the mount's where stat cannot tell them apart (ext2/ext3
    stands for ext4 too)."""
    said = fs_type(path)
    mount = subprocess.run(["findmnt", "-n", "-o", "FSTYPE,SOURCE", "--target", str(path)],
                           capture_output=True, text=True).stdout.splitlines()
    if not mount or len(mount[0].split()) != 2:
        return f"stat -f: {said}"
    kind, source = mount[0].split()
    return f"stat -f: {said}; mounted {kind} from {source}"


def run_quiet(argv: Sequence, what: str, **kwargs) -> None:
    with tempfile.TemporaryFile() as output:
        returncode = run_in_session(argv, RUN_TIMEOUT, stdin=subprocess.DEVNULL, stdout=output,
                                    stderr=subprocess.STDOUT, **kwargs)
        if returncode != 0:
            output.seek(0)
            text = output.read().decode(errors="replace")
            raise BenchError(f"{what} failed ({shlex.join(str(a) for a in argv)}):\n"
                             f"{text[-6000:]}")


def build_vordex(source: Path, build: Path, what: str) -> Path:
    run_quiet(["cmake", "-S", source, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
               "-DBUILD_TESTING=OFF"], f"configuring {what}")
    run_quiet(["cmake", "--build", build, "--target", "vordex", "-j2"], f"building {what}")
    for candidate in (build / "vordex", build / "src" / "vordex"):
        if candidate.is_file():
            return candidate
    found = [p for p in build.rglob("vordex") if p.is_file() and os.access(p, os.X_OK)]
    if not found:
        raise BenchError(f"no vordex binary in {build} after building {what}")
    return found[0]


class Bench:
    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.table = Table()
        self.sizes = CORPORA_QUICK if args.quick else CORPORA_FULL
        self.build = REPO / "build-bench"
        self.temp_dirs: list[Path] = []
        self.tmux_sockets: set[str] = set()
        self.corpora: dict[str, Path] = {}
        self.vordex = Path()
        self.current = ""  # the revision timed as the current Vordex; empty: the work tree
        self.plain = Path()
        self.shm_used = os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK)
        self.work = Path()
        self.out = Path()
        self.disk = Path()
        # Times of -T1 and -T2 by corpus, kept for the serial-fraction group.
        self.thread_times: dict[str, dict[str, list[float]]] = {}

    def make_folders(self) -> None:
        """Apart from __init__ so that cleanup knows every folder made before a failure."""
        self.work = self.temp_dir(Path("/dev/shm") if self.shm_used else
                                  Path(tempfile.gettempdir()))
        self.out = self.work / "out"
        global _stderr_log
        _stderr_log = self.work / "stderr.log"
        self.disk = self.temp_dir(self.pick_disk_parent())

    def temp_dir(self, parent: Path) -> Path:
        path = Path(tempfile.mkdtemp(prefix="vordex-bench-", dir=parent))
        self.temp_dirs.append(path)
        return path

    def pick_disk_parent(self) -> Path:
        if self.args.disk_dir:
            parent = Path(self.args.disk_dir)
            parent.mkdir(parents=True, exist_ok=True)
            return parent
        for parent in (Path("/var/tmp"), self.build):
            parent.mkdir(parents=True, exist_ok=True)
            if os.access(parent, os.W_OK) and fs_type(parent) not in ("tmpfs", "ramfs"):
                return parent
        raise BenchError("no writable folder on a real disk: name one with --disk-dir")

    def cleanup(self) -> None:
        for socket in self.tmux_sockets:
            subprocess.run(["tmux", "-L", socket, "kill-server"], capture_output=True)
            # A killed server leaves its socket file behind.
            folder = Path(os.environ.get("TMUX_TMPDIR") or "/tmp") / f"tmux-{os.getuid()}"
            (folder / socket).unlink(missing_ok=True)
        if self.args.keep:
            for path in self.temp_dirs:
                if path.exists():
                    progress(f"kept {path}")
            return
        for path in self.temp_dirs:
            shutil.rmtree(path, ignore_errors=True)

    # -- the programs

    def build_revision(self, rev: str) -> tuple[Path, str]:
        """The Vordex of a git revision, built from `git archive` in a temporary folder so that
        the work tree, the index and HEAD are left alone."""
        resolved = subprocess.run(["git", "-C", REPO, "rev-parse", "--short",
                                   f"{rev}^{{commit}}"], capture_output=True, text=True)
        if resolved.returncode != 0:
            raise BenchError(f"git does not know the revision {rev!r}")
        short = resolved.stdout.strip()
        root = self.temp_dir(self.disk)
        source, build = root / "source", root / "build"
        source.mkdir()
        progress(f"Building the Vordex of {short} in {root} ...")
        archive = subprocess.Popen(["git", "-C", REPO, "archive", short],
                                   stdout=subprocess.PIPE)
        unpacked = subprocess.run(["tar", "-x", "-C", source], stdin=archive.stdout)
        archive.stdout.close()
        if archive.wait() != 0 or unpacked.returncode != 0:
            raise BenchError(f"git archive {short} | tar -x failed")
        return build_vordex(source, build, f"the Vordex of {short}"), short

    def build_programs(self) -> None:
        if self.args.rev:
            self.vordex, self.current = self.build_revision(self.args.rev)
        else:
            progress(f"Building Vordex (Release) in {self.build} ...")
            self.vordex = build_vordex(REPO, self.build, "Vordex")
            self.current = ""
        progress("Building the plain minizip loop ...")
        self.build.mkdir(exist_ok=True)
        flags = {}
        for kind in ("--cflags", "--libs"):
            found = subprocess.run(["pkg-config", kind, "minizip"], capture_output=True,
                                   text=True)
            if found.returncode != 0:
                raise BenchError("pkg-config does not know minizip "
                                 "(apt-get install libminizip-dev)")
            flags[kind] = found.stdout.split()
        cflags, libs = flags["--cflags"], flags["--libs"]
        self.plain = self.build / "plain_minizip"
        run_quiet(["g++", "-O2", "-std=c++20", *cflags, REPO / "bench" / "plain_minizip.cpp",
                   "-o", self.plain, *libs], "building bench/plain_minizip.cpp")

    # -- corpora and output folders

    def corpus(self, name: str) -> Path:
        """The corpus folder on tmpfs, written on first use; sibling of the output folder."""
        if name not in self.corpora:
            count, size = self.sizes[name]
            progress(f"Writing the {name} corpus ({count:,} x {size_text(size)}) ...")
            self.corpora[name] = self.work / name
            if name == "big":
                write_words(self.corpora[name] / "words.txt", size, f"vordex-bench-{name}")
            else:
                write_corpus(self.corpora[name], count, size, f"vordex-bench-{name}")
        return self.corpora[name]

    def tree_pair(self) -> tuple[Path, Path]:
        """The tree corpus and the same files in one folder, written on first use."""
        if "tree" not in self.corpora:
            count, size = self.sizes["tree"]
            progress(f"Writing the tree corpus ({count:,} x {size_text(size)}), twice ...")
            self.corpora["tree"], self.corpora["flat"] = self.work / "tree", self.work / "flat"
            write_tree_pair(self.corpora["tree"], self.corpora["flat"], count, size,
                            "vordex-bench-tree")
        return self.corpora["tree"], self.corpora["flat"]

    def corpus_count(self, name: str) -> int:
        return self.sizes[name][0]

    def fresh(self, folder: Path) -> None:
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)

    def fresh_out(self) -> None:
        self.fresh(self.out)

    def check_archives(self, folder: Path, expected: int, who: str) -> Callable[[], None]:
        def check() -> None:
            made = count_archives(folder)
            if made != expected:
                raise BenchError(f"{who} exited 0 but {folder} holds {made} archives for "
                                 f"{expected} files")
        return check

    # -- reusable cases

    def headless(self, corpus: str, vordex: Optional[Path] = None, options: Sequence[str] = (),
                 wrap: Sequence[str] = (), label: str = "Vordex") -> Case:
        """Vordex with no terminal, as under cron: `setsid -w vordex MASK < /dev/null >
        /dev/null 2>&1` (the session comes from run_in_session)."""
        self.corpus(corpus)
        return Case([*wrap, vordex or self.vordex, f"../{corpus}/*", *options],
                    cwd=self.out, prepare=self.fresh_out,
                    check=self.check_archives(self.out, self.corpus_count(corpus), label),
                    label=label, keep_stderr=False)

    def plain_loop(self, corpus: str) -> Case:
        return Case([self.plain, "-1", f"../{corpus}"], cwd=self.out, prepare=self.fresh_out,
                    check=self.check_archives(self.out, self.corpus_count(corpus),
                                              "the plain minizip loop"),
                    label="plain minizip loop")

    def gzip_keep(self, corpus: str) -> Case:
        """gzip -k writes beside its sources, so it works on a copy of its own and the corpus
        the others read never gains .gz files."""
        source = self.corpus(corpus)
        copy = self.work / f"gzip-{corpus}"
        if not copy.exists():
            shutil.copytree(source, copy)
        names = sorted(entry.name for entry in os.scandir(copy))
        expected = len(names)

        def prepare() -> None:
            for entry in os.scandir(copy):
                if entry.name.endswith(".gz"):
                    os.unlink(entry.path)

        def check() -> None:
            made = count_files(copy, ".gz")
            if made != expected:
                raise BenchError(f"gzip made {made} .gz files for {expected} files")

        return Case(["gzip", "-k", "-6", "--", *names], cwd=copy, prepare=prepare, check=check,
                    label="gzip -k -6")

    def gzip_xargs(self, corpus: str, jobs: int) -> Case:
        """One gzip per file, as Vordex makes one archive per file, in `jobs` shells at once;
        each shell takes 200 names so that the shells' own start-up stays small."""
        self.corpus(corpus)
        expected = self.corpus_count(corpus)
        script = (f"set -o pipefail; printf '%s\\0' ../{corpus}/* | "
                  f"xargs -0 -P{jobs} -n 200 sh -c "
                  "'for f; do gzip -6 -c -- \"$f\" > \"${f##*/}.gz\" || exit 1; done' sh")

        def check() -> None:
            made = count_files(self.out, ".gz")
            if made != expected:
                raise BenchError(f"gzip under xargs made {made} .gz files for {expected} files")

        return Case(["bash", "-c", script], cwd=self.out, prepare=self.fresh_out, check=check,
                    label=f"xargs -P{jobs} gzip -6")

    def zip_per_file(self, corpus: str) -> Case:
        script = 'set -e; for f in *; do zip -q -6 "../out/${f%.*}.zip" "$f"; done'
        return Case(["bash", "-c", script], cwd=self.corpus(corpus), prepare=self.fresh_out,
                    check=self.check_archives(self.out, self.corpus_count(corpus),
                                              "the zip loop"),
                    label="zip -q -6 per file")


def size_text(size: int) -> str:
    return f"{size >> 20} MiB" if size >= 1 << 20 else f"{size >> 10} KiB"


def corpus_text(bench: Bench, name: str) -> str:
    count, size = bench.sizes[name]
    return f"{count:,} x {size_text(size)}"


def have(tool: str, bench: Bench, why: str) -> bool:
    if shutil.which(tool):
        return True
    package = {"/usr/bin/time": "time"}.get(tool, tool)
    bench.table.note(f"{tool} is not installed, so {why} was skipped "
                     f"(apt-get install -y {package})")
    return False


# ---------------------------------------------------------------------------------------------
# Groups

GROUPS: dict[str, tuple[Callable[[Bench], None], str, bool]] = {}


def group(name: str, about: str, default: bool = True):
    def register(function: Callable[[Bench], None]) -> Callable[[Bench], None]:
        GROUPS[name] = (function, about, default)
        return function
    return register


def against_tools(bench: Bench, corpus: str, targets: dict) -> None:
    name = f"{corpus}: {corpus_text(bench, corpus)} on tmpfs"
    cases = {"vordex": bench.headless(corpus), "plain": bench.plain_loop(corpus)}
    if have("gzip", bench, f"gzip on the {corpus} files"):
        cases["gzip"] = bench.gzip_keep(corpus)
    if have("zip", bench, f"zip on the {corpus} files"):
        cases["zip"] = bench.zip_per_file(corpus)
    times = compare(cases)
    table = bench.table
    table.samples(name, "Vordex, no terminal (s)", times["vordex"])
    table.samples(name, "(a) plain minizip loop (s)", times["plain"])
    if "gzip" in times:
        table.samples(name, "(b) gzip -k -6 (s)", times["gzip"])
    if "zip" in times:
        table.samples(name, "(c) zip -q -6 per file (s)", times["zip"])
    table.ratio(name, "Vordex / (a)", times["vordex"], times["plain"], targets.get("plain"))
    if "gzip" in times:
        table.ratio(name, "Vordex / (b)", times["vordex"], times["gzip"], targets.get("gzip"))
    if "zip" in times:
        table.ratio(name, "(c) / Vordex", times["zip"], times["vordex"], targets.get("zip"))


@group("small", "many small files on tmpfs: Vordex headless vs the plain loop, gzip, zip")
def group_small(bench: Bench) -> None:
    against_tools(bench, "small", {"plain": TARGET_PLAIN_SMALL, "gzip": TARGET_GZIP_SMALL,
                                   "zip": TARGET_ZIP_SMALL})


@group("large", "large files on tmpfs: Vordex headless vs the plain loop, gzip, zip")
def group_large(bench: Bench) -> None:
    against_tools(bench, "large", {"plain": TARGET_PLAIN_LARGE})


@group("baseline", "the current build against --baseline REV, small and large", default=False)
def group_baseline(bench: Bench) -> None:
    rev = bench.args.baseline
    if not rev:
        raise BenchError("the baseline group needs --baseline REV")
    old, short = bench.build_revision(rev)
    current = f"Vordex {bench.current}" if bench.current else "current Vordex"
    name = f"baseline: {current} against Vordex {short}, no terminal, on tmpfs"
    for corpus in ("small", "large"):
        times = compare({"current": bench.headless(corpus, label=current),
                         "baseline": bench.headless(corpus, old, label=f"Vordex {short}")})
        size = f"{corpus} ({corpus_text(bench, corpus)})"
        bench.table.samples(name, f"{size}: {current} (s)", times["current"])
        bench.table.samples(name, f"{size}: Vordex {short} (s)", times["baseline"])
        bench.table.ratio(name, f"{size}: {bench.current or 'current'} / {short}",
                          times["current"], times["baseline"], TARGET_BASELINE)


class DeleteRuns:
    """Runs with -D on a real disk over a master copy of a corpus: the sources are copied afresh
    and synced before each run, untimed."""

    def __init__(self, bench: Bench, name: str, master: Path, count: int) -> None:
        self.bench, self.count = bench, count
        self.master = master
        root = bench.disk / name
        root.mkdir(exist_ok=True)
        self.sources, self.out, self.used = root / "sources", root / "out", root / "used"
        self.used.mkdir(exist_ok=True)
        self.retired = itertools.count()

    def prepare(self) -> None:
        # Deleting the last run's files here would leave the file system's deferred work for
        # them (freeing blocks, discards) to land in the timed run: they are moved aside, and
        # go with the temporary folder at the end.
        for folder in (self.out, self.sources):
            if folder.exists():
                folder.rename(self.used / f"{folder.name}-{next(self.retired)}")
        self.out.mkdir()
        shutil.copytree(self.master, self.sources)
        # Dirty pages of the copy would otherwise be flushed by the timed run's own syncs.
        os.sync()

    def check(self, label: str, deleting: bool) -> Callable[[], None]:
        def check() -> None:
            self.bench.check_archives(self.out, self.count, label)()
            left = count_files(self.sources)
            if deleting and left:
                raise BenchError(f"{label} exited 0 but left {left} of {self.count} sources")
        return check

    def case(self, options: Sequence[str], label: str, vordex: Optional[Path] = None) -> Case:
        return Case([vordex or self.bench.vordex, "../sources/*", *options], cwd=self.out,
                    prepare=self.prepare, check=self.check(label, "-D" in options), label=label,
                    keep_stderr=False)


def disk_corpus(bench: Bench, name: str) -> tuple[Path, int]:
    """A corpus written once on the real disk: the master copy of DeleteRuns."""
    count, size = bench.sizes[name]
    master = bench.disk / f"{name}-master"
    if not master.exists():
        progress(f"Writing the {name} corpus ({count:,} x {size_text(size)}) on disk ...")
        if name == "big":
            write_words(master / "words.txt", size, f"vordex-bench-{name}")
        else:
            write_corpus(master, count, size, f"vordex-bench-{name}")
    return master, count


@group("delete", "-D on a real disk: each archive and its folder synced before a delete")
def group_delete(bench: Bench) -> None:
    master, count = disk_corpus(bench, "delete")
    runs = DeleteRuns(bench, "delete", master, count)
    times = compare({"keep": runs.case([], "Vordex"), "delete": runs.case(["-D"], "Vordex -D")})
    name = f"delete: {count:,} x {size_text(bench.sizes['delete'][1])} on {fs_type(bench.disk)}"
    bench.table.samples(name, "Vordex, no terminal (s)", times["keep"])
    bench.table.samples(name, "Vordex -D, no terminal (s)", times["delete"])
    bench.table.ratio(name, "-D / without", times["delete"], times["keep"])
    bench.table.note("delete: the corpus is copied afresh and synced before each run, untimed")


@group("verify", "-D with the archive read back before the delete, against --verify-baseline")
def group_verify(bench: Bench) -> None:
    old, short = bench.build_revision(bench.args.verify_baseline)
    current = bench.current or "current"
    name = (f"verify: -D on {fs_type(bench.disk)}, {current} (lease, archive read back, modes) "
            f"against {short} (no read-back)")
    for corpus in ("delete", "big"):
        master, count = disk_corpus(bench, corpus)
        runs = DeleteRuns(bench, f"verify-{corpus}", master, count)
        times = compare({"current": runs.case(["-D"], f"Vordex -D"),
                         "baseline": runs.case(["-D"], f"Vordex {short} -D", old)})
        size = f"{corpus} ({count:,} x {size_text(bench.sizes[corpus][1])})"
        bench.table.samples(name, f"{size}: {current} -D (s)", times["current"])
        bench.table.samples(name, f"{size}: {short} -D (s)", times["baseline"])
        bench.table.ratio(name, f"{size}: {current} / {short}", times["current"],
                          times["baseline"], TARGET_VERIFY)


def pane_case(bench: Bench, corpus: str, options: Sequence[str] = (),
              label: str = "Vordex in a pane") -> tuple[Case, list[float]]:
    """Vordex drawing in an 80x25 tmux pane, and the bytes it sent the pane per file, one entry
    for each run."""
    count = bench.corpus_count(corpus)
    bench.corpus(corpus)
    socket = f"vordex-bench-{os.getpid()}"
    bench.tmux_sockets.add(socket)
    suffix = "".join(options)
    stamp, piped = bench.work / f"pane-time{suffix}", bench.work / f"pane-bytes{suffix}"
    written: list[float] = []
    env = {k: v for k, v in os.environ.items() if k not in ("TMUX", "TMUX_PANE")}

    def tmux(*arguments: str) -> None:
        run_quiet(["tmux", "-L", socket, "-f", "/dev/null", *arguments], "tmux", env=env)

    def kill_server() -> None:
        subprocess.run(["tmux", "-L", socket, "kill-server"], capture_output=True, env=env)

    def prepare() -> None:
        kill_server()
        bench.fresh_out()
        for path in (stamp, piped):
            path.unlink(missing_ok=True)

    def in_pane() -> float:
        # The clock is read inside the pane, so the server's start and the polling below stay
        # out of the time. EPOCHREALTIME spares a fork of date at either end.
        command = shlex.join([str(bench.vordex), f"../{corpus}/*", *options])
        script = (f"s=$EPOCHREALTIME; {command}; "
                  f"rc=$?; e=$EPOCHREALTIME; echo \"$s $e $rc\" > {shlex.quote(str(stamp))}.new"
                  f" && mv {shlex.quote(str(stamp))}.new {shlex.quote(str(stamp))}; "
                  f"exec sleep 600")
        tmux("new-session", "-d", "-x", "80", "-y", "25", "-c", str(bench.out), "exec sleep 600")
        tmux("pipe-pane", "-o", "-t", "0", f"cat > {shlex.quote(str(piped))}")
        tmux("respawn-pane", "-k", "-t", "0", "-c", str(bench.out),
             f"bash -c {shlex.quote(script)}")
        deadline = time.monotonic() + RUN_TIMEOUT
        while not stamp.exists():
            if time.monotonic() > deadline:
                kill_server()
                raise BenchError(f"{label} did not finish in {RUN_TIMEOUT} s")
            time.sleep(0.05)
        # The pipe may still be draining the last screen into the file.
        size, settled = -1, 0
        while settled < 4:
            now = piped.stat().st_size if piped.exists() else 0
            settled = settled + 1 if now == size else 0
            size = now
            time.sleep(0.05)
        kill_server()
        start, end, rc = stamp.read_text().replace(",", ".").split()
        if rc != "0":
            raise BenchError(f"{label} exited with {rc}")
        written.append(size / count)
        return float(end) - float(start)

    return Case(in_pane, prepare=prepare, check=bench.check_archives(bench.out, count, label),
                label=label), written


@group("pane", "the small files drawn in an 80x25 tmux pane, against no terminal")
def group_pane(bench: Bench) -> None:
    if not have("tmux", bench, "the pane group"):
        return
    corpus = "small"
    pane, written = pane_case(bench, corpus)
    times = compare({"pane": pane, "headless": bench.headless(corpus)})
    name = f"pane: {corpus_text(bench, corpus)} on tmpfs, drawn in an 80x25 tmux pane"
    bench.table.samples(name, "Vordex in a tmux pane (s)", times["pane"])
    bench.table.samples(name, "Vordex, no terminal (s)", times["headless"])
    bench.table.ratio(name, "pane / no terminal", times["pane"], times["headless"], TARGET_PANE)
    bench.table.samples(name, "bytes to the terminal per file", written, fmt_one)


def with_peak_rss(bench: Bench, case: Case) -> tuple[Case, list[float]]:
    """The case under /usr/bin/time, and the peak RSS in KiB of each of its runs."""
    report = bench.work / "rss"
    peaks: list[float] = []
    assert not callable(case.command)
    case.command = ["/usr/bin/time", "-f", "%M", "-o", report, *case.command]
    checked = case.check

    def check() -> None:
        if checked:
            checked()
        peaks.append(float(report.read_text().split()[-1]))

    case.check = check
    return case, peaks


@group("memory", "peak RSS of Vordex with no terminal on the small and large files")
def group_memory(bench: Bench) -> None:
    if not have("/usr/bin/time", bench, "the memory group"):
        return
    for corpus in ("small", "large"):
        case, peaks = with_peak_rss(bench, bench.headless(corpus))
        best_of(case)
        bench.table.samples("memory: peak RSS of Vordex with no terminal",
                            f"{corpus} ({corpus_text(bench, corpus)}) (KiB)", peaks, fmt_int,
                            TARGET_MEMORY_KIB)


def strace_counts(path: Path) -> dict[str, int]:
    counts: dict[str, int] = {}
    for line in path.read_text().splitlines():
        fields = line.split()
        if len(fields) < 5:
            continue
        try:
            float(fields[0])
            counts[fields[-1]] = int(fields[3])
        except ValueError:
            continue
    return counts


@group("syscalls", "system calls per file on the small files (strace -c -f, one run)")
def group_syscalls(bench: Bench) -> None:
    if not have("strace", bench, "the syscalls group"):
        return
    corpus = "small"
    count = bench.corpus_count(corpus)
    report = bench.work / "strace"
    tracer = ["strace", "-c", "-f", "-o", report]
    found = {}
    for who, case in (("vordex", bench.headless(corpus, wrap=tracer)),
                      ("plain", bench.plain_loop(corpus))):
        if who == "plain":
            case.command = [*tracer, *case.command]
        best_of(case, runs=1)
        found[who] = strace_counts(report)
    name = f"syscalls: {corpus_text(bench, corpus)} on tmpfs, strace -c -f, one run"
    table = bench.table
    vordex_total, plain_total = found["vordex"]["total"], found["plain"]["total"]
    table.single(name, "Vordex system calls per file", vordex_total / count)
    table.single(name, "(a) plain loop system calls per file", plain_total / count)
    table.single(name, "Vordex / (a) system calls", vordex_total / plain_total, fmt_ratio)
    table.single(name, "Vordex brk calls in all", found["vordex"].get("brk", 0), fmt_int)
    table.single(name, "(a) brk calls in all", found["plain"].get("brk", 0), fmt_int)
    busiest = sorted((k for k in found["vordex"] if k != "total"),
                     key=lambda k: -found["vordex"][k])[:8]
    pairs = ", ".join(f"{k} {found['vordex'][k] / count:.2f}/{found['plain'].get(k, 0) / count:.2f}"
                      for k in busiest)
    table.note(f"syscalls per file, Vordex/(a), busiest first: {pairs}")


def threads_cases(bench: Bench, corpus: str) -> dict[str, Case]:
    return {f"T{n}": bench.headless(corpus, options=[f"-T{n}"], label=f"Vordex -T{n}")
            for n in (1, 2)}


def threads_rows(bench: Bench, name: str, corpus: str, times: dict[str, list[float]],
                 speedup_target) -> None:
    bench.thread_times[corpus] = {"T1": times["T1"], "T2": times["T2"]}
    bench.table.samples(name, "Vordex -T1 (s)", times["T1"])
    bench.table.samples(name, "Vordex -T2 (s)", times["T2"])
    bench.table.ratio(name, "speed-up, -T1 / -T2", times["T1"], times["T2"], speedup_target)


@group("threads-small", "-T1 and -T2 on the small files against the plain loop and xargs -P2 gzip")
def group_threads_small(bench: Bench) -> None:
    corpus = "small"
    cases = threads_cases(bench, corpus)
    cases["plain"] = bench.plain_loop(corpus)
    if have("gzip", bench, "gzip under xargs -P2") and have("xargs", bench, "gzip under xargs"):
        cases["xargs"] = bench.gzip_xargs(corpus, 2)
    times = compare(cases)
    name = f"threads-small: {corpus_text(bench, corpus)} on tmpfs, no terminal"
    threads_rows(bench, name, corpus, times, TARGET_SPEEDUP_SMALL)
    table = bench.table
    table.samples(name, "(a) plain minizip loop (s)", times["plain"])
    if "xargs" in times:
        table.samples(name, "(d) xargs -P2 -n 200, gzip -6 per file (s)", times["xargs"])
        table.ratio(name, "-T2 / (d)", times["T2"], times["xargs"], TARGET_T2_XARGS_GZIP)
    table.ratio(name, "-T1 / (a)", times["T1"], times["plain"], TARGET_T1_PLAIN)


@group("threads-big", "-T1 and -T2 on one big text-like file against pigz -p2")
def group_threads_big(bench: Bench) -> None:
    corpus = "big"
    cases = threads_cases(bench, corpus)
    if have("pigz", bench, "pigz -p2 on the big file"):
        source = bench.corpus(corpus) / "words.txt"

        def check() -> None:
            made = count_files(bench.out, ".gz")
            if made != 1:
                raise BenchError(f"pigz exited 0 but {bench.out} holds {made} .gz files")

        cases["pigz"] = Case(["bash", "-c", 'exec pigz -p2 -6 -c -- "$1" > "$2"', "bash",
                              source, bench.out / "words.txt.gz"],
                             cwd=bench.out, prepare=bench.fresh_out, check=check,
                             label="pigz -p2 -6")
    times = compare(cases)
    name = (f"threads-big: one text-like file of {size_text(bench.sizes[corpus][1])} on tmpfs, "
            f"no terminal")
    threads_rows(bench, name, corpus, times, TARGET_SPEEDUP_BIG)
    if "pigz" in times:
        bench.table.samples(name, "(e) pigz -p2 -6 -c (s)", times["pigz"])
        bench.table.ratio(name, "-T2 / (e)", times["T2"], times["pigz"], TARGET_T2_PIGZ)


@group("threads-mixed", "-T1 and -T2 on the large files, half text-like and half random")
def group_threads_mixed(bench: Bench) -> None:
    corpus = "large"
    times = compare(threads_cases(bench, corpus))
    name = f"threads-mixed: {corpus_text(bench, corpus)} on tmpfs, no terminal"
    threads_rows(bench, name, corpus, times, TARGET_SPEEDUP_MIXED)


@group("threads-pane", "-T1 and -T2 on the small files in an 80x25 tmux pane and with none")
def group_threads_pane(bench: Bench) -> None:
    if not have("tmux", bench, "the threads-pane group"):
        return
    corpus = "small"
    cases: dict[str, Case] = {}
    written: dict[str, list[float]] = {}
    for n in (1, 2):
        cases[f"pane T{n}"], written[f"T{n}"] = pane_case(bench, corpus, [f"-T{n}"],
                                                          f"Vordex -T{n} in a pane")
        cases[f"headless T{n}"] = bench.headless(corpus, options=[f"-T{n}"],
                                                 label=f"Vordex -T{n}")
    times = compare(cases)
    name = f"threads-pane: {corpus_text(bench, corpus)} on tmpfs, an 80x25 tmux pane or none"
    table = bench.table
    for n in (1, 2):
        table.samples(name, f"-T{n} in a tmux pane (s)", times[f"pane T{n}"])
        table.samples(name, f"-T{n}, no terminal (s)", times[f"headless T{n}"])
        table.ratio(name, f"-T{n} pane / no terminal", times[f"pane T{n}"],
                    times[f"headless T{n}"], TARGET_PANE_THREADS)
        table.samples(name, f"-T{n} bytes to the terminal per file", written[f"T{n}"], fmt_one)


@group("threads-memory", "peak RSS of Vordex -T2 with no terminal on small, big and mixed files")
def group_threads_memory(bench: Bench) -> None:
    if not have("/usr/bin/time", bench, "the threads-memory group"):
        return
    for corpus in ("small", "k64", "big", "large"):
        case, peaks = with_peak_rss(bench, bench.headless(corpus, options=["-T2"],
                                                          label="Vordex -T2"))
        best_of(case)
        what = ("one text-like file of " + size_text(bench.sizes[corpus][1])
                if corpus == "big" else corpus_text(bench, corpus))
        bench.table.samples("threads-memory: peak RSS of Vordex -T2 with no terminal",
                            f"{corpus} ({what}) (KiB)", peaks, fmt_int,
                            TARGET_MEMORY_THREADS_KIB)


def folder_bytes(folder: Path, suffix: str) -> int:
    return sum(entry.stat().st_size for entry in os.scandir(folder) if entry.name.endswith(suffix)
               and not entry.name.startswith("."))


def output_size(case: Case, folder: Path, suffix: str) -> list[float]:
    """Wraps the case's check so that the bytes it made in folder are noted after each run."""
    sizes: list[float] = []
    checked = case.check

    def check() -> None:
        if checked:
            checked()
        sizes.append(folder_bytes(folder, suffix))

    case.check = check
    return sizes


def salad(size: int) -> bytes:
    """Sentences of common words in a random order: prose as deflate sees it."""
    rng = random.Random("vordex-bench-salad")
    pool = text_lines(rng, 1 << 12)
    out = bytearray()
    while len(out) < size:
        out += b"".join(rng.choices(pool, k=1 << 12))
    return bytes(out[:size])


def shared_libraries(size: int) -> bytes:
    """Machine code and its tables: this machine's shared libraries, largest first."""
    found = sorted((path for folder in ("/usr/lib/x86_64-linux-gnu", "/usr/lib64", "/usr/lib")
                    if os.path.isdir(folder) for path in Path(folder).glob("*.so*")
                    if path.is_file() and not path.is_symlink()),
                   key=lambda path: (-path.stat().st_size, path.name))
    out = bytearray()
    for path in found:
        if len(out) >= size:
            break
        out += path.read_bytes()
    if len(out) < size:
        raise BenchError(f"the shared libraries hold {len(out):,} bytes, fewer than {size:,}")
    return bytes(out[:size])


def pieces_of(folder: Path, count: int, size: int, source: Callable[[int], bytes]) -> list[Path]:
    """count files of size bytes cut from one stretch of source's data, written once."""
    if not folder.exists():
        data = source(count * size)
        folder.mkdir(parents=True)
        for i in range(count):
            (folder / f"p{i:05d}").write_bytes(data[i * size:(i + 1) * size])
    return sorted(folder.iterdir())


@group("engines", "each deflate library and level on the corpora, one core (bench/deflate_engines)")
def group_engines(bench: Bench) -> None:
    """The figures the engine of each level was chosen by: for every level, the fastest library
    whose output is no larger than zlib's at that level (src/driver/deflate_engine.h)."""
    program = bench.build / "deflate_engines"
    run_quiet(["g++", "-O2", "-std=c++20", REPO / "bench" / "deflate_engines.cpp", "-o", program,
               "-ldeflate", "-lisal", "-lz"], "building bench/deflate_engines.cpp")
    configs = ([f"zlib:{n}" for n in range(1, 10)] + [f"libdeflate:{n}" for n in range(1, 10)] +
               [f"isal:{n}" for n in (1, 2, 3)])
    text = sorted(bench.corpus("small").glob("*.txt"))
    k64 = sorted(bench.corpus("k64").glob("*.txt"))
    sets = {"1 KiB logs": text,
            "1 KiB random": sorted(bench.corpus("small").glob("*.bin"))[:len(text)],
            "64 KiB logs": k64,
            "64 KiB word salad": pieces_of(bench.work / "salad", len(k64), 64 << 10, salad),
            "64 KiB binary-ish": pieces_of(bench.work / "binaryish", len(k64), 64 << 10,
                                           shared_libraries),
            "big log, whole": [bench.corpus("big") / "words.txt"],
            "big log, 256 KiB pieces": [bench.corpus("big") / "words.txt"]}
    for name, files in sets.items():
        chunks = "pieces" in name
        use = [c for c in configs if not (chunks and c.startswith("libdeflate"))]
        found = subprocess.run([program, *(["--chunks"] if chunks else []), "--rounds",
                                str(RUNS), *use, "--", *files], capture_output=True, text=True)
        if found.returncode != 0:
            raise BenchError(f"deflate_engines failed: {found.stderr[-2000:]}")
        figures = {line.split()[0]: (int(line.split()[2]), float(line.split()[4]))
                   for line in found.stdout.splitlines()}
        title = f"engines: {name}, one core, CPU time, best of {RUNS}"
        for level in range(1, 10):
            zlib_size, zlib_us = figures[f"zlib:{level}"]
            size, micros, config = min(
                ((sz, us, c) for c, (sz, us) in figures.items() if sz <= zlib_size),
                key=lambda found: found[1])
            bench.table.single(title, f"level {level}: fastest no larger than zlib:{level} is "
                               f"{config} ({size / zlib_size:.3f} of its size), x faster",
                               zlib_us / micros, fmt_ratio)
        every = ", ".join(f"{c} {figures[c][0] / figures['zlib:6'][0]:.3f}/"
                          f"{figures['zlib:6'][1] / figures[c][1]:.2f}x" for c in use)
        bench.table.note(f"engines, {name}: size/speed against zlib:6: {every}")


def peer_cases(bench: Bench, corpus: str, level: int) -> tuple[dict[str, Case],
                                                                dict[str, list[float]]]:
    """Vordex -T1 and -T2 and the other tools at one level, each with the bytes it made."""
    cases: dict[str, Case] = {}
    sizes: dict[str, list[float]] = {}
    for n in (1, 2):
        case = bench.headless(corpus, options=[f"-T{n}", f"-{level}"], label=f"Vordex -T{n}")
        sizes[f"Vordex -T{n}"] = output_size(case, bench.out, ".zip")
        cases[f"Vordex -T{n}"] = case
    source = bench.corpus(corpus)
    names = sorted(entry.name for entry in os.scandir(source))
    tools = {"gzip": (["gzip", "-k", f"-{level}", "--"], ".gz", "gzip"),
             "pigz -p2 -K": (["pigz", "-p2", "-K", "-k", f"-{level}", "--"], ".zip", "pigz"),
             "zstd -T2 -3": (["zstd", "-q", "-T2", "-3", "-k", "--"], ".zst", "zstd")}
    for label, (argv, suffix, tool) in tools.items():
        if tool == "zstd" and level != 6:
            continue  # one zstd figure, at its default level, beside the level in the middle
        if not have(tool, bench, f"{tool} on the {corpus} files"):
            continue
        copy = bench.work / f"{tool}-{corpus}"
        if not copy.exists():
            shutil.copytree(source, copy)

        def prepare(copy=copy, suffix=suffix) -> None:
            for entry in os.scandir(copy):
                if entry.name.endswith(suffix):
                    os.unlink(entry.path)

        case = Case([*argv, *names], cwd=copy, prepare=prepare, label=label)
        sizes[label] = output_size(case, copy, suffix)
        cases[label] = case
    if have("zip", bench, f"zip on the {corpus} files"):
        script = f'set -e; for f in *; do zip -q -{level} "../out/${{f%.*}}.zip" "$f"; done'
        case = Case(["bash", "-c", script], cwd=source, prepare=bench.fresh_out, label="zip loop")
        sizes["zip loop"] = output_size(case, bench.out, ".zip")
        cases["zip loop"] = case
    return cases, sizes


@group("peers", "-T1 and -T2 against gzip, pigz -K, a zip loop and zstd at levels 1, 6 and 9")
def group_peers(bench: Bench) -> None:
    for corpus in ("small", "k64", "large", "big"):
        for level in (1, 6, 9):
            cases, sizes = peer_cases(bench, corpus, level)
            times = compare(cases)
            what = ("one log of " + size_text(bench.sizes[corpus][1]) if corpus == "big"
                    else corpus_text(bench, corpus))
            name = f"peers: {what}, level {level}, no terminal, on tmpfs"
            for label in cases:
                bench.table.samples(name, f"{label} (s)", times[label])
            for label in cases:
                bench.table.single(name, f"{label} output (MB)", sizes[label][-1] / 1e6,
                                   lambda value: f"{value:.2f}")
            for label in cases:
                if not label.startswith("Vordex"):
                    bench.table.ratio(name, f"-T2 / {label}", times["Vordex -T2"], times[label])
    bench.table.note("peers: zstd -T2 -3 is timed at its default level beside level 6 only; "
                     "pigz, gzip and zstd write beside copies of the corpus, one process for all "
                     "files; the zip loop runs one zip per file")


@group("targets", "the faster deflate against --engines-baseline: the issue's targets")
def group_targets(bench: Bench) -> None:
    old, short = bench.build_revision(bench.args.engines_baseline)
    current = bench.current or "current"
    cases_of = {
        "64 KiB files, -6 one core": ("k64", ["-6"], TARGET_K64_SPEEDUP),
        "1 KiB files, -6 one core": ("small", ["-6"], TARGET_SMALL_SPEEDUP),
        "256 MiB log, -1 -T2": ("big", ["-1", "-T2"], TARGET_BIG_L1_SPEEDUP),
        "256 MiB log, -6 -T2": ("big", ["-6", "-T2"], TARGET_BIG_L6_SPEEDUP),
    }
    for what, (corpus, options, target) in cases_of.items():
        if bench.args.quick:
            what = what.replace("256 MiB", size_text(bench.sizes[corpus][1]))
        new = bench.headless(corpus, options=options, label=f"Vordex {current}")
        base = bench.headless(corpus, old, options=options, label=f"Vordex {short}")
        new_sizes = output_size(new, bench.out, ".zip")
        base_sizes = output_size(base, bench.out, ".zip")
        times = compare({"new": new, "old": base})
        name = f"targets: {current} against {short} (before the faster deflate), on tmpfs"
        bench.table.samples(name, f"{what}: {current} (s)", times["new"])
        bench.table.samples(name, f"{what}: {short} (s)", times["old"])
        bench.table.ratio(name, f"{what}: speed-up, {short} / {current}", times["old"],
                          times["new"], target)
        bench.table.single(name, f"{what}: output size, {current} / {short}",
                           new_sizes[-1] / base_sizes[-1], fmt_ratio, TARGET_SIZE_RATIO)
    if have("pigz", bench, "pigz on the 64 KiB files"):
        cases, _ = peer_cases(bench, "k64", 6)
        times = compare({"T2": cases["Vordex -T2"], "pigz": cases["pigz -p2 -K"]})
        bench.table.ratio(f"targets: {corpus_text(bench, 'k64')} at level 6",
                          "Vordex -T2 / pigz -p2 -K -6", times["T2"], times["pigz"])
    if have("strace", bench, "the system calls per file"):
        report = bench.work / "strace"
        case = bench.headless("small", wrap=["strace", "-c", "-f", "-o", report],
                              options=["-6"])
        best_of(case, runs=1)
        per_file = strace_counts(report)["total"] / bench.corpus_count("small")
        bench.table.single(f"targets: {corpus_text(bench, 'small')} at level 6, strace -c -f",
                           "system calls per file", per_file, fmt_one, TARGET_SYSCALLS_PER_FILE)


# Kernel functions where a thread waits for a read-write semaphore it could not take at once:
# on tmpfs, in these runs, the folder's inode lock taken to look up, create and rename names.
RWSEM_SLOW = ("rwsem_down_write_slowpath", "rwsem_down_read_slowpath", "rwsem_optimistic_spin",
              "rwsem_spin_on_owner", "osq_lock", "rwsem_wake")


def perf_shares(data: Path) -> tuple[float, float]:
    """From a `perf record -e task-clock -g` of one process: the share of its CPU time that its
    first thread took, and the share spent in a semaphore's slow path."""
    listing = subprocess.run(["perf", "script", "-i", data, "-F", "pid,tid,period,ip,sym"],
                             capture_output=True, text=True, errors="replace")
    if listing.returncode != 0:
        raise BenchError(f"perf script failed:\n{listing.stderr[-2000:]}")
    total = first = waiting = 0
    period, main, slow = 0, False, False

    def add() -> None:
        nonlocal total, first, waiting
        total += period
        first += period if main else 0
        waiting += period if slow else 0

    for line in listing.stdout.splitlines():
        if not line.strip():
            continue
        if not line[0].isspace():
            add()
            fields = line.split()
            pid, _, tid = fields[0].partition("/")
            period, main, slow = int(fields[1]), pid == tid, False
        elif not slow:
            symbol = line.split()[-1]
            slow = symbol.startswith(RWSEM_SLOW)
    add()
    if total == 0:
        raise BenchError(f"perf recorded no samples in {data}")
    return first / total, waiting / total


def amdahl(serial: float, cores: int) -> float:
    return 1 / (serial + (1 - serial) / cores)


def perf_works() -> bool:
    if not shutil.which("perf"):
        return False
    probe = subprocess.run(["perf", "stat", "-e", "task-clock", "true"], capture_output=True,
                           stdin=subprocess.DEVNULL)
    return probe.returncode == 0


@group("serial-fraction", "the batch thread's share of a -T2 run (perf), and Amdahl's law")
def group_serial_fraction(bench: Bench) -> None:
    if not perf_works():
        bench.table.note("perf stat -e task-clock true failed, so the serial-fraction group was "
                         "skipped (apt-get install -y linux-perf; perf_event_paranoid)")
        return
    data = bench.work / "perf.data"
    for corpus, timed_in in (("small", "threads-small"), ("big", "threads-big")):
        what = ("one text-like file of " + size_text(bench.sizes[corpus][1])
                if corpus == "big" else corpus_text(bench, corpus))
        name = f"serial-fraction: Vordex -T2 on {what}, perf record -e task-clock -g"
        serial: list[float] = []
        waiting: list[float] = []
        case = bench.headless(corpus, options=["-T2"], label="Vordex -T2 under perf record",
                              wrap=["perf", "record", "-q", "-e", "task-clock", "-g", "-o", data,
                                    "--"])
        fresh, counted = case.prepare, case.check

        def prepare(fresh=fresh) -> None:
            for path in (data, data.with_name(data.name + ".old")):
                path.unlink(missing_ok=True)
            if fresh:
                fresh()

        def check(counted=counted) -> None:
            if counted:
                counted()
            first, slow = perf_shares(data)
            serial.append(first)
            waiting.append(slow)

        case.prepare, case.check = prepare, check
        best_of(case)
        table = bench.table
        table.samples(name, "batch thread's share of CPU, s", serial, fmt_percent)
        table.samples(name, "share of CPU in a folder lock's slow path", waiting, fmt_percent)
        s = statistics.median(serial)
        for cores in (2, 8, 32):
            table.single(name, f"Amdahl on {cores} cores from the median s", amdahl(s, cores),
                         fmt_ratio)
        if corpus in bench.thread_times:
            times = bench.thread_times[corpus]
            source = f"timed in {timed_in}"
        else:
            times = compare(threads_cases(bench, corpus))
            source = "timed here"
        table.ratio(name, f"measured on 2 cores, -T1 / -T2 ({source})", times["T1"],
                    times["T2"])
    data.unlink(missing_ok=True)
    bench.table.note(
        "serial-fraction: s is the share of the task-clock samples taken on the batch thread "
        "(the thread whose id is the process's), read as Amdahl's serial share: speed-up on n "
        "cores = 1 / (s + (1 - s) / n); the runs are slowed by perf itself")
    bench.table.note(
        "serial-fraction: the small files are also bounded by the kernel's per-folder lock "
        "(the folder inode's rwsem, taken to create and to rename every file in the one "
        "output folder), seen in the profiles as rwsem slow paths under openat and renameat; "
        "s does not capture it, and the time asleep waiting for it is not sampled at all")


@group("tree", "-R over small files in folders of 100 against the same files in one folder")
def group_tree(bench: Bench) -> None:
    count, size = bench.sizes["tree"]
    tree, flat = bench.tree_pair()
    leaves = max(1, count // TREE_FILES_PER_FOLDER)
    memory = have("/usr/bin/time", bench, "the peak RSS of the tree group")

    def clean(root: Path) -> Callable[[], None]:
        # Both Vordex and gzip write beside the sources, so every run starts from bare sources.
        def prepare() -> None:
            for entry in list(tree_files(root, (".zip", ".gz"))):
                os.unlink(entry.path)
        return prepare

    def counted(root: Path, what: str, made: Callable[[], int]) -> Callable[[], None]:
        def check() -> None:
            found = made()
            if found != count:
                raise BenchError(f"{what} exited 0 but {root} holds {found} of its files' "
                                 f"{count} outputs")
        return check

    cases: dict[str, Case] = {}
    peaks: dict[str, list[float]] = {}
    for key, root in (("tree", tree), ("flat", flat)):
        label = f"Vordex -R over {'the folders' if key == 'tree' else 'one folder'}"
        case = Case([bench.vordex, "*", "-R"], cwd=root, prepare=clean(root),
                    check=counted(root, label, lambda root=root: count_archives_below(root)),
                    label=label, keep_stderr=False)
        if memory:
            case, peaks[key] = with_peak_rss(bench, case)
        cases[key] = case
    if have("gzip", bench, "gzip -r on the tree"):
        cases["gzip"] = Case(["gzip", "-r", "-k", "-6", "--", "."], cwd=tree, prepare=clean(tree),
                             check=counted(tree, "gzip -r", lambda: sum(
                                 1 for _ in tree_files(tree, (".gz",)))),
                             label="gzip -r -k -6")
    times = compare(cases)
    clean(tree)()
    clean(flat)()

    name = (f"tree: {count:,} x {size_text(size)} in {leaves:,} folders against one folder, "
            f"-R from the root, no terminal, on tmpfs")
    table = bench.table
    table.samples(name, f"Vordex -R, {leaves:,} folders (s)", times["tree"])
    table.samples(name, "Vordex -R, one folder (s)", times["flat"])
    table.samples(name, f"Vordex -R, {leaves:,} folders (us per file)",
                  [t / count * 1e6 for t in times["tree"]], fmt_one)
    table.samples(name, "Vordex -R, one folder (us per file)",
                  [t / count * 1e6 for t in times["flat"]], fmt_one)
    table.ratio(name, "per file, folders / one folder", times["tree"], times["flat"],
                TARGET_TREE)
    if "gzip" in times:
        table.samples(name, f"(f) gzip -r -k -6, {leaves:,} folders (s)", times["gzip"])
        table.ratio(name, "Vordex -R / (f), folders", times["tree"], times["gzip"])
    if memory:
        table.samples(name, f"peak RSS, {leaves:,} folders (KiB)", peaks["tree"], fmt_int,
                      TARGET_MEMORY_THREADS_KIB)
        table.samples(name, "peak RSS, one folder (KiB)", peaks["flat"], fmt_int)
        table.note("tree: both Vordex runs are timed under /usr/bin/time, which reads their "
                   "peak RSS; gzip runs without it")


# ---------------------------------------------------------------------------------------------


def machine_facts(bench: Bench, groups: list[str]) -> list[str]:
    head = subprocess.run(["git", "-C", REPO, "rev-parse", "--short", "HEAD"],
                          capture_output=True, text=True).stdout.strip() or "?"
    # --no-optional-locks: a benchmark has no business refreshing the index.
    dirty = subprocess.run(["git", "--no-optional-locks", "-C", REPO, "status", "--porcelain",
                            "--", "src", "CMakeLists.txt"],
                           capture_output=True, text=True).stdout.strip()
    compiler = subprocess.run(["g++", "-dumpfullversion"], capture_output=True,
                              text=True).stdout.strip()
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    locale = os.environ.get("LC_ALL") or os.environ.get("LC_CTYPE") or os.environ.get("LANG") \
        or "C"
    return [
        f"runs per figure: {RUNS} (best = least, median, min-max, spread = (max - min) / min);"
        f" groups: {','.join(groups)}{' (quick corpora)' if bench.args.quick else ''}",
        f"machine: nproc {os.cpu_count()}, load {load}, {platform.system()} "
        f"{platform.release()} {platform.machine()}, g++ {compiler}, locale {locale}",
        f"tmpfs folder: {bench.work} ({mount_text(bench.work)}; /dev/shm used: "
        f"{'yes' if bench.shm_used else 'no'})",
        f"disk folder: {bench.disk} ({mount_text(bench.disk)})",
        (f"Vordex: revision {bench.current} (--rev), built in {bench.vordex.parent}"
         if bench.current else
         f"Vordex: work tree at {head}{', src/ changed since' if dirty else ''}, built in "
         f"{bench.vordex.parent}"),
    ]


def parse_args(argv: Sequence[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="bench/run", description="Times Vordex against other tools in the same run.")
    parser.add_argument("--runs", type=int, help="runs per figure (default 5, 2 with --quick)")
    parser.add_argument("--quick", action="store_true", help="2 runs and smaller corpora")
    parser.add_argument("--only", help="comma-separated groups to run (see --list)")
    parser.add_argument("--baseline", metavar="REV",
                        help="also time the Vordex of git revision REV against the current one")
    parser.add_argument("--rev", metavar="REV",
                        help="time the Vordex of git revision REV instead of the work tree")
    parser.add_argument("--verify-baseline", metavar="REV", default=VERIFY_BASELINE,
                        help="the revision the verify group compares -D with "
                             f"(default {VERIFY_BASELINE}, before the read-back)")
    parser.add_argument("--engines-baseline", metavar="REV", default=ENGINES_BASELINE,
                        help="the revision the targets group compares with "
                             f"(default {ENGINES_BASELINE}, before the faster deflate)")
    parser.add_argument("--disk-dir", metavar="DIR",
                        help="parent of the folder on a real disk (default /var/tmp)")
    parser.add_argument("--keep", action="store_true", help="leave temporary folders in place")
    parser.add_argument("--list", action="store_true", help="name the groups and stop")
    args = parser.parse_args(argv)
    if args.runs is not None and args.runs < 1:
        parser.error("--runs must be at least 1")
    return args


def chosen_groups(args: argparse.Namespace) -> list[str]:
    if args.only:
        names = [name.strip() for name in args.only.split(",") if name.strip()]
        unknown = [name for name in names if name not in GROUPS]
        if unknown:
            raise BenchError(f"unknown group {', '.join(unknown)}; groups: {', '.join(GROUPS)}")
        if "baseline" in names and not args.baseline:
            raise BenchError("the baseline group needs --baseline REV")
        return [name for name in GROUPS if name in names]
    return [name for name, (_, _, default) in GROUPS.items()
            if default or (name == "baseline" and args.baseline)]


def main(argv: Sequence[str]) -> int:
    global RUNS
    args = parse_args(argv)
    if args.list:
        for name, (_, about, default) in GROUPS.items():
            print(f"{name:16} {about}{'' if default else ' (only when asked)'}")
        return 0
    RUNS = args.runs or (2 if args.quick else 5)
    for tool in ("cmake", "ninja", "g++", "pkg-config", "git", "tar", "stat"):
        if not shutil.which(tool):
            print(f"bench/run needs {tool} (see scripts/packages.sh)", file=sys.stderr)
            return 1

    # A SIGTERM or SIGHUP should still clean up, as Ctrl+C does.
    def stop(signum, _frame):
        raise SystemExit(128 + signum)
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGHUP, stop)

    started = time.monotonic()
    bench = None
    try:
        groups = chosen_groups(args)
        bench = Bench(args)
        bench.make_folders()
        bench.build_programs()
        facts = machine_facts(bench, groups)
        timings = []
        for name in groups:
            progress(f"[{name}] {GROUPS[name][1]} ...")
            group_start = time.monotonic()
            GROUPS[name][0](bench)
            # Other work on a shared machine shows in the load more than in any one figure.
            timings.append(f"{name} {time.monotonic() - group_start:.0f} s "
                           f"(load {os.getloadavg()[0]:.1f})")
        bench.table.note("ratios: best = ratio of the bests, median = ratio of the medians, "
                         "min-max and spread over the ratios of runs made in the same round; "
                         "targets are checked against the best column")
        bench.table.note(f"seconds per group, with the 1-minute load average at its end: "
                         f"{', '.join(timings)}; whole benchmark "
                         f"{time.monotonic() - started:.0f} s")
        noisy = bench.table.noisy(0.25)
        if noisy:
            bench.table.note(f"{noisy} rows spread by more than 25%: the machine was busy; "
                             f"compare medians, or rerun with more --runs")
        print()
        for line in facts:
            print(line)
        print()
        bench.table.print()
        return 0
    except BenchError as error:
        print(f"\nbench/run: ABORTED: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("\nbench/run: interrupted", file=sys.stderr)
        return 130
    finally:
        if bench:
            bench.cleanup()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
