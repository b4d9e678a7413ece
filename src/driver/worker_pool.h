#pragma once
// Packing with several threads. Workers pack whole files; the chunks of big files are deflated
// by whichever threads are free, the thread packing that file among them. The thread that runs
// the batch hands files out and hears of them through their jobs.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "driver/archive.h"
#include "driver/chunk_pipeline.h"

// A file handed to the workers. position and size follow its progress; outcome is valid once
// finished() says so.
struct FileJob {
  int number = 0;
  SearchEntry entry;
  int folderError = 0;       // not a file: a folder of the walk that could not be read
  bool tempArchive = false;  // not a file: a temporary archive's name, never packed
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
  // Starts up to `workers` threads; with chunking, big files are cut into chunks that every
  // worker helps to deflate. Fewer start when the system refuses threads: see started(). With
  // none at all (workers 0), the thread that waits for a file packs it.
  WorkerPool(BatchRun& run, int workers, bool chunking);
  ~WorkerPool() override;
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // The threads that did start, and the errno of the first that did not (0 when all did).
  int started() const { return static_cast<int>(threads_.size()); }
  int startError() const { return startError_; }

  // Hands the jobs out, in order.
  void submit(const std::vector<FileJob*>& jobs);
  // Takes back the jobs no worker has begun, and returns them.
  std::vector<FileJob*> takeBack();
  // Waits until the workers are about to run out of files or the time is up (at once when the
  // job is finished already); true when the job is finished. Without workers it packs the job
  // itself, whole.
  bool waitFor(FileJob& job, int milliseconds);
  // Without workers: called once the file packed on the waiting thread is open (the look at
  // it), and after every block of it.
  void onOpenedHere(std::function<void(FileJob&)> opened) { openedHere_ = std::move(opened); }
  void onProgressHere(std::function<void(const FileJob&)> progress) {
    progressHere_ = std::move(progress);
  }

  void submit(ChunkTask* task) override;
  void helpUntil(Packer& packer, const std::function<bool()>& done) override;

 private:
  void work(Packer& packer);
  void pack(FileJob& job, Packer& packer, std::uint64_t ticket);
  bool packHere(FileJob& job);
  void finishChunk(ChunkTask& task, Packer& packer);
  // Deflates the oldest waiting chunk, if there is one, with the lock released meanwhile.
  bool runWaitingChunk(std::unique_lock<std::mutex>& guard, Packer& packer);
  // Device and inode.
  using FileKey = std::pair<std::uint64_t, std::uint64_t>;
  // Two names of one file (hard links, links) are packed one after the other, in the order
  // the files were handed out, as a run in turn packs them. Claims are made in ticket order;
  // file is null for a job that is no file. True when the job had to wait for another.
  bool claimFile(const FileKey* file, std::uint64_t ticket);
  void releaseFile(const FileKey& file);

  BatchRun& run_;
  std::vector<std::unique_ptr<Packer>> packers_;
  std::vector<std::thread> threads_;
  int startError_ = 0;
  std::unique_ptr<Packer> here_;  // without workers: the waiting thread's own
  std::function<void(FileJob&)> openedHere_;
  std::function<void(const FileJob&)> progressHere_;
  std::mutex lock_;
  std::condition_variable changed_;  // for the workers: a file or a chunk came or a chunk is done
  std::condition_variable awake_;    // for the batch thread: see waitFor
  std::condition_variable claims_;   // for workers waiting to claim a file
  std::deque<FileJob*> files_;
  std::deque<ChunkTask*> chunks_;
  std::uint64_t nextTicket_ = 0;  // given to the next file a worker takes
  std::uint64_t nextClaim_ = 0;   // the ticket whose claim comes next
  // The files in hand, by device and inode, each with the tickets that hold or wait for it.
  std::map<FileKey, std::deque<std::uint64_t>> inHand_;
  bool starving_ = false;  // fewer files wait than there are workers
  std::size_t lowWater_;
  bool stopping_ = false;
};

// One worker per online core the process may run on.
int onlineCores();
