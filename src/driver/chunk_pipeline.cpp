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

void deflateChunk(ChunkTask& task, DeflateEngines& engines) {
  task.crc = crc32Of(0, task.input.data(), task.input.size());
  task.ok = engines.deflatePiece(task.engine, task.input.data(), task.input.size(),
                                 task.dictionary.data(), task.dictionary.size(), task.last,
                                 task.output, task.made);
}

bool copyInChunks(EntryWrite& entry, FileOutcome& outcome) {
  Packer& packer = entry.packer;
  Source& source = entry.source;
  ChunkPool* const pool = packer.chunks;
  const std::size_t inFlight = pool != nullptr ? kChunksInFlight : 1;
  std::deque<std::unique_ptr<ChunkTask>> pending;
  // Tasks written out come back for the next chunks, their buffers already the right size.
  std::vector<std::unique_ptr<ChunkTask>> spare;
  std::vector<unsigned char> window;  // the last 32 KiB read, the next chunk's dictionary
  bool ok = true;
  bool readAll = false;
  entry.raw = true;
  entry.crc = crc32(0, nullptr, 0);
  while (ok && (!readAll || !pending.empty())) {
    while (ok && !readAll && pending.size() < inFlight) {
      std::unique_ptr<ChunkTask> task;
      if (spare.empty()) {
        task = std::make_unique<ChunkTask>();
      } else {
        task = std::move(spare.back());
        spare.pop_back();
        task->done = false;
      }
      task->engine = engineForPieces(entry.level);
      task->input.resize(kChunkSize);
      std::size_t got = 0;
      ok = readSome(entry, task->input.data(), kChunkSize, got, outcome);
      if (!ok) break;
      task->input.resize(got);
      readAll = source.atEnd();
      task->dictionary = window;
      if (task->input.size() >= kWindow) {
        window.assign(task->input.end() - kWindow, task->input.end());
      } else {
        window.insert(window.end(), task->input.begin(), task->input.end());
        if (window.size() > kWindow) window.erase(window.begin(), window.end() - kWindow);
      }
      task->last = readAll;
      if (pool != nullptr) {
        pool->submit(task.get());
      } else {
        deflateChunk(*task, packer.engines());
        task->done = true;
      }
      pending.push_back(std::move(task));
    }
    if (!ok || pending.empty()) break;
    const ChunkTask& oldest = *pending.front();
    if (pool != nullptr) pool->helpUntil(packer, [&oldest] { return oldest.done.load(); });
    if (!oldest.ok) {
      outcome.report(LOG_WRITE_FAILED, ENOMEM);
      ok = false;
    } else {
      entry.crc = crc32_combine(entry.crc, oldest.crc, static_cast<z_off_t>(oldest.input.size()));
      if (oldest.made > 0 && zipWriteInFileInZip(entry.archive, oldest.output.data(),
                                                 static_cast<unsigned>(oldest.made)) < 0) {
        outcome.report(LOG_WRITE_FAILED, entry.stream.error());
        ok = false;
      }
    }
    spare.push_back(std::move(pending.front()));
    pending.pop_front();
  }
  // Chunks still in the pool's hands are waited for before their buffers go.
  if (pool != nullptr) {
    pool->helpUntil(packer, [&pending] {
      return std::all_of(pending.begin(), pending.end(),
                         [](const auto& task) { return task->done.load(); });
    });
  }
  return ok;
}
