// One file a segmented muxer writes: created new (never an existing file,
// so another writer's file is never truncated or taken over), written
// through an FFmpeg byte I/O context of its own, and remembered by its
// identity (device and inode) so that removing it later never removes a
// different file that has since taken its name.
//
// Not thread-safe: owned and used by one muxer.
#pragma once

#include <sys/types.h>

#include <string>

#include "ffmpeg/FFmpegPtr.h"

namespace zan {

class SegmentFile {
 public:
  // Who a created file was: enough to remove exactly that file later.
  struct Identity {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
  };

  SegmentFile() = default;
  ~SegmentFile() { close(); }
  SegmentFile(const SegmentFile&) = delete;
  SegmentFile& operator=(const SegmentFile&) = delete;

  // Creates |path| (it must not exist yet) and its I/O context; false with
  // errno set when it cannot be had.
  bool create(const std::string& path);
  // Null while no file is open.
  AVIOContext* io() const { return io_.get(); }
  const Identity& identity() const { return identity_; }
  // Flushes and closes the file; false when any write to it failed (a full
  // disk, say). Harmless when nothing is open.
  bool close();
  // Closes without flushing and removes the file: for a file nobody was
  // told about.
  void discard();

  // Removes the file at |identity|.path when it is still that very file.
  static void remove(const Identity& identity);
  // Whether |identity|.path is still that very file.
  static bool exists(const Identity& identity);

 private:
  static int writeCallback(void* opaque, uint8_t* data, int size);

  int fd_ = -1;
  ff::IOContextPtr io_;
  Identity identity_;
  bool failed_ = false;
};

}  // namespace zan
