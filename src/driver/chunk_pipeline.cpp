#include "driver/chunk_pipeline.h"

#include <algorithm>
#include <cerrno>
#include <deque>
#include <memory>

namespace {

constexpr std::size_t kChunkSize = 256 << 10;
constexpr std::size_t kWindow = 32 << 10;
constexpr std::size_t kChunksInFlight = 8;

}  // namespace

void deflateChunk(ChunkTask& task, z_stream& stream) {
  task.crc = crc32(0, task.input.data(), static_cast<uInt>(task.input.size()));
  if (!task.dictionary.empty() &&
      deflateSetDictionary(&stream, task.dictionary.data(),
                           static_cast<uInt>(task.dictionary.size())) != Z_OK) {
    return;
  }
  // The bound for the whole input in one call, and room for the flush's empty stored block.
  task.output.resize(deflateBound(&stream, task.input.size()) + 16);
  stream.next_in = task.input.data();
  stream.avail_in = static_cast<uInt>(task.input.size());
  stream.next_out = task.output.data();
  stream.avail_out = static_cast<uInt>(task.output.size());
  const int flush = task.last ? Z_FINISH : Z_SYNC_FLUSH;
  for (;;) {
    const int result = deflate(&stream, flush);
    if (result == Z_STREAM_END ||
        (flush == Z_SYNC_FLUSH && result == Z_OK && stream.avail_in == 0 && stream.avail_out > 0)) {
      break;
    }
    if (result != Z_OK && result != Z_BUF_ERROR) return;
    const std::size_t used = task.output.size() - stream.avail_out;
    task.output.resize(task.output.size() * 2);
    stream.next_out = task.output.data() + used;
    stream.avail_out = static_cast<uInt>(task.output.size() - used);
  }
  task.output.resize(task.output.size() - stream.avail_out);
  task.ok = true;
}

bool copyInChunks(EntryWrite& entry, FileOutcome& outcome) {
  Packer& packer = entry.packer;
  Source& source = entry.source;
  ChunkPool& pool = *packer.chunks;
  std::deque<std::unique_ptr<ChunkTask>> pending;
  std::vector<unsigned char> window;  // the last 32 KiB read, the next chunk's dictionary
  bool ok = true;
  bool readAll = false;
  entry.raw = true;
  entry.crc = crc32(0, nullptr, 0);
  while (ok && (!readAll || !pending.empty())) {
    while (ok && !readAll && pending.size() < kChunksInFlight) {
      auto task = std::make_unique<ChunkTask>();
      task->level = entry.level;
      task->input.resize(kChunkSize);
      int readError = 0;
      task->input.resize(source.read(task->input.data(), kChunkSize, readError));
      if (readError != 0) {
        outcome.report(LOG_READ_FAILED, readError);
        ok = false;
        break;
      }
      if (!task->input.empty() && packer.progress) {
        packer.progress(source.position(), std::max(source.position(), source.size()));
      }
      if (!mayGoOn(entry, outcome)) {
        ok = false;
        break;
      }
      readAll = source.atEnd();
      task->dictionary = window;
      window.insert(window.end(), task->input.begin(), task->input.end());
      if (window.size() > kWindow) window.erase(window.begin(), window.end() - kWindow);
      task->last = readAll;
      pool.submit(task.get());
      pending.push_back(std::move(task));
    }
    if (!ok || pending.empty()) break;
    const ChunkTask& oldest = *pending.front();
    pool.helpUntil(packer, [&oldest] { return oldest.done.load(); });
    if (!oldest.ok) {
      outcome.report(LOG_WRITE_FAILED, ENOMEM);
      ok = false;
    } else {
      entry.crc = crc32_combine(entry.crc, oldest.crc, static_cast<z_off_t>(oldest.input.size()));
      if (!oldest.output.empty() &&
          zipWriteInFileInZip(entry.archive, oldest.output.data(),
                              static_cast<unsigned>(oldest.output.size())) < 0) {
        outcome.report(LOG_WRITE_FAILED, entry.stream.error());
        ok = false;
      }
    }
    pending.pop_front();
  }
  // Chunks still in the pool's hands are waited for before their buffers go.
  pool.helpUntil(packer, [&pending] {
    return std::all_of(pending.begin(), pending.end(),
                       [](const auto& task) { return task->done.load(); });
  });
  return ok;
}
