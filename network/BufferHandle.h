// Storage handles of the history buffer: a cursor over one block of bytes.
//
// The buffer owns one handle that holds the storage; every reader gets a
// view of its own that shares the storage and its lock but keeps a private
// cursor. Callers split copies at the end of the block themselves: a copy
// never runs past it.
#pragma once

#include <cstdint>
#include <functional>

namespace zan {

// Fills |length| bytes at |destination| with the next bytes of a stream
// (a network body, a caller's block), so that a writer stores them without
// an intermediate copy.
using ByteSource = std::function<void(uint8_t* destination, int64_t length)>;

class BufferHandle {
 public:
  virtual ~BufferHandle() = default;
  // Gives up the storage; every later operation fails with -1.
  virtual void release() = 0;
  // Moves the cursor to |index| (0..size, inclusive); the new index or -1.
  virtual int64_t seek(int64_t index) = 0;
  // Copies |length| bytes in at the cursor and advances it modulo the size;
  // |length| or -1.
  virtual int64_t write(const uint8_t* data, int64_t length) = 0;
  // Copies |length| bytes out at the cursor and advances it modulo the size;
  // |length| or -1.
  virtual int64_t read(uint8_t* data, int64_t length) = 0;
  virtual int64_t tell() = 0;
  // Copies at |index| without moving the cursor and without the storage's
  // lock: |length| bytes from |source| in, or out to |data|; |length| or
  // -1. For copies the history buffer makes outside its own lock, to bytes
  // that nobody else touches until it takes the lock again.
  virtual int64_t writeAt(int64_t index, const ByteSource& source, int64_t length) = 0;
  virtual int64_t readAt(int64_t index, uint8_t* data, int64_t length) = 0;
};

}  // namespace zan
