// The demuxer stage: a packet queue feeding FFmpeg's byte-stream reader, a
// decoding core opened over it on a thread of its own, and the reader side
// that waits for that open.
#include "transcoders/FFMpegDemuxer.h"

#include <algorithm>
#include <cstring>

namespace zan {

using streamer::PACKET_END;
using streamer::PACKETTYPE;
using streamer::PluginErrorCodes;
using streamer::SamplePacket;

namespace {
constexpr unsigned kQueuedPackets = 5;
}

FFMpegDemuxer::FFMpegDemuxer() : queue_(kQueuedPackets, 0) {}

FFMpegDemuxer::~FFMpegDemuxer() {
  stop();
  // The queue releases what is still queued when it dies.
}

PluginErrorCodes FFMpegDemuxer::init(const streamer::MediumDescription* medium,
                                     const streamer::InputStreamDescription* input,
                                     const streamer::RequestedStreamDescription* /*requested*/,
                                     const streamer::MapGeneric* /*settings*/) {
  PLockGuard control(controlLock_);
  logger_ = std::make_shared<CBBLog>("FFMpegDemuxer.log", false, kDefaultLogFileSize);
  setCurrentLogger(logger_);
  if (input == nullptr || input->getStreamType() != kMultiplexedStreamType) return streamer::PLUGIN_UNAVAILABLE;
  {
    PLockGuard guard(coreLock_);
    if (core_ || openThread_) {
      logger_->log(LOG_ERROR, "FFMpegDemuxer::init : already initialised");
      return streamer::PLUGIN_UNAVAILABLE;
    }
    core_ = std::make_unique<FFMpegDecoderCore>();
  }
  streamName_ = medium && medium->getLocation() ? medium->getLocation() : "";
  formatName_ = input->getFormat() ? input->getFormat() : "";
  openThread_ = std::make_unique<PThread>(
      nullptr, PThreadDelegateMember<FFMpegDemuxer>(this, &FFMpegDemuxer::initDemuxerThread), core_.get());
  if (!openThread_->running()) {
    // Nothing will ever open the core: behave as a failed open.
    logger_->log(LOG_ERROR, "Failed to init transport stream");
    openThread_.reset();
    stopped_ = true;
    queue_.stop();
    openDone_.setFlag(true);
  }
  return streamer::PLUGIN_OK;
}

int FFMpegDemuxer::initDemuxerThread(void* core) {
  const int result = static_cast<FFMpegDecoderCore*>(core)->initWithTransportStream(
      streamName_, formatName_, &FFMpegDemuxer::readTrampoline, nullptr, this);
  if (result != 0) {
    logger_->log(LOG_ERROR, "Failed to init transport stream");
    logger_->log(LOG_DEBUG, "FFMpegDemuxer::initDemuxerThread : open of %s (%s) failed %d", streamName_.c_str(),
                 formatName_.c_str(), result);
    stopped_ = true;
    queue_.stop();
  }
  openDone_.setFlag(true);
  return 0;
}

int FFMpegDemuxer::readTrampoline(void* stage, uint8_t* buffer, int size) {
  return static_cast<FFMpegDemuxer*>(stage)->demuxerReadCallback(buffer, size);
}

int FFMpegDemuxer::demuxerReadCallback(uint8_t* buffer, int size) {
  if (size < 1 || buffer == nullptr) return 0;
  int copied = 0;
  while (copied < size) {
    SamplePacket* packet = currentPacket_;
    int offset = currentOffset_;
    currentPacket_ = nullptr;
    currentOffset_ = 0;
    if (packet == nullptr) {
      if (endOfStream_) return copied;
      packet = queue_.read(true);
      if (packet == nullptr) {
        // A stopped queue ends the stream. A running one answers null when
        // a stop and a start came while it waited; then simply wait again.
        if (queue_.isStopped()) return 0;
        continue;
      }
      offset = 0;
      if (packet->getType() == PACKET_END) {
        packet->release();
        endOfStream_ = true;
        return copied;
      }
    }
    const int available = static_cast<int>(packet->getSize()) - offset;
    const int wanted = size - copied;
    if (available <= wanted) {
      if (available > 0) std::memcpy(buffer + copied, packet->getData() + offset, static_cast<size_t>(available));
      copied += std::max(available, 0);
      packet->release();
    } else {
      std::memcpy(buffer + copied, packet->getData() + offset, static_cast<size_t>(wanted));
      copied += wanted;
      currentPacket_ = packet;
      currentOffset_ = offset + wanted;
    }
  }
  return copied;
}

void FFMpegDemuxer::getOutputStreamDescription(streamer::OutputStreamDescription* description) {
  {
    PLockGuard guard(coreLock_);
    if (!core_) return;  // before init: no open to wait for
  }
  openDone_.waitForFlag();
  PLockGuard guard(coreLock_);
  if (core_ && description) core_->getOutputStreamDescription(description);
}

bool FFMpegDemuxer::readFrame(PACKETTYPE& type, uint8_t*& data, unsigned& size, uint64_t& time,
                              uint64_t& duration, void*& frameContext, bool& keyFrame) {
  data = nullptr;
  size = 0;
  frameContext = nullptr;
  {
    PLockGuard guard(coreLock_);
    if (!core_) return false;  // before init or after stop
  }
  openDone_.waitForFlag();
  // Held while decoding: stop() stops the queue first, which ends a wait
  // for bytes in the read callback, and then takes this lock.
  PLockGuard guard(coreLock_);
  if (!core_ || stopped_) return false;
  return core_->decodeFromMedium(type, data, size, time, duration, frameContext, keyFrame);
}

void FFMpegDemuxer::freeFrame(uint8_t* data, void* /*frameContext*/) { delete[] data; }

void FFMpegDemuxer::write(SamplePacket* packet) {
  if (packet != nullptr && packet->getType() != PACKET_END && packet->getSize() > 0 &&
      packet->getData() == nullptr) {
    // The read callback copies getSize() bytes from getData(): a packet that
    // claims bytes it does not hold would crash the thread inside FFmpeg.
    if (logger_)
      logger_->log(LOG_WARN, "FFMpegDemuxer::write : packet of %u bytes without data dropped", packet->getSize());
    packet->release();
    return;
  }
  queue_.write(packet);
}

void FFMpegDemuxer::resetPosition(uint64_t /*position*/) {}

bool FFMpegDemuxer::start() {
  stopped_ = false;
  return true;
}

bool FFMpegDemuxer::stop() {
  PLockGuard control(controlLock_);
  stopped_ = true;
  openDone_.setFlag(true);
  // Stopping the queue first ends a wait in the read callback, whether the
  // opening thread or a reader is in it; closing the core then only waits
  // for FFmpeg to return.
  queue_.stop();
  FFMpegDecoderCore* core = nullptr;
  {
    PLockGuard guard(coreLock_);
    core = core_.get();
  }
  if (core) core->close();
  if (openThread_) {
    openThread_->join();
    openThread_.reset();
  }
  std::unique_ptr<FFMpegDecoderCore> closed;
  {
    PLockGuard guard(coreLock_);
    closed = std::move(core_);
    releaseCurrentPacket();
  }
  return true;
}

void FFMpegDemuxer::releaseCurrentPacket() {
  if (currentPacket_) currentPacket_->release();
  currentPacket_ = nullptr;
  currentOffset_ = 0;
}

bool FFMpegDemuxer::close() { return stop(); }

}  // namespace zan
