#pragma once
// Deflating one big file on several threads, as one deflate stream.
//
// The protocol: the packing thread reads the file in chunks of 256 KiB and hands each to the
// pool as a ChunkTask, with the 32 KiB of data before it as its dictionary, at most eight in
// flight. Any thread of the pool (the packing thread among them, while it waits) deflates a
// chunk on its own stream: primed with the dictionary, ended with a sync flush on a byte
// boundary, or, for the last chunk, with the end of the stream. Each chunk's CRC is computed
// alongside. The packing thread takes the chunks back in order, writes their output into the
// raw entry and joins their CRCs with crc32_combine. So the chunks joined in order are one
// deflate stream, which any inflater reads as it reads a stream deflated in one go.

#include <atomic>
#include <functional>
#include <vector>

#include <zlib.h>

#include "driver/entry_data.h"
#include "driver/packer.h"

// From this size on, with a pool of threads at hand, a file is deflated in chunks.
inline constexpr std::uint64_t kChunkedFrom = 4 << 20;

struct ChunkTask {
  std::vector<unsigned char> input;
  std::vector<unsigned char> dictionary;  // up to 32 KiB before the chunk; empty for the first
  bool last = false;
  int level = 0;
  std::vector<unsigned char> output;
  uLong crc = 0;    // of input
  bool ok = false;  // deflate did its part
  std::atomic<bool> done{false};
};

// Deflates task with stream, which is set up for the task's level and reset.
void deflateChunk(ChunkTask& task, z_stream& stream);

class ChunkPool {
 public:
  virtual ~ChunkPool() = default;
  virtual void submit(ChunkTask* task) = 0;
  // Deflates waiting chunks on the calling thread, with its packer's stream, until done() holds.
  virtual void helpUntil(Packer& packer, const std::function<bool()>& done) = 0;
};

// Reads the source in chunks that entry.packer.chunks deflates side by side, and writes their
// output in order into the open raw entry. As copyInBlocks.
bool copyInChunks(EntryWrite& entry, FileOutcome& outcome);
