// A storage handle over one block of memory.
//
// The owning handle allocates the block and a recursive mutex once; views
// made from it share both (through a shared reference, so a view that
// outlives its owner's release still points at live memory) and carry a
// cursor of their own. Every copy through the cursor runs under the shared
// mutex.
//
// Thread safety: the cursor of one handle is used by one thread at a time
// (the history buffer calls handles only under its own lock); the storage
// mutex serialises copies between handles. writeAt/readAt take no lock:
// their callers keep concurrent copies to disjoint bytes.
#pragma once

#include <cstdint>
#include <memory>

#include "network/BufferHandle.h"
#include "support/PMutex.h"

namespace zan {

class MemoryBufferHandle : public BufferHandle {
 public:
  // Owning handle: allocates |size| bytes (left uninitialised). An
  // allocation failure or a size of 0 leaves a handle without storage.
  explicit MemoryBufferHandle(int64_t size);
  // View of |owner|'s storage with a cursor of its own, at index 0.
  explicit MemoryBufferHandle(const MemoryBufferHandle& owner);
  ~MemoryBufferHandle() override;
  MemoryBufferHandle& operator=(const MemoryBufferHandle&) = delete;

  void release() override;
  int64_t seek(int64_t index) override;
  int64_t write(const uint8_t* data, int64_t length) override;
  int64_t read(uint8_t* data, int64_t length) override;
  int64_t tell() override { return m_position; }
  int64_t writeAt(int64_t index, const ByteSource& source, int64_t length) override;
  int64_t readAt(int64_t index, uint8_t* data, int64_t length) override;

  bool isOwner() const { return m_owner; }
  int64_t size() const { return m_size; }

 private:
  struct Storage {
    explicit Storage(int64_t bytes);
    std::unique_ptr<uint8_t[]> data;
    PMutex mutex{true};
  };

  std::shared_ptr<Storage> m_storage;  // null once released
  int64_t m_size = 0;
  int64_t m_position = 0;
  bool m_owner = false;
};

}  // namespace zan
