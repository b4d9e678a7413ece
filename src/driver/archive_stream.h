#pragma once
// minizip's file functions over a descriptor that is already open, so that the archive is
// written into exactly the file the caller created and no path is opened a second time.
//
// minizip writes headers a few bytes at a time and seeks back once per entry to fill in the
// sizes. Everything goes into one buffer, which a seek moves about in without writing: a small
// archive reaches the file in a single pwrite, when the caller finishes it. The bytes on disk are
// exactly those minizip asks for.

#include <minizip/ioapi.h>

#include <cstddef>
#include <cstdint>

class ArchiveStream {
 public:
  // The buffer is borrowed and must outlive the stream; the descriptor stays the caller's.
  ArchiveStream(int fd, unsigned char* buffer, std::size_t capacity);

  // For zipOpen2_64: its "path" is ignored, every call lands on this stream.
  zlib_filefunc64_def functions();

  // Writes what is buffered. minizip's close leaves this to the caller.
  bool finish();

  // The first failure's errno, or 0.
  int error() const { return error_; }
  // Where minizip's next byte goes.
  std::uint64_t position() const { return position_; }
  // The file's length as written so far, buffered bytes included.
  std::uint64_t size() const;

 private:
  static voidpf open(voidpf opaque, const void* path, int mode);
  static uLong read(voidpf opaque, voidpf stream, void* data, uLong size);
  static uLong write(voidpf opaque, voidpf stream, const void* data, uLong size);
  static ZPOS64_T tell(voidpf opaque, voidpf stream);
  static long seek(voidpf opaque, voidpf stream, ZPOS64_T offset, int origin);
  static int close(voidpf opaque, voidpf stream);
  static int testError(voidpf opaque, voidpf stream);

  bool put(const unsigned char* data, std::size_t size);
  bool writeAt(const unsigned char* data, std::size_t size, std::uint64_t offset);

  int fd_;
  unsigned char* buffer_;
  std::size_t capacity_;
  std::uint64_t base_ = 0;      // the file offset of the buffer's first byte
  std::size_t used_ = 0;        // bytes buffered from base_ on
  std::uint64_t position_ = 0;  // where minizip's next byte goes
  std::uint64_t end_ = 0;       // the furthest byte written to the file
  int error_ = 0;
};
