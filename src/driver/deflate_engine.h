#pragma once
// Which library deflates a file, and one packing thread's set of them.
//
// Every level from 2 on is served by the fastest library whose output is no larger than zlib's
// at that level on log text, binary-ish data (shared libraries) and random bytes, in 1 KiB and
// 64 KiB files and one big log, as bench/run --only engines measures it:
//
//   level   a whole file (below kWholeFileLimit)    a big file, in pieces
//   1       ISA-L 1                                 ISA-L 1
//   2, 3    libdeflate 2                            zlib 2, 3
//   4       libdeflate 3                            zlib 4
//   5, 6    libdeflate 5                            zlib 5, 6
//   7-9     libdeflate 6                            zlib 7-9
//
// Level 1 is the fast one: ISA-L's level 1 deflates four to ten times as fast as zlib's, its
// output smaller on text and about 3% larger on binary-ish data. libdeflate 1 is larger than
// zlib 2 on binary-ish data, hence 2 for level 2. Text of a handful of words in a random order
// is the one kind met where libdeflate comes out larger than zlib at the same level: 0.4% at 6
// on sentences of common words, 5 to 19% on text of eight words.
//
// Data that does not shrink at all is stored, whatever the level, by ISA-L's level 1, which
// finds that out soonest (DeflateEngines::storedAnyway).
//
// libdeflate deflates whole buffers only and always ends the stream, so it never deflates a
// piece of one: big files are zlib's (a stream, or chunks primed with the 32 KiB before them),
// or at level 1 ISA-L's, whose stateless call can end a piece on a byte-aligned block that is
// not the last. ISA-L's levels 2 and 3 are larger than zlib's own on some of that data. Level 0
// is minizip's own stored path and none of these.

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <vector>

struct libdeflate_compressor;

enum class Library : std::uint8_t { Zlib, Libdeflate, Isal };

struct Engine {
  Library library;
  int level;  // the library's own
};

// Files from this size on are deflated in pieces; below it whole, from one buffer, which each
// packing thread keeps (with room for the output) at up to twice this size.
inline constexpr std::uint64_t kWholeFileLimit = 4 << 20;

Engine engineForWhole(int level);
Engine engineForPieces(int level);

// CRC-32 by the fastest of the libraries at hand.
std::uint32_t crc32Of(std::uint32_t crc, const unsigned char* data, std::size_t size);

// One thread's engines, each set up on first use and kept for every file after.
class DeflateEngines {
 public:
  DeflateEngines() = default;
  ~DeflateEngines();
  DeflateEngines(const DeflateEngines&) = delete;
  DeflateEngines& operator=(const DeflateEngines&) = delete;

  // Deflates `size` bytes into `out` (grown as needed) as a complete raw deflate stream.
  // Sets `made` to the bytes made; false when the library could not set itself up.
  bool deflateWhole(Engine engine, const unsigned char* in, std::size_t size,
                    std::vector<unsigned char>& out, std::size_t& made);
  // Deflates a piece of a stream into `out`, primed with the bytes before it, ended on a byte
  // boundary (the next piece follows it in the same stream) or, when last, with the stream's
  // end; as deflateWhole. Engine must be one of engineForPieces.
  bool deflatePiece(Engine engine, const unsigned char* in, std::size_t size,
                    const unsigned char* dictionary, std::size_t dictionarySize, bool last,
                    std::vector<unsigned char>& out, std::size_t& made);
  // zlib's raw deflate stream at this level, as deflateInit2 would leave it; null without
  // memory.
  z_stream* zlibStream(int level);

 private:
  // True, with ISA-L's output in `out`, when deflate cannot shrink the data: every block of it
  // stored. Otherwise `out` holds nothing of use.
  bool storedAnyway(const unsigned char* in, std::size_t size, const unsigned char* dictionary,
                    std::size_t dictionarySize, bool last, std::vector<unsigned char>& out,
                    std::size_t& made);
  bool isal(const unsigned char* in, std::size_t size, const unsigned char* dictionary,
            std::size_t dictionarySize, bool last, int level, std::vector<unsigned char>& out,
            std::size_t& made);

  libdeflate_compressor* libdeflate_ = nullptr;
  int libdeflateLevel_ = 0;
  std::vector<unsigned char> isalLevelBuffer_;
  z_stream stream_{};
  int streamLevel_ = 0;
  bool streamReady_ = false;
};
