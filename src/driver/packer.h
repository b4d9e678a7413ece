#pragma once
// What one packing thread owns: its buffers, its deflate engines (set up once, reused for every
// file), its random names, its slot in the records the signal handlers read.

#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include "driver/deflate_engine.h"
#include "driver/verify.h"

class ChunkPool;

inline constexpr int readBlockSize = 16384;

class Packer {
 public:
  // slot: 0 for the batch thread, n for worker n.
  explicit Packer(int slot = 0) : slot_(slot) {}
  Packer(const Packer&) = delete;
  Packer& operator=(const Packer&) = delete;

  // Told the source's size once it is open, before its first read.
  std::function<void(std::uint64_t)> opened;
  // Told the read position and the source's size after every block.
  std::function<void(std::uint64_t, std::uint64_t)> progress;
  // Big files are cut into chunks deflated by this pool's threads; without one, or at level 0,
  // every file is deflated here in one stream.
  ChunkPool* chunks = nullptr;

  int slot() const { return slot_; }
  std::mt19937_64& random() { return random_; }
  unsigned char* readBuffer() { return readBuffer_.data(); }
  std::vector<unsigned char>& writeBuffer() { return writeBuffer_; }
  std::vector<unsigned char>& deflateBuffer() { return deflateBuffer_; }
  // A file deflated whole is read into the one and deflated into the other; they grow to the
  // largest such file and stay.
  std::vector<unsigned char>& wholeInput() { return wholeInput_; }
  std::vector<unsigned char>& wholeOutput() { return wholeOutput_; }
  DeflateEngines& engines() { return engines_; }
  // Reads archives back before anything is destroyed.
  ArchiveReader& reader() { return reader_; }

 private:
  int slot_;
  std::mt19937_64 random_{std::random_device{}()};
  std::vector<unsigned char> readBuffer_ = std::vector<unsigned char>(readBlockSize);
  std::vector<unsigned char> writeBuffer_ = std::vector<unsigned char>(64 << 10);
  std::vector<unsigned char> deflateBuffer_ = std::vector<unsigned char>(64 << 10);
  std::vector<unsigned char> wholeInput_;
  std::vector<unsigned char> wholeOutput_;
  DeflateEngines engines_;
  ArchiveReader reader_;
};
