#pragma once
// Packing with several threads. Workers pack whole files; the chunks of big files are deflated
// by whichever threads are free, the thread packing that file among them. The thread that runs
// the batch hands files out and hears of them through their jobs.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <zlib.h>

#include "driver/archive.h"

// One chunk of a big file: deflated on its own, primed with the 32 KiB before it, and ended on
// a byte boundary (or, for the last, with the end of the stream), so the chunks joined in order
// are one deflate stream.
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

// A file handed to the workers. position and size follow its progress; outcome is valid once
// finished() says so.
struct FileJob {
  int number = 0;
  SearchEntry entry;
  int folderError = 0;  // not a file: a folder of the walk that could not be read
  // Set once a worker has looked at the entry; notAFile then when it is no regular file (it is
  // passed over without a word, as the search passes over such names).
  std::atomic<bool> looked{false};
  bool notAFile = false;
  std::atomic<std::uint64_t> position{0};
  std::atomic<std::uint64_t> size{0};
  FileOutcome outcome;
  std::atomic<bool> finished{false};
};

class WorkerPool final : public ChunkPool {
 public:
  // With chunking, big files are cut into chunks that every worker helps to deflate.
  WorkerPool(BatchRun& run, int workers, bool chunking);
  ~WorkerPool() override;
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Hands the jobs out, in order.
  void submit(const std::vector<FileJob*>& jobs);
  // Takes back the jobs no worker has begun, and returns them.
  std::vector<FileJob*> takeBack();
  // Waits until the workers are about to run out of files or the time is up (at once when the
  // job is finished already); true when the job is finished.
  bool waitFor(const FileJob& job, int milliseconds);

  void submit(ChunkTask* task) override;
  void helpUntil(Packer& packer, const std::function<bool()>& done) override;

 private:
  void work(Packer& packer);
  void finishChunk(ChunkTask& task, Packer& packer);
  // Deflates the oldest waiting chunk, if there is one, with the lock released meanwhile.
  bool runWaitingChunk(std::unique_lock<std::mutex>& guard, Packer& packer);

  BatchRun& run_;
  std::vector<std::unique_ptr<Packer>> packers_;
  std::vector<std::thread> threads_;
  std::mutex lock_;
  std::condition_variable changed_;  // for the workers: a file or a chunk came or a chunk is done
  std::condition_variable awake_;    // for the batch thread: see waitFor
  std::deque<FileJob*> files_;
  std::deque<ChunkTask*> chunks_;
  bool starving_ = false;  // fewer files wait than there are workers
  std::size_t lowWater_;
  bool stopping_ = false;
};

// One worker per online core the process may run on.
int onlineCores();
