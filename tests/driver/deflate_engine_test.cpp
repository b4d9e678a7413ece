// Every engine's output inflates back, by zlib, to what it was given: whole, and in pieces that
// join into one stream at any boundary; data that does not shrink is stored whatever the level.

#include "driver/deflate_engine.h"

#include <gtest/gtest.h>
#include <libdeflate.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes logText(std::size_t size) {
  std::string text;
  for (int i = 0; text.size() < size; ++i) {
    text += "2024-05-17T12:00:" + std::to_string(i % 60) + " web-0" + std::to_string(i % 7) +
            " GET /api/items/" + std::to_string(i * 7919 % 100000) + " 200 " +
            std::to_string(i * 31 % 5000) + "\n";
  }
  text.resize(size);
  return Bytes(text.begin(), text.end());
}

Bytes noise(std::size_t size) {
  std::mt19937 random(size);
  Bytes data(size);
  for (unsigned char& byte : data) byte = static_cast<unsigned char>(random());
  return data;
}

// The raw deflate stream inflated to its end, which must be where the stream's bytes end.
Bytes inflateAll(const Bytes& deflated) {
  z_stream stream{};
  EXPECT_EQ(inflateInit2(&stream, -MAX_WBITS), Z_OK);
  Bytes out(1 << 16), all;
  stream.next_in = const_cast<unsigned char*>(deflated.data());
  stream.avail_in = static_cast<uInt>(deflated.size());
  int result = Z_OK;
  while (result == Z_OK) {
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    result = inflate(&stream, Z_NO_FLUSH);
    all.insert(all.end(), out.begin(), out.end() - stream.avail_out);
  }
  EXPECT_EQ(result, Z_STREAM_END);
  EXPECT_EQ(stream.avail_in, 0u);
  inflateEnd(&stream);
  return all;
}

const std::vector<Bytes>& samples() {
  static const std::vector<Bytes> data = {
      {}, logText(1), logText(1000), noise(70000), logText(300000)};
  return data;
}

TEST(DeflateEngines, EveryLevelsWholeEngineGivesAStreamThatInflatesBack) {
  DeflateEngines engines;
  Bytes out;
  for (int level = 1; level <= 9; ++level) {
    // Each level twice: an engine set up for one level and reused for another must not mix.
    for (const Bytes& data : samples()) {
      SCOPED_TRACE("level " + std::to_string(level) + ", " + std::to_string(data.size()));
      std::size_t made = 0;
      ASSERT_TRUE(engines.deflateWhole(engineForWhole(level), data.data(), data.size(), out, made));
      out.resize(made);
      EXPECT_EQ(inflateAll(out), data);
      // Data that does not compress costs no more than stored blocks.
      EXPECT_LE(made, data.size() + data.size() / 1000 + 16);
    }
  }
}

TEST(DeflateEngines, DataThatDoesNotShrinkIsStoredAndTheRestDeflatedByTheLevelsEngine) {
  DeflateEngines engines;
  const Bytes random = noise(70000);
  // Random bytes at its head, text after: the head's look is wrong about the whole.
  Bytes mixed = noise(20000);
  const Bytes text = logText(200000);
  mixed.insert(mixed.end(), text.begin(), text.end());
  Bytes out, theirs;
  for (int level = 2; level <= 9; ++level) {
    SCOPED_TRACE("level " + std::to_string(level));
    const Engine engine = engineForWhole(level);
    ASSERT_EQ(engine.library, Library::Libdeflate);
    std::size_t made = 0;
    ASSERT_TRUE(engines.deflateWhole(engine, random.data(), random.size(), out, made));
    out.resize(made);
    EXPECT_EQ(inflateAll(out), random);
    EXPECT_EQ((out[0] >> 1) & 3, 0) << "a stored block first";
    EXPECT_LE(made, random.size() + 16);

    // Deflated as the level's engine deflates it: no larger than the library's own output.
    ASSERT_TRUE(engines.deflateWhole(engine, mixed.data(), mixed.size(), out, made));
    out.resize(made);
    EXPECT_EQ(inflateAll(out), mixed);
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(engine.level);
    ASSERT_NE(compressor, nullptr);
    theirs.resize(libdeflate_deflate_compress_bound(compressor, mixed.size()));
    const std::size_t own = libdeflate_deflate_compress(compressor, mixed.data(), mixed.size(),
                                                        theirs.data(), theirs.size());
    libdeflate_free_compressor(compressor);
    EXPECT_EQ(made, own);
  }
}

TEST(DeflateEngines, PiecesPrimedWithTheBytesBeforeThemJoinIntoOneStream) {
  DeflateEngines engines;
  const Bytes text = logText(600000);
  const Bytes random = noise(200000);
  // Pieces stored and pieces deflated, in one stream.
  const Bytes mixed = [&text] {
    Bytes data = noise(150000);
    data.insert(data.end(), text.begin(), text.begin() + 200000);
    return data;
  }();
  for (int level = 1; level <= 9; level += 4) {
    for (const Bytes* data : {&text, &random, &mixed}) {
      // Pieces of odd sizes, the last one empty: a stream may end with nothing new.
      for (const std::size_t piece : {std::size_t{65536}, std::size_t{100003}, data->size()}) {
        SCOPED_TRACE("level " + std::to_string(level) + ", piece " + std::to_string(piece));
        Bytes joined, out;
        std::size_t at = 0;
        for (bool last = false; !last;) {
          const std::size_t size = std::min(piece, data->size() - at);
          last = at + size == data->size() && size < piece;
          const std::size_t dictionary = std::min<std::size_t>(at, 32768);
          std::size_t made = 0;
          ASSERT_TRUE(engines.deflatePiece(engineForPieces(level), data->data() + at, size,
                                           data->data() + at - dictionary, dictionary, last, out,
                                           made));
          joined.insert(joined.end(), out.begin(), out.begin() + made);
          at += size;
        }
        EXPECT_EQ(inflateAll(joined), *data);
      }
    }
  }
}

TEST(DeflateEngines, ChecksumIsZlibsCrc32) {
  for (const Bytes& data : samples()) {
    const uLong expected = crc32(crc32(0, nullptr, 0), data.data(), static_cast<uInt>(data.size()));
    EXPECT_EQ(crc32Of(0, data.data(), data.size()), expected);
    // Continued from a CRC taken over a first part, as the blocks of a stream are.
    const std::size_t half = data.size() / 2;
    EXPECT_EQ(crc32Of(crc32Of(0, data.data(), half), data.data() + half, data.size() - half),
              expected);
  }
}

}  // namespace
