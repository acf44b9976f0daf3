#include "support/PThread.h"

namespace zan {


PThread::PThread(const pthread_attr_t* attributes, const PThreadDelegateGeneric& delegate, void* arg)
    : data_(std::make_shared<ThreadData>()) {
  data_->delegate.reset(delegate.clone());
  data_->arg = arg;
  auto* start = new std::shared_ptr<ThreadData>(data_);
  if (pthread_create(&thread_, attributes, &PThread::entry, start) != 0) {
    delete start;
    return;
  }
  created_ = true;
  data_->started.waitForFlag();
}

PThread::~PThread() {
  if (created_ && !joined_) pthread_detach(thread_);
}

void PThread::join() {
  if (!created_ || joined_) return;
  pthread_join(thread_, nullptr);
  joined_ = true;
}

void* PThread::entry(void* start) {
  std::shared_ptr<ThreadData> data;
  {
    auto* shared = static_cast<std::shared_ptr<ThreadData>*>(start);
    data = *shared;
    delete shared;
  }
  data->started.setFlag(true);
  const long result = data->delegate->run(data->arg);
  return reinterpret_cast<void*>(result);
}

}  // namespace zan
