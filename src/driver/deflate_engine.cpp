#include "driver/deflate_engine.h"

#include <isa-l/igzip_lib.h>
#include <libdeflate.h>

namespace {

// minizip's DEF_MEM_LEVEL, the memory level its own stream is set up with.
constexpr int kMemLevel = 8;

// Room for a stream of `size` bytes that do not compress: stored blocks of at most 64 KiB cost
// five bytes each, and a block header may come before them.
std::size_t storedBound(std::size_t size) {
  return size + (size / 65535 + 2) * 5 + ISAL_DEF_MAX_HDR_SIZE + 64;
}

// Data deflate cannot shrink (compressed, encrypted, media) ends in stored blocks at every
// level, yet libdeflate and zlib search it for matches as long as they search text, where
// ISA-L's level 1 gives up ten times sooner. Its first bytes tell, at a small share of the cost
// of deflating them: a file or piece they are found in is given to ISA-L, which keeps it
// stored only when the whole of it does not shrink either.
constexpr std::size_t kProbeSize = 8 << 10;

// Output buffers only grow: a vector made smaller would be filled with zeros again each time it
// grows back, a pass over every chunk's worth of memory for nothing.
void roomFor(std::vector<unsigned char>& out, std::size_t size) {
  if (out.size() < size) out.resize(size);
}

std::size_t isalLevelBufferSize(int level) {
  switch (level) {
    case 1:
      return ISAL_DEF_LVL1_DEFAULT;
    case 2:
      return ISAL_DEF_LVL2_DEFAULT;
    default:
      return ISAL_DEF_LVL3_DEFAULT;
  }
}

}  // namespace

Engine engineForWhole(int level) {
  switch (level) {
    case 1:
      return {Library::Isal, 1};
    case 2:
    case 3:
      return {Library::Libdeflate, 2};
    case 4:
      return {Library::Libdeflate, 3};
    case 5:
    case 6:
      return {Library::Libdeflate, 5};
    default:
      return {Library::Libdeflate, 6};
  }
}

Engine engineForPieces(int level) {
  if (level == 1) return {Library::Isal, 1};
  return {Library::Zlib, level};
}

std::uint32_t crc32Of(std::uint32_t crc, const unsigned char* data, std::size_t size) {
  return libdeflate_crc32(crc, data, size);
}

DeflateEngines::~DeflateEngines() {
  if (libdeflate_ != nullptr) libdeflate_free_compressor(libdeflate_);
  if (streamReady_) deflateEnd(&stream_);
}

z_stream* DeflateEngines::zlibStream(int level) {
  if (streamReady_ && streamLevel_ == level) {
    deflateReset(&stream_);
    return &stream_;
  }
  if (streamReady_) deflateEnd(&stream_);
  stream_ = z_stream{};
  // As minizip sets its own stream up: raw deflate, the default memory level and strategy.
  streamReady_ =
      deflateInit2(&stream_, level, Z_DEFLATED, -MAX_WBITS, kMemLevel, Z_DEFAULT_STRATEGY) == Z_OK;
  streamLevel_ = level;
  return streamReady_ ? &stream_ : nullptr;
}

bool DeflateEngines::storedAnyway(const unsigned char* in, std::size_t size,
                                  const unsigned char* dictionary, std::size_t dictionarySize,
                                  bool last, std::vector<unsigned char>& out, std::size_t& made) {
  if (size < 2 * kProbeSize) return false;
  if (!isal(in, kProbeSize, nullptr, 0, true, 1, out, made) || made < kProbeSize) return false;
  return isal(in, size, dictionary, dictionarySize, last, 1, out, made) && made >= size;
}

