#pragma once
// minizip's file functions over a descriptor that is already open, so that the archive is
// written into exactly the file the caller created and no path is opened a second time.
//
// minizip writes headers a few bytes at a time and seeks back once per entry to fill in the
// sizes; those writes are gathered in a buffer and reach the file with pwrite, so a small
// archive costs a handful of system calls. The bytes on disk are exactly those minizip asks for.

#include <minizip/ioapi.h>

#include <cstddef>
#include <cstdint>

class ArchiveStream {
 public:
  // The buffer is borrowed and must outlive the stream; the descriptor stays the caller's.
  ArchiveStream(int fd, unsigned char* buffer, std::size_t capacity);

  // For zipOpen2_64: its "path" is ignored, every call lands on this stream.
  zlib_filefunc64_def functions();

  // The first failure's errno, or 0.
  int error() const { return error_; }
  // Where minizip's next byte goes.
  std::uint64_t position() const { return position_; }
  // The file's length as written so far.
  std::uint64_t size() const { return end_ > position_ ? end_ : position_; }

 private:
  static voidpf open(voidpf opaque, const void* path, int mode);
  static uLong read(voidpf opaque, voidpf stream, void* data, uLong size);
  static uLong write(voidpf opaque, voidpf stream, const void* data, uLong size);
  static ZPOS64_T tell(voidpf opaque, voidpf stream);
  static long seek(voidpf opaque, voidpf stream, ZPOS64_T offset, int origin);
  static int close(voidpf opaque, voidpf stream);
  static int testError(voidpf opaque, voidpf stream);

  bool flush();
  bool writeAt(const unsigned char* data, std::size_t size, std::uint64_t offset);

  int fd_;
  unsigned char* buffer_;
  std::size_t capacity_;
  std::size_t used_ = 0;        // buffered bytes, which end at position_
  std::uint64_t position_ = 0;  // where minizip's next byte goes
  std::uint64_t end_ = 0;       // the furthest byte written to the file
  int error_ = 0;
};
