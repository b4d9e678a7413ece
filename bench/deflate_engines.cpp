// The deflate libraries side by side on the same data, one core: the figures that decide which
// engine Vordex gives each level and size. Every file is deflated whole (as one buffer, ending
// the stream) or, with --chunks, in pieces of 256 KiB that join into one stream: zlib primed
// with the 32 KiB before each piece and ended with a sync flush, ISA-L ended on a byte-aligned
// block. Each output is inflated again by zlib and compared, so a figure is never that of a
// broken stream.
//
//   deflate_engines [--chunks] [--rounds N] ENGINE:LEVEL... -- FILE...
//
// ENGINE is zlib, libdeflate or isal. Prints one line per ENGINE:LEVEL: the bytes in and out,
// MB/s (best round) and microseconds per file.

#include <fcntl.h>
#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
constexpr std::size_t kChunk = 256 << 10;
constexpr std::size_t kWindow = 32 << 10;

struct Engine {
  std::string name;
  int level;
  libdeflate_compressor* libdeflate = nullptr;
  z_stream zlib{};
  Bytes isalBuffer;
};

// Deflates in[0, size) into out, primed with dictionary, ending the stream when last.
std::size_t deflatePiece(Engine& engine, const unsigned char* in, std::size_t size,
                         const unsigned char* dictionary, std::size_t dictionarySize, bool last,
                         Bytes& out) {
  out.resize(size + size / 8 + 1024);
  if (engine.name == "libdeflate") {
    return libdeflate_deflate_compress(engine.libdeflate, in, size, out.data(), out.size());
  }
  if (engine.name == "isal") {
    isal_zstream stream{};  // a dictionary is checked against state the set-up leaves alone
    isal_deflate_stateless_init(&stream);
    stream.level = static_cast<std::uint32_t>(engine.level);
    stream.level_buf = engine.isalBuffer.data();
    stream.level_buf_size = static_cast<std::uint32_t>(engine.isalBuffer.size());
    if (dictionarySize > 0 &&
        isal_deflate_set_dict(&stream, const_cast<unsigned char*>(dictionary),
                              static_cast<std::uint32_t>(dictionarySize)) != COMP_OK) {
      return 0;
    }
    stream.next_in = const_cast<unsigned char*>(in);
    stream.avail_in = static_cast<std::uint32_t>(size);
    stream.next_out = out.data();
    stream.avail_out = static_cast<std::uint32_t>(out.size());
    stream.end_of_stream = last ? 1 : 0;
    stream.flush = last ? NO_FLUSH : FULL_FLUSH;
    if (isal_deflate_stateless(&stream) != COMP_OK) return 0;
    return stream.total_out;
  }
  z_stream& stream = engine.zlib;
  deflateReset(&stream);
  if (dictionarySize > 0) {
    deflateSetDictionary(&stream, dictionary, static_cast<uInt>(dictionarySize));
  }
  stream.next_in = const_cast<unsigned char*>(in);
  stream.avail_in = static_cast<uInt>(size);
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  const int result = deflate(&stream, last ? Z_FINISH : Z_SYNC_FLUSH);
  if (result != (last ? Z_STREAM_END : Z_OK)) return 0;
  return out.size() - stream.avail_out;
}

bool inflatesTo(const Bytes& deflated, const Bytes& original) {
  z_stream stream{};
  inflateInit2(&stream, -MAX_WBITS);
  Bytes back(original.size() + 1);
  stream.next_in = const_cast<unsigned char*>(deflated.data());
  stream.avail_in = static_cast<uInt>(deflated.size());
  stream.next_out = back.data();
  stream.avail_out = static_cast<uInt>(back.size());
  const int result = inflate(&stream, Z_FINISH);
  const bool same = result == Z_STREAM_END && stream.avail_in == 0 &&
                    back.size() - stream.avail_out == original.size() &&
                    std::memcmp(back.data(), original.data(), original.size()) == 0;
  inflateEnd(&stream);
  return same;
}

