#include "driver/archive_stream.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

ArchiveStream::ArchiveStream(int fd, unsigned char* buffer, std::size_t capacity)
    : fd_(fd), buffer_(buffer), capacity_(capacity) {}

zlib_filefunc64_def ArchiveStream::functions() {
  zlib_filefunc64_def functions{};
  functions.zopen64_file = open;
  functions.zread_file = read;
  functions.zwrite_file = write;
  functions.ztell64_file = tell;
  functions.zseek64_file = seek;
  functions.zclose_file = close;
  functions.zerror_file = testError;
  functions.opaque = this;
  return functions;
}

std::uint64_t ArchiveStream::size() const {
  return std::max({end_, base_ + used_, position_});
}

voidpf ArchiveStream::open(voidpf opaque, const void*, int) {
  return opaque;
}

uLong ArchiveStream::read(voidpf, voidpf, void*, uLong) {
  return 0;  // an archive being created is never read back
}

uLong ArchiveStream::write(voidpf opaque, voidpf, const void* data, uLong size) {
  auto& self = *static_cast<ArchiveStream*>(opaque);
  return self.put(static_cast<const unsigned char*>(data), size) ? size : 0;
}

ZPOS64_T ArchiveStream::tell(voidpf opaque, voidpf) {
  return static_cast<ArchiveStream*>(opaque)->position_;
}

long ArchiveStream::seek(voidpf opaque, voidpf, ZPOS64_T offset, int origin) {
  auto& self = *static_cast<ArchiveStream*>(opaque);
  switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
      self.position_ = offset;
      break;
    case ZLIB_FILEFUNC_SEEK_CUR:
      self.position_ += offset;
      break;
    case ZLIB_FILEFUNC_SEEK_END:
      self.position_ = self.size() + offset;
      break;
    default:
      return -1;
  }
  return 0;
}

int ArchiveStream::close(voidpf opaque, voidpf) {
  return static_cast<ArchiveStream*>(opaque)->error_ == 0 ? 0 : -1;
}

int ArchiveStream::testError(voidpf opaque, voidpf) {
  return static_cast<ArchiveStream*>(opaque)->error_ != 0 ? 1 : 0;
}

bool ArchiveStream::put(const unsigned char* data, std::size_t size) {
  if (error_ != 0) return false;
  // Within or right after what the buffer holds, and room enough: into the buffer.
  const bool inside =
      position_ >= base_ && position_ <= base_ + used_ && position_ - base_ + size <= capacity_;
  if (!inside) {
    if (!finish()) return false;
    if (size >= capacity_) {
      if (!writeAt(data, size, position_)) return false;
      position_ += size;
      return true;
    }
    base_ = position_;
  }
  const auto at = static_cast<std::size_t>(position_ - base_);
  std::memcpy(buffer_ + at, data, size);
  used_ = std::max(used_, at + size);
  position_ += size;
  return true;
}

bool ArchiveStream::finish() {
  if (used_ == 0) return error_ == 0;
  const std::size_t size = std::exchange(used_, 0);
  return writeAt(buffer_, size, base_);
}

bool ArchiveStream::writeAt(const unsigned char* data, std::size_t size, std::uint64_t offset) {
  if (error_ != 0) return false;
  while (size > 0) {
    const ssize_t written = ::pwrite(fd_, data, size, static_cast<off_t>(offset));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      error_ = written < 0 ? errno : ENOSPC;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
    offset += static_cast<std::uint64_t>(written);
  }
  end_ = std::max(end_, offset);
  return true;
}
