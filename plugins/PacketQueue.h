// The bounded, blocking hand-over point between the thread that writes into
// a transcoder stage and the thread that reads from it.
//
// write() blocks while the queue is full (by packet count, or by bytes when
// maxBytes is non-zero) and drops (releases) its packet once the queue is
// stopped. read(true) blocks until a packet is there or the queue is
// stopped; it returns null only when a stop came before or during it, and
// after start() it blocks again. The queue owns one reference of every
// packet it holds; clear() and the destructor release them.
//
// Lock order: accessLock before dataEvent's mutex and before the FIFO's own
// mutex; stopEvent's mutex alone, or inside accessLock in start().
#pragma once

#include <cstdint>

#include "support/PMutex.h"
#include "support/PQueueCondMutex.h"
#include "zan/streamer/SamplePacket.h"

namespace zan::streamer {

class PacketQueue {
 public:
  PacketQueue(unsigned maxPackets, unsigned maxBytes);
  virtual ~PacketQueue();
  PacketQueue(const PacketQueue&) = delete;
  PacketQueue& operator=(const PacketQueue&) = delete;

  virtual int size();
  virtual void push(SamplePacket* packet);
  virtual SamplePacket* pop();

  void write(SamplePacket* packet);
  SamplePacket* read(bool wait);
  void stop();
  void start();
  void clear();

  bool isStopped();

 private:
  bool hasRoomLocked() const;  // caller holds packets_' mutex

  zan::PCondMutex stopEvent_;  // flag = stopped
  const unsigned maxPackets_;
  const unsigned maxBytes_;
  uint64_t queuedBytes_ = 0;  // guarded by packets_' mutex
  zan::PQueueCondMutex<SamplePacket*> packets_;
  zan::PMutex accessLock_;
  zan::PCondMutex dataEvent_;  // flag = packets may be available
};

}  // namespace zan::streamer
