#pragma once
// Deflating one big file on several threads, as one deflate stream.
//
// The protocol: the packing thread reads the file in chunks of 256 KiB and hands each to the
// pool as a ChunkTask, with the 32 KiB of data before it as its dictionary, at most eight in
// flight. Any thread of the pool (the packing thread among them, while it waits) deflates a
// chunk with its own engines (deflate_engine.h): zlib's stream primed with the dictionary and
// ended with a sync flush, or ISA-L's stateless call ended on a byte-aligned block that is not
// the last; the last chunk ends the stream. Each chunk's CRC is computed alongside. The packing
// thread takes the chunks back in order, writes their output into the raw entry and joins their
// CRCs with crc32_combine. So the chunks joined in order are one deflate stream, which any
// inflater reads as it reads a stream deflated in one go. Without a pool the packing thread
// deflates each chunk itself as it reads it: the way ISA-L deflates a big file on one thread.

#include <atomic>
#include <functional>
#include <vector>

#include "driver/deflate_engine.h"
#include "driver/entry_data.h"
#include "driver/packer.h"

struct ChunkTask {
  std::vector<unsigned char> input;
  std::vector<unsigned char> dictionary;  // up to 32 KiB before the chunk; empty for the first
  bool last = false;
  Engine engine{};
  std::vector<unsigned char> output;  // its first `made` bytes
  std::size_t made = 0;
  uLong crc = 0;    // of input
  bool ok = false;  // deflate did its part
  std::atomic<bool> done{false};
};

// Deflates task with one thread's engines.
void deflateChunk(ChunkTask& task, DeflateEngines& engines);

class ChunkPool {
 public:
  virtual ~ChunkPool() = default;
  virtual void submit(ChunkTask* task) = 0;
  // Deflates waiting chunks on the calling thread, with its packer's stream, until done() holds.
  virtual void helpUntil(Packer& packer, const std::function<bool()>& done) = 0;
};

// Reads the source in chunks that entry.packer.chunks deflates side by side (without a pool,
// one after the other), and writes their output in order into the open raw entry. As
// copyInBlocks.
bool copyInChunks(EntryWrite& entry, FileOutcome& outcome);
