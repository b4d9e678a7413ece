#pragma once
// The temporary archives this process has on disk, recorded so that every abrupt way out (a
// fatal signal, running out of memory) removes them with async-signal-safe calls. Only files
// this process created are ever named here; an archive at its final name never is.

// One slot per thread that writes archives.
inline constexpr int kTempSlots = 65;

// Names the temporary file `name` of folder `folderFd` in slot `slot`; from before the file is
// created until it is renamed or removed.
void recordTempFile(int slot, int folderFd, const char* name);
void forgetTempFile(int slot);

// Unlinks every recorded temporary file. Async-signal-safe.
void removeTempFiles();