// The whole file's deflated stream, piece by piece.
void deflateFile(Engine& engine, const Bytes& file, bool chunks, Bytes& piece, Bytes& stream) {
  stream.clear();
  const std::size_t step = chunks ? kChunk : std::max<std::size_t>(file.size(), 1);
  for (std::size_t at = 0; at < file.size() || (at == 0 && file.empty()); at += step) {
    const std::size_t size = std::min(step, file.size() - at);
    const std::size_t dictionary = std::min(at, kWindow);
    const bool last = at + size >= file.size();
    const std::size_t made = deflatePiece(engine, file.data() + at, size,
                                          file.data() + at - dictionary, dictionary, last, piece);
    stream.insert(stream.end(), piece.begin(), piece.begin() + static_cast<long>(made));
    if (file.empty()) break;
  }
}

Bytes readFile(const char* path) {
  Bytes data;
  const int fd = open(path, O_RDONLY);
  struct stat status;
  if (fd < 0 || fstat(fd, &status) != 0) {
    std::perror(path);
    std::exit(1);
  }
  data.resize(static_cast<std::size_t>(status.st_size));
  for (std::size_t done = 0; done < data.size();) {
    const ssize_t got = read(fd, data.data() + done, data.size() - done);
    if (got <= 0) std::exit(1);
    done += static_cast<std::size_t>(got);
  }
  close(fd);
  return data;
}

}  // namespace

int main(int argc, char** argv) {
  bool chunks = false;
  int rounds = 3;
  std::vector<std::string> configs;
  std::vector<Bytes> files;
  bool inFiles = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (inFiles) {
      files.push_back(readFile(argv[i]));
    } else if (arg == "--") {
      inFiles = true;
    } else if (arg == "--chunks") {
      chunks = true;
    } else if (arg == "--rounds" && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else {
      configs.push_back(arg);
    }
  }
  if (configs.empty() || files.empty()) {
    std::fprintf(stderr,
                 "usage: deflate_engines [--chunks] [--rounds N] ENGINE:LEVEL... -- FILE...\n");
    return 1;
  }
  std::uint64_t bytesIn = 0;
  for (const Bytes& file : files) bytesIn += file.size();
  Bytes piece, stream;
  for (const std::string& config : configs) {
    Engine engine;
    const std::size_t colon = config.find(':');
    engine.name = config.substr(0, colon);
    engine.level = std::atoi(config.c_str() + colon + 1);
    if (engine.name == "libdeflate") {
      engine.libdeflate = libdeflate_alloc_compressor(engine.level);
    } else if (engine.name == "isal") {
      static const std::size_t sizes[] = {ISAL_DEF_LVL0_DEFAULT, ISAL_DEF_LVL1_DEFAULT,
                                          ISAL_DEF_LVL2_DEFAULT, ISAL_DEF_LVL3_DEFAULT};
      engine.isalBuffer.resize(sizes[engine.level]);
    } else if (engine.name == "zlib" || engine.name == "zlib-m5") {
      // zlib-m5: the memory level that holds a 2 KiB file's symbols in one block, and clears
      // an eighth of the hash table at every reset.
      deflateInit2(&engine.zlib, engine.level, Z_DEFLATED, -MAX_WBITS,
                   engine.name == "zlib" ? 8 : 5, Z_DEFAULT_STRATEGY);
    } else {
      std::fprintf(stderr, "unknown engine %s\n", engine.name.c_str());
      return 1;
    }
    std::uint64_t bytesOut = 0;
    for (const Bytes& file : files) {
      deflateFile(engine, file, chunks, piece, stream);
      if (!inflatesTo(stream, file)) {
        std::fprintf(stderr, "%s: a stream that does not inflate to its file\n", config.c_str());
        return 2;
      }
      bytesOut += stream.size();
    }
    double best = 1e30;
    for (int round = 0; round < rounds; ++round) {
      // CPU time of this thread: a shared machine's other work delays it without counting.
      timespec start, end;
      clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
      for (const Bytes& file : files) deflateFile(engine, file, chunks, piece, stream);
      clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
      best = std::min(best, static_cast<double>(end.tv_sec - start.tv_sec) +
                                static_cast<double>(end.tv_nsec - start.tv_nsec) * 1e-9);
    }
    std::printf("%s %llu %llu %.1f %.2f\n", config.c_str(), static_cast<unsigned long long>(bytesIn),
                static_cast<unsigned long long>(bytesOut),
                static_cast<double>(bytesIn) / best / 1e6,
                best / static_cast<double>(files.size()) * 1e6);
    if (engine.libdeflate) libdeflate_free_compressor(engine.libdeflate);
    if (engine.name != "isal" && !engine.libdeflate) deflateEnd(&engine.zlib);
  }
  return 0;
}