bool DeflateEngines::deflateWhole(Engine engine, const unsigned char* in, std::size_t size,
                                  std::vector<unsigned char>& out, std::size_t& made) {
  if (engine.library == Library::Isal) {
    return isal(in, size, nullptr, 0, true, engine.level, out, made);
  }
  if (storedAnyway(in, size, nullptr, 0, true, out, made)) return true;
  if (engine.library == Library::Zlib) {
    return deflatePiece(engine, in, size, nullptr, 0, true, out, made);
  }
  if (libdeflate_ == nullptr || libdeflateLevel_ != engine.level) {
    if (libdeflate_ != nullptr) libdeflate_free_compressor(libdeflate_);
    libdeflate_ = libdeflate_alloc_compressor(engine.level);
    libdeflateLevel_ = engine.level;
    if (libdeflate_ == nullptr) return false;
  }
  roomFor(out, libdeflate_deflate_compress_bound(libdeflate_, size));
  // Within the bound it always succeeds; 0 would mean a bound that was not.
  made = libdeflate_deflate_compress(libdeflate_, in, size, out.data(), out.size());
  return made != 0;
}

bool DeflateEngines::deflatePiece(Engine engine, const unsigned char* in, std::size_t size,
                                  const unsigned char* dictionary, std::size_t dictionarySize,
                                  bool last, std::vector<unsigned char>& out, std::size_t& made) {
  if (engine.library == Library::Isal) {
    return isal(in, size, dictionary, dictionarySize, last, engine.level, out, made);
  }
  if (storedAnyway(in, size, dictionary, dictionarySize, last, out, made)) return true;
  z_stream* stream = zlibStream(engine.level);
  if (stream == nullptr) return false;
  if (dictionarySize > 0 &&
      deflateSetDictionary(stream, dictionary, static_cast<uInt>(dictionarySize)) != Z_OK) {
    return false;
  }
  // The bound for the whole input in one call, and room for the flush's empty stored block.
  roomFor(out, deflateBound(stream, size) + 16);
  stream->next_in = const_cast<Bytef*>(in);
  stream->avail_in = static_cast<uInt>(size);
  stream->next_out = out.data();
  stream->avail_out = static_cast<uInt>(out.size());
  const int flush = last ? Z_FINISH : Z_SYNC_FLUSH;
  for (;;) {
    const int result = deflate(stream, flush);
    if (result == Z_STREAM_END ||
        (!last && result == Z_OK && stream->avail_in == 0 && stream->avail_out > 0)) {
      break;
    }
    if (result != Z_OK && result != Z_BUF_ERROR) return false;
    const std::size_t used = out.size() - stream->avail_out;
    out.resize(out.size() * 2);
    stream->next_out = out.data() + used;
    stream->avail_out = static_cast<uInt>(out.size() - used);
  }
  made = out.size() - stream->avail_out;
  return true;
}

bool DeflateEngines::isal(const unsigned char* in, std::size_t size,
                          const unsigned char* dictionary, std::size_t dictionarySize, bool last,
                          int level, std::vector<unsigned char>& out, std::size_t& made) {
  // Exactly the level's own size: a larger buffer would give it a larger hash table.
  const std::size_t levelBufferSize = isalLevelBufferSize(level);
  roomFor(isalLevelBuffer_, levelBufferSize);
  roomFor(out, storedBound(size));
  // The stateless set-up leaves the state a dictionary is checked against as it was: zeroed
  // first, it reads as a stream that has not begun.
  isal_zstream stream{};
  isal_deflate_stateless_init(&stream);
  stream.level = static_cast<std::uint32_t>(level);
  stream.level_buf = isalLevelBuffer_.data();
  stream.level_buf_size = static_cast<std::uint32_t>(levelBufferSize);
  if (dictionarySize > 0 &&
      isal_deflate_set_dict(&stream, const_cast<unsigned char*>(dictionary),
                            static_cast<std::uint32_t>(dictionarySize)) != COMP_OK) {
    return false;
  }
  stream.next_in = const_cast<unsigned char*>(in);
  stream.avail_in = static_cast<std::uint32_t>(size);
  stream.next_out = out.data();
  stream.avail_out = static_cast<std::uint32_t>(out.size());
  // A piece that is not the last ends on a byte boundary, in a block that is not final: the
  // next piece's blocks follow it as if deflated in one go.
  stream.end_of_stream = last ? 1 : 0;
  stream.flush = last ? NO_FLUSH : FULL_FLUSH;
  if (isal_deflate_stateless(&stream) != COMP_OK) return false;
  made = stream.total_out;
  return true;
}
