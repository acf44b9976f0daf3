// A deque guarded by its own PCondMutex. It owns only the deque storage:
// destroying it does not free the pointed-to elements. Users lock it,
// operate on |items| and wait on or signal its condition.
#pragma once

#include <deque>

#include "support/PMutex.h"

namespace zan {

template <typename T>
class PQueueCondMutex : public PCondMutex {
 public:
  PQueueCondMutex() = default;

  // Guarded by this object's mutex.
  std::deque<T> items;
};

}  // namespace zan
