// A segment file; see SegmentFile.h.
#include "output/SegmentFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace zan {

namespace {
constexpr int kBufferSize = 65536;
}

bool SegmentFile::create(const std::string& path) {
  close();
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    const int error = errno;
    ::close(fd);
    ::unlink(path.c_str());
    errno = error;
    return false;
  }
  ff::AvBlockPtr<uint8_t> buffer(static_cast<uint8_t*>(av_malloc(kBufferSize)));
  ff::IOContextPtr io(buffer ? avio_alloc_context(buffer.get(), kBufferSize, 1, this, nullptr, &writeCallback, nullptr)
                             : nullptr);
  if (!io) {
    ::close(fd);
    ::unlink(path.c_str());
    errno = ENOMEM;
    return false;
  }
  buffer.release();  // the I/O context owns it now
  io->seekable = 0;
  fd_ = fd;
  io_ = std::move(io);
  identity_ = Identity{path, status.st_dev, status.st_ino};
  failed_ = false;
  return true;
}

int SegmentFile::writeCallback(void* opaque, uint8_t* data, int size) {
  auto* self = static_cast<SegmentFile*>(opaque);
  int written = 0;
  while (written < size) {
    const ssize_t result = ::write(self->fd_, data + written, static_cast<size_t>(size - written));
    if (result < 0 && errno == EINTR) continue;
    if (result <= 0) {
      self->failed_ = true;
      return AVERROR(result < 0 ? errno : EIO);
    }
    written += static_cast<int>(result);
  }
  return size;
}

bool SegmentFile::close() {
  if (fd_ < 0) return true;
  avio_flush(io_.get());
  const bool ok = !failed_ && io_->error >= 0;
  io_.reset();
  const bool closed = ::close(fd_) == 0;
  fd_ = -1;
  return ok && closed;
}

void SegmentFile::discard() {
  if (fd_ < 0) return;
  io_.reset();
  ::close(fd_);
  fd_ = -1;
  remove(identity_);
}

bool SegmentFile::exists(const Identity& identity) {
  struct stat status {};
  return ::lstat(identity.path.c_str(), &status) == 0 && status.st_dev == identity.device &&
         status.st_ino == identity.inode;
}

void SegmentFile::remove(const Identity& identity) {
  if (exists(identity)) ::unlink(identity.path.c_str());
}

}  // namespace zan
