"""Runs the built program as a script would, with no terminal, and reads its archives back as
outside readers see them: Python's zipfile, the raw headers, and unzip where it is installed."""

import os
import shutil
import struct
import subprocess
import tempfile
import time
import zipfile

# General-purpose flags minizip writes for each deflate level (bit 11 aside).
LEVEL_FLAGS = {1: 0x0006, 2: 0x0004, 8: 0x0002, 9: 0x0002}
UTF8_FLAG = 0x0800


def run(binary, folder, *args, fsize=None, timeout=120):
    """Runs the program in folder with no terminal: its own session, input from /dev/null and
    output to a file, so the console draws nothing and a run always ends by itself. Returns the
    exit code (negative for a signal)."""
    command = [binary, *args]
    if fsize is not None:
        command = ["prlimit", f"--fsize={fsize}", "--", *command]
    with tempfile.TemporaryFile() as output:
        done = subprocess.run(command, cwd=folder, stdin=subprocess.DEVNULL, stdout=output,
                              stderr=subprocess.STDOUT, start_new_session=True,
                              timeout=timeout, check=False)
    return done.returncode


def dos_date_time(mtime):
    """What a reader shows for a file modified at mtime: local time, two-second steps, the
    years 1980 to 2107."""
    local = time.localtime(mtime)
    if local.tm_year < 1980:
        return (1980, 1, 1, 0, 0, 0)
    if local.tm_year > 2107:
        return (2107, 12, 31, 23, 59, 58)
    return (local.tm_year, local.tm_mon, local.tm_mday, local.tm_hour, local.tm_min,
            local.tm_sec // 2 * 2)


def name_bytes(info):
    """The entry name's bytes as stored: zipfile decodes names without the UTF-8 flag as
    code page 437, which maps every byte."""
    encoding = "utf-8" if info.flag_bits & UTF8_FLAG else "cp437"
    return info.filename.encode(encoding)


def local_header(path, info):
    with open(path, "rb") as archive:
        archive.seek(info.header_offset)
        fields = struct.unpack("<IHHHHHIIIHH", archive.read(30))
        name = archive.read(fields[9])
        extra = archive.read(fields[10])
    keys = ("signature", "version", "flag", "method", "time", "date", "crc", "compressed",
            "size", "name_length", "extra_length")
    header = dict(zip(keys, fields))
    header["name"] = name
    header["extra"] = extra
    return header


def unzip_test(path):
    """True when unzip finds the archive sound; None when unzip is not installed."""
    if shutil.which("unzip") is None:
        return None
    done = subprocess.run(["unzip", "-tqq", os.fsencode(path)], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, check=False)
    return done.returncode == 0


def unix_extra(status, local):
    """The extra fields a Unix host writes: the times in UTC (modification and, in the local
    header, access) and the owner."""
    times = struct.pack("<I", int(status.st_mtime) & 0xFFFFFFFF)
    if local:
        times += struct.pack("<I", int(status.st_atime) & 0xFFFFFFFF)
    return (struct.pack("<HHB", 0x5455, 1 + len(times), 3) + times +
            struct.pack("<HHBBIBI", 0x7875, 11, 1, 4, status.st_uid, 4, status.st_gid))


def without_access_time(archive):
    """The archive's bytes with the access time in its local header zeroed: a time the source
    had when it was read, which reading it may move (atime), so two programs that read one file
    in turn see two."""
    if not archive.startswith(b"PK\x03\x04"):
        return archive
    data = bytearray(archive)
    name_length, extra_length = struct.unpack_from("<HH", data, 26)
    at, end = 30 + name_length, 30 + name_length + extra_length
    while at + 4 <= end:
        field, size = struct.unpack_from("<HH", data, at)
        if field == 0x5455 and size == 9:
            data[at + 9:at + 13] = bytes(4)
        at += 4 + size
    return bytes(data)


def check_single_entry(test, archive_path, source_path, entry_name, level=-1, source_status=None):
    """The archive holds exactly one entry, named entry_name (bytes), with the source's data,
    date, mode, times and owner, written as the plain call sequence writes it. source_status:
    the source's status when it is gone (-D)."""
    with open(source_path, "rb") as source:
        data = source.read()
    status = source_status or os.stat(source_path)
    mtime = status.st_mtime
    utf8 = _is_non_ascii_utf8(entry_name)
    with open(archive_path, "rb") as raw, zipfile.ZipFile(raw) as archive:
        entries = archive.infolist()
        test.assertEqual(len(entries), 1)
        info = entries[0]
        test.assertEqual(name_bytes(info), entry_name)
        test.assertEqual(info.compress_type, zipfile.ZIP_STORED if level == 0 else zipfile.ZIP_DEFLATED)
        expected_flags = LEVEL_FLAGS.get(level, 0) | (UTF8_FLAG if utf8 else 0)
        test.assertEqual(info.flag_bits, expected_flags)
        test.assertEqual(info.date_time, dos_date_time(mtime))
        read_only = 0 if status.st_mode & 0o200 else 1
        test.assertEqual(info.external_attr, (status.st_mode << 16) | read_only)
        test.assertIn(info.internal_attr, (0, 1))  # 1: zlib judged the data to be text
        test.assertEqual((info.create_system, info.create_version), (3, 0))
        test.assertEqual(info.extra, unix_extra(status, local=False))
        test.assertEqual(info.comment, b"")
        test.assertEqual(archive.comment, b"")
        test.assertEqual(info.file_size, len(data))
        test.assertEqual(archive.read(info), data)
        header = local_header(archive_path, info)
    test.assertEqual(header["signature"], 0x04034B50)
    test.assertEqual(header["flag"], expected_flags)
    test.assertEqual(header["name"], entry_name)
    # The access time is the one the source had before it was read: whatever it is now.
    expected = unix_extra(status, local=True)
    test.assertEqual(len(header["extra"]), len(expected))
    test.assertEqual(header["extra"][:9] + header["extra"][13:], expected[:9] + expected[13:])
    test.assertIn(unzip_test(archive_path), (True, None))


def _is_non_ascii_utf8(name):
    if all(byte < 0x80 for byte in name):
        return False
    try:
        name.decode("utf-8", errors="strict")  # rejects overlong forms and surrogates
    except UnicodeDecodeError:
        return False
    return True
