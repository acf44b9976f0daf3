// Memory-backed history buffer: the owning MemoryBufferHandle holds the
// ring; readers get views of it.
#include "network/CircularMemoryHistoryBuffer.h"

#include "network/MemoryBufferHandle.h"
#include "support/CBBLog.h"

namespace zan {

CircularMemoryHistoryBuffer::CircularMemoryHistoryBuffer(int64_t bufferSize, int64_t historySize)
    : CircularHistoryBuffer(bufferSize, historySize) {
  logDebug("CircularMemoryHistoryBuffer %lld / %lld", static_cast<long long>(bufferSize),
           static_cast<long long>(historySize));
  setHandle(std::make_unique<MemoryBufferHandle>(bufferSize));
}

CircularMemoryHistoryBuffer::~CircularMemoryHistoryBuffer() { close(); }

std::unique_ptr<BufferHandle> CircularMemoryHistoryBuffer::createHandle() {
  // Called under the buffer's lock (createReader), which guards handle().
  auto* owner = static_cast<MemoryBufferHandle*>(handle());
  if (owner == nullptr || owner->size() == 0) return nullptr;
  return std::make_unique<MemoryBufferHandle>(*owner);
}

}  // namespace zan
