#include "driver/packer.h"

#include <minizip/zip.h>

Packer::~Packer() {
  if (streamReady_) deflateEnd(&stream_);
}

z_stream* Packer::deflater(int level) {
  if (streamReady_ && streamLevel_ == level) {
    deflateReset(&stream_);
    return &stream_;
  }
  if (streamReady_) deflateEnd(&stream_);
  stream_ = z_stream{};
  // As minizip sets its own stream up: raw deflate, the default memory level and strategy.
  streamReady_ = deflateInit2(&stream_, level, Z_DEFLATED, -MAX_WBITS, DEF_MEM_LEVEL,
                              Z_DEFAULT_STRATEGY) == Z_OK;
  streamLevel_ = level;
  return streamReady_ ? &stream_ : nullptr;
}
