#include "driver/entry_data.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>

#include "driver/zip_entry.h"

namespace {

// Deflates blocks into the open raw entry with the packer's own zlib stream: the same bytes
// minizip's own stream would make, without setting one up and freeing it for every file.
class BlockDeflater {
 public:
  BlockDeflater(Packer& packer, zipFile archive, z_stream* stream)
      : archive_(archive), stream_(stream), out_(packer.deflateBuffer()) {}

  // Returns a negative value when writing fails, as zipWriteInFileInZip does.
  int add(const unsigned char* data, unsigned size, bool last) {
    stream_->next_in = const_cast<Bytef*>(data);
    stream_->avail_in = size;
    for (;;) {
      stream_->next_out = out_.data();
      stream_->avail_out = static_cast<uInt>(out_.size());
      const int result = deflate(stream_, last ? Z_FINISH : Z_NO_FLUSH);
      const auto produced = static_cast<unsigned>(out_.size() - stream_->avail_out);
      if (produced > 0) {
        const int written = zipWriteInFileInZip(archive_, out_.data(), produced);
        if (written < 0) return written;
      }
      if (result == Z_STREAM_END || (!last && stream_->avail_out != 0)) return 0;
      if (result != Z_OK && result != Z_BUF_ERROR) return Z_STREAM_ERROR;
    }
  }

 private:
  zipFile archive_;
  z_stream* stream_;
  std::vector<unsigned char>& out_;
};

bool mayGoOn(const EntryWrite& entry, FileOutcome& outcome) {
  if (!entry.zip64 && needsZip64(entry.source.position(), entry.nameLength)) {
    outcome.report(LOG_WRITE_FAILED, EFBIG);  // grew past what an entry without ZIP64 describes
    return false;
  }
  if (entry.source.inUse()) {
    outcome.report(LOG_IN_USE, 0, ReportDetail::InUse);
    return false;
  }
  return true;
}

}  // namespace

bool readSome(EntryWrite& entry, unsigned char* buffer, std::size_t size, std::size_t& got,
              FileOutcome& outcome) {
  Source& source = entry.source;
  int readError = 0;
  got = source.read(buffer, size, readError);
  if (readError != 0) {
    // A read error fails the file even when the block read with it could be written.
    outcome.report(LOG_READ_FAILED, readError);
    return false;
  }
  if (got > 0 && entry.packer.progress) {
    entry.packer.progress(source.position(), std::max(source.position(), source.size()));
  }
  return mayGoOn(entry, outcome);
}

bool copyInBlocks(EntryWrite& entry, FileOutcome& outcome) {
  Packer& packer = entry.packer;
  Source& source = entry.source;
  z_stream* stream = nullptr;
  if (entry.level != 0) {
    stream = packer.engines().zlibStream(entry.level);
    if (stream == nullptr) {
      outcome.report(LOG_ADD_FAILED, ENOMEM);
      return false;
    }
  }
  BlockDeflater deflater(packer, entry.archive, stream);
  entry.raw = stream != nullptr;
  entry.crc = crc32(0, nullptr, 0);
  unsigned char* const buffer = packer.readBuffer();
  for (;;) {
    std::size_t got = 0;
    if (!readSome(entry, buffer, readBlockSize, got, outcome)) return false;
    entry.crc = crc32Of(static_cast<std::uint32_t>(entry.crc), buffer, got);
    const bool last = source.atEnd();
    int written = 0;
    if (stream != nullptr) {
      written = deflater.add(buffer, static_cast<unsigned>(got), last);
    } else if (got > 0) {
      written = zipWriteInFileInZip(entry.archive, buffer, static_cast<unsigned>(got));
    }
    if (written < 0) {
      outcome.report(LOG_WRITE_FAILED, entry.stream.error());
      return false;
    }
    if (last) break;
  }
  return true;
}

bool copyWhole(EntryWrite& entry, FileOutcome& outcome) {
  Packer& packer = entry.packer;
  Source& source = entry.source;
  std::vector<unsigned char>& input = packer.wholeInput();
  // One byte more than the size it was opened with: a read that stops short of it tells the
  // file ends where it did (Source::changed), and an empty file is read once all the same.
  const auto room = static_cast<std::size_t>(source.size() + 1);
  if (input.size() < room) input.resize(room);
  std::size_t got = 0;
  if (!readSome(entry, input.data(), room, got, outcome)) return false;
  entry.crc = crc32Of(0, input.data(), got);
  entry.raw = true;
  std::size_t made = 0;
  std::vector<unsigned char>& output = packer.wholeOutput();
  if (!packer.engines().deflateWhole(engineForWhole(entry.level), input.data(), got, output,
                                     made)) {
    outcome.report(LOG_WRITE_FAILED, ENOMEM);
    return false;
  }
  if (zipWriteInFileInZip(entry.archive, output.data(), static_cast<unsigned>(made)) < 0) {
    outcome.report(LOG_WRITE_FAILED, entry.stream.error());
    return false;
  }
  return true;
}
