// The history buffer over one block of memory, allocated at construction.
#pragma once

#include <cstdint>
#include <memory>

#include "network/CircularHistoryBuffer.h"

namespace zan {

class CircularMemoryHistoryBuffer : public CircularHistoryBuffer {
 public:
  CircularMemoryHistoryBuffer(int64_t bufferSize, int64_t historySize);
  ~CircularMemoryHistoryBuffer() override;

  std::unique_ptr<BufferHandle> createHandle() override;
};

}  // namespace zan
