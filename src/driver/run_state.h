#pragma once
// The run's settings and the state of the file in hand: plain data, shared by the batch driver
// and the interface that reports on it.

#include <cstdint>
#include <string>

struct RunOptions {
  std::string fileMask;          // parameter 1, as typed
  int compressionLevel = -1;     // -1: zlib's default level; 0: stored; 1-9: deflate level
  bool overwriteArchives = false;
  bool deleteAfterZipping = false;
};

struct RunState {
  RunOptions options;
  std::int32_t fileCount = 0;  // entries handed to archiving so far, skipped and failed ones included
  std::string baseName;        // the file in hand's name up to its last dot
  std::string extension;       // from its last dot on, dot included; empty without a dot
};

inline RunState runState;
