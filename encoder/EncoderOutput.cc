// The encoder's output side: every byte the muxer produces becomes a packet
// of the output queue, which the engine's reading thread drains. The queue
// is bounded by bytes: above the high mark the writer waits until the
// reader has taken it below the low mark.
#include <cinttypes>
#include <vector>

#include "encoder/profile/CodecTables.h"
#include "encoder/FFMpegEncoder.h"
#include "output/BasicMuxer.h"
#include "output/FlvHeader.h"
#include "output/InternalSamplePacket.h"

namespace zan {

using streamer::PACKET_MUXED;

void FFMpegEncoder::pushPacket(std::unique_ptr<InternalSamplePacket> packet) {
  {
    std::lock_guard<std::mutex> lock(queueLock_);
    if (packet->getData() != nullptr) queuedBytes_ += packet->getSize();
    outputQueue_.push_back(packet.release());
    if (queuedBytes_ > kHighMark && inputAllowed_) {
      logInfo("FFMpegEncoder::pushPacket : encoder buffer is full, wait %" PRIu64, queuedBytes_);
      inputAllowed_ = false;
    }
  }
  queueReady_.notify_one();
}

InternalSamplePacket* FFMpegEncoder::popPacket() {
  std::unique_lock<std::mutex> lock(queueLock_);
  // A failed encoder writes nothing more: what is queued is still read,
  // then the reader learns of the end without its marker.
  queueReady_.wait(lock, [this] { return !outputQueue_.empty() || stopped_ || failed_; });
  if (outputQueue_.empty()) return nullptr;
  InternalSamplePacket* packet = outputQueue_.front();
  outputQueue_.pop_front();
  if (packet == pendingHeader_) pendingHeader_ = nullptr;
  if (packet->getData() != nullptr) queuedBytes_ -= packet->getSize();
  if (!inputAllowed_ && queuedBytes_ < kLowMark) {
    logInfo("FFMpegEncoder::popPacket : encoder buffer emptied, resume %" PRIu64, queuedBytes_);
    inputAllowed_ = true;
    inputReady_.notify_all();
  }
  return packet;
}

void FFMpegEncoder::waitForRoom() {
  std::unique_lock<std::mutex> lock(queueLock_);
  if (inputAllowed_) return;
  logInfo("FFMpegEncoder::write : encoder buffer is full, wait");
  // Bytes still in FFmpeg's buffer reach the queue first, so that the
  // reader sees everything written so far.
  lock.unlock();
  if (muxer_) muxer_->flush();
  lock.lock();
  inputReady_.wait(lock, [this] { return inputAllowed_ || stopped_; });
  logInfo("FFMpegEncoder::write : encoder buffer emptied, resume");
}

bool FFMpegEncoder::isStopped() {
  std::lock_guard<std::mutex> lock(queueLock_);
  return stopped_;
}

bool FFMpegEncoder::readFrame(streamer::PACKETTYPE& type, uint8_t*& data, unsigned& size, uint64_t& time,
                              uint64_t& duration, void*& frameContext, bool& keyFrame) {
  InternalSamplePacket* packet = popPacket();
  if (packet == nullptr) return false;
  type = packet->getType();
  data = packet->getData();
  size = packet->getSize();
  time = packet->getTime();
  duration = packet->getDuration();
  keyFrame = packet->isKeyFrame();
  frameContext = packet;
  return true;
}

void FFMpegEncoder::freeFrame(uint8_t*, void* frameContext) { delete static_cast<InternalSamplePacket*>(frameContext); }

void FFMpegEncoder::headerBytes(const uint8_t* data, size_t size) {
  auto packet = std::make_unique<InternalSamplePacket>();
  {
    std::lock_guard<std::mutex> lock(queueLock_);
    pendingHeader_ = packet.get();
  }
  if (codecs::equalsIgnoreCase(profile_->formatName(), "flv")) {
    // FLV starts with the library's own header and onMetaData tag.
    FlvHeaderRecord record;
    record.header = data;
    record.headerSize = static_cast<int>(size);
    record.profile = profile_.get();
    buildFlvHeader(record);
    if (!record.output.empty()) {
      packet->set(PACKET_MUXED, record.output.data(), static_cast<unsigned>(record.output.size()), 0, 0, false);
      pushPacket(std::move(packet));
      return;
    }
  }
  packet->set(PACKET_MUXED, data, static_cast<unsigned>(size), 0, 0, false);
  pushPacket(std::move(packet));
}

void FFMpegEncoder::pushPayload(streamer::PACKETTYPE type, const uint8_t* data, size_t size, uint64_t time,
                                uint64_t duration, bool keyFrame) {
  std::unique_ptr<InternalSamplePacket> packet =
      type == streamer::PACKET_AUDIO ? profile_->createAudioSamplePacket(false) : std::make_unique<InternalSamplePacket>();
  packet->set(type, data, static_cast<unsigned>(size), time, duration, keyFrame);
  if (type != streamer::PACKET_AUDIO) {
    pushPacket(std::move(packet));  // video slices are cut to the payload size when they are made
    return;
  }
  // An audio frame larger than the payload size goes out in fragments.
  std::vector<std::unique_ptr<InternalSamplePacket>> fragments;
  const int payloadSize = profile_->target->getRTPPayloadSize();
  if (!packet->split(static_cast<unsigned>(payloadSize > 0 ? payloadSize : 0), fragments)) {
    logError("FFMpegEncoder::pushPayload : an audio frame of %u bytes does not fit RTP payloads of %d bytes",
             packet->getSize(), payloadSize);
    return;
  }
  if (fragments.empty()) {
    pushPacket(std::move(packet));
    return;
  }
  for (std::unique_ptr<InternalSamplePacket>& fragment : fragments) pushPacket(std::move(fragment));
}

void FFMpegEncoder::segmentFinished(std::unique_ptr<InternalSamplePacket> announcement) {
  pushPacket(std::move(announcement));
}

void FFMpegEncoder::muxedBytes(const uint8_t* data, size_t size) {
  auto packet = std::make_unique<InternalSamplePacket>();
  packet->set(PACKET_MUXED, data, static_cast<unsigned>(size), 0, 0, false);
  pushPacket(std::move(packet));
}

}  // namespace zan
