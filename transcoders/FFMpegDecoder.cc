// The decoder stage: a packet queue between the engine's writer and reader,
// and a decoding core in transcoder-input mode behind the reader.
#include "transcoders/FFMpegDecoder.h"

#include <utility>

namespace zan {

using streamer::PACKET_AUDIO;
using streamer::PACKET_END;
using streamer::PACKET_VIDEO;
using streamer::PACKETTYPE;
using streamer::PluginErrorCodes;
using streamer::SamplePacket;

namespace {
constexpr unsigned kQueuedPackets = 5;
}

FFMpegDecoder::FFMpegDecoder() : queue_(kQueuedPackets, 0) {}

FFMpegDecoder::~FFMpegDecoder() {
  PLockGuard guard(lock_);
  releasePendingEnd();
  core_.reset();
  // The queue releases what is still queued when it dies.
}

PluginErrorCodes FFMpegDecoder::init(const streamer::MediumDescription* /*medium*/,
                                     const streamer::InputStreamDescription* input,
                                     const streamer::RequestedStreamDescription* requested,
                                     const streamer::MapGeneric* /*settings*/) {
  logger_ = std::make_shared<CBBLog>("FFMpegDecoder.log", false, kDefaultLogFileSize);
  setCurrentLogger(logger_);
  PLockGuard guard(lock_);
  core_ = std::make_unique<FFMpegDecoderCore>();
  if (!core_->init(input, requested)) {
    core_.reset();
    return streamer::PLUGIN_UNAVAILABLE;
  }
  outputHasVideo_ = false;
  videoStarted_ = false;
  return streamer::PLUGIN_OK;
}

void FFMpegDecoder::getOutputStreamDescription(streamer::OutputStreamDescription* description) {
  PLockGuard guard(lock_);
  if (!core_ || description == nullptr) return;
  core_->getOutputStreamDescription(description);
  outputHasVideo_ = description->hasVideo();
}

bool FFMpegDecoder::deliverable(PACKETTYPE type) {
  if (type == PACKET_VIDEO) videoStarted_ = true;
  return !outputHasVideo_ || videoStarted_ || core_->isRescalingMode();
}

bool FFMpegDecoder::readFrame(PACKETTYPE& type, uint8_t*& data, unsigned& size, uint64_t& time,
                              uint64_t& duration, void*& frameContext, bool& keyFrame) {
  data = nullptr;
  size = 0;
  frameContext = nullptr;
  {
    // Before init and after stop there is nothing to wait for.
    PLockGuard guard(lock_);
    if (!core_) return false;
  }
  SamplePacket* packet = nullptr;
  {
    // An end marker held back by the last call comes first.
    PLockGuard guard(lock_);
    std::swap(packet, pendingEnd_);
  }
  // The first wait happens without the lock, so that stop() can get in and
  // stop the queue.
  if (packet == nullptr) packet = queue_.read(true);
  PLockGuard guard(lock_);
  if (!core_) {
    if (packet) packet->release();
    return false;
  }
  if (packet == nullptr) {
    type = PACKET_END;
    return true;
  }
  if (packet->getType() != PACKET_AUDIO && packet->getType() != PACKET_VIDEO &&
      packet->getType() != PACKET_END) {
    packet->release();
    return false;
  }

  for (;;) {
    if (packet->getType() == PACKET_END) {
      // What the decoders still hold (reordered pictures, delayed samples)
      // comes out before the end; the marker waits for the next call.
      if (core_->drainPacketInput(type, data, size, time, duration, keyFrame)) {
        if (deliverable(type)) {
          pendingEnd_ = packet;
          return true;
        }
        delete[] data;
        data = nullptr;
        size = 0;
        continue;
      }
      packet->release();
      type = PACKET_END;
      data = nullptr;
      size = 0;
      return true;
    }
    time = packet->getTime();
    duration = packet->getDuration();
    // The core takes the packet: it releases it, or hands it back as
    // frameContext when it lets it through unchanged.
    if (core_->decodeFromPacket(packet, type, data, size, time, duration, frameContext, keyFrame)) {
      if (deliverable(type)) return true;
      // Audio ahead of the first picture is dropped.
      if (frameContext != nullptr) {
        static_cast<SamplePacket*>(frameContext)->release();
      } else {
        delete[] data;
      }
      data = nullptr;
      size = 0;
      frameContext = nullptr;
    }
    {
      // Waiting for the next packet without the lock keeps stop() from
      // blocking behind a reader that waits for a writer.
      PUnlockGuard unlocked(lock_);
      packet = queue_.read(true);
    }
    if (!core_ || packet == nullptr) {
      if (packet) packet->release();
      return false;
    }
  }
}

void FFMpegDecoder::freeFrame(uint8_t* data, void* frameContext) {
  if (frameContext != nullptr) {
    static_cast<SamplePacket*>(frameContext)->release();
  } else {
    delete[] data;
  }
}

void FFMpegDecoder::write(SamplePacket* packet) { queue_.write(packet); }

void FFMpegDecoder::resetPosition(uint64_t /*position*/) {}

bool FFMpegDecoder::start() {
  PLockGuard guard(lock_);
  // After stop there is no core to empty the queue: it stays stopped, so
  // writes are dropped instead of blocking once it is full.
  if (core_) queue_.start();
  return true;
}

void FFMpegDecoder::releasePendingEnd() {
  if (pendingEnd_) pendingEnd_->release();
  pendingEnd_ = nullptr;
}

bool FFMpegDecoder::stop() {
  PLockGuard guard(lock_);
  releasePendingEnd();
  core_.reset();
  queue_.stop();
  return true;
}

bool FFMpegDecoder::close() { return stop(); }

}  // namespace zan
