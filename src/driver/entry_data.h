#pragma once
// The entry's data: the source read into the open entry, stored through minizip as it is, or
// read whole into the packing thread's buffer and deflated in one call, or streamed through
// zlib block by block, or (chunk_pipeline.h) cut into chunks that several threads deflate side
// by side. deflate_engine.h tells which library deflates which file.

#include <minizip/zip.h>

#include <cstddef>

#include "core/run_data.h"
#include "driver/archive_stream.h"
#include "driver/packer.h"
#include "driver/source.h"

// One entry being written, and what its data step learns.
struct EntryWrite {
  Packer& packer;
  zipFile archive;
  Source& source;
  const ArchiveStream& stream;
  int level;  // 0: stored
  bool zip64;
  std::size_t nameLength;

  uLong crc = 0;     // of every byte read
  bool raw = false;  // minizip was handed deflated data: the entry is closed with crc and size
};

// Reads the source into the open entry block by block: stored at level 0, else deflated by
// zlib's stream. True when the file was read to its end and every block written; otherwise the
// report is made. A lease broken meanwhile (another program opened the file) ends it at once,
// reported as in use.
bool copyInBlocks(EntryWrite& entry, FileOutcome& outcome);

// Reads a file below kWholeFileLimit whole, in one read that asks for a byte more than its size
// (a file that grew gives more, and has changed, which the commit tells), and deflates what was
// read in one call of its engine. As copyInBlocks.
bool copyWhole(EntryWrite& entry, FileOutcome& outcome);

// Every way of copying reads the source through this: up to `size` bytes into `buffer`, `got`
// set, the progress told. False, with the report made, when the read failed or the file in hand
// must not go on: it grew past what the entry can describe, or another program opened it.
bool readSome(EntryWrite& entry, unsigned char* buffer, std::size_t size, std::size_t& got,
              FileOutcome& outcome);
