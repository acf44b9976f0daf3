#include "plugins/PacketQueue.h"

namespace zan::streamer {

namespace {
constexpr int kStopPollMs = 5;
}

PacketQueue::PacketQueue(unsigned maxPackets, unsigned maxBytes) : maxPackets_(maxPackets), maxBytes_(maxBytes) {}

PacketQueue::~PacketQueue() {
  stop();
  clear();
}

int PacketQueue::size() {
  zan::PLockGuard guard(packets_);
  return static_cast<int>(packets_.items.size());
}

void PacketQueue::push(SamplePacket* packet) {
  zan::PLockGuard guard(packets_);
  packets_.items.push_back(packet);
  queuedBytes_ += packet->getSize();
}

SamplePacket* PacketQueue::pop() {
  zan::PLockGuard guard(packets_);
  if (packets_.items.empty()) return nullptr;
  SamplePacket* packet = packets_.items.front();
  packets_.items.pop_front();
  queuedBytes_ -= packet->getSize();
  // A writer waiting for room can go on at once.
  packets_.broadcast();
  return packet;
}

bool PacketQueue::hasRoomLocked() const {
  if (maxBytes_ > 0) return queuedBytes_ < maxBytes_;
  return packets_.items.size() < maxPackets_;
}

bool PacketQueue::isStopped() {
  zan::PLockGuard guard(stopEvent_);
  return stopEvent_.flag;
}

void PacketQueue::write(SamplePacket* packet) {
  if (packet == nullptr) return;
  // The capacity test is made without accessLock, so several writers may
  // briefly overfill the queue; the bound is a flow control, not a limit.
  // A full queue is waited on until a read makes room (pop() wakes the
  // writers) or, at the latest, kStopPollMs pass, so a stop is noticed.
  for (;;) {
    // A stopped queue takes nothing: no need to wait for room first.
    if (isStopped()) {
      packet->release();
      return;
    }
    {
      zan::PLockGuard guard(packets_);
      if (hasRoomLocked()) break;
      packets_.waitUntil(zan::deadlineAfter(kStopPollMs));
      if (hasRoomLocked()) break;
    }
  }
  if (isStopped()) {
    packet->release();
    return;
  }
  zan::PLockGuard access(accessLock_);
  push(packet);
  dataEvent_.setFlag(true);
}

SamplePacket* PacketQueue::read(bool wait) {
  if (isStopped()) return nullptr;
  if (wait) dataEvent_.waitForFlag();
  zan::PLockGuard access(accessLock_);
  bool available;
  {
    zan::PLockGuard guard(dataEvent_);
    available = dataEvent_.flag;
  }
  if (isStopped() || !available) return nullptr;
  SamplePacket* packet = pop();
  if (size() == 0) {
    zan::PLockGuard guard(dataEvent_);
    dataEvent_.flag = false;
  }
  return packet;
}

void PacketQueue::stop() {
  stopEvent_.setFlag(true);
  {
    zan::PLockGuard access(accessLock_);
    dataEvent_.setFlag(true);
  }
  zan::PLockGuard guard(packets_);
  packets_.broadcast();
}

void PacketQueue::start() {
  zan::PLockGuard access(accessLock_);
  {
    zan::PLockGuard guard(stopEvent_);
    stopEvent_.flag = false;
  }
  // stop() raised the data flag to wake the readers; left raised, the next
  // read(true) would return null at once although the queue runs, which a
  // stage's reader takes for the end of the stream.
  const bool queued = size() > 0;
  zan::PLockGuard guard(dataEvent_);
  dataEvent_.flag = queued;
}

void PacketQueue::clear() {
  zan::PLockGuard access(accessLock_);
  while (SamplePacket* packet = pop()) packet->release();
  {
    zan::PLockGuard guard(dataEvent_);
    dataEvent_.flag = false;
  }
  zan::PLockGuard guard(packets_);
  queuedBytes_ = 0;
}

}  // namespace zan::streamer
