// The encoder's input side: packets from the engine are queued by kind,
// lined up in time (audio may start at most 10 ms before or 100 ms after
// the video) and handed out in time order to the encoders, or to the muxer
// for streams that are copied through.
#include <cinttypes>

#include "encoder/profile/CodecTables.h"
#include "encoder/FFMpegEncoder.h"
#include "output/BasicMuxer.h"
#include "output/InternalSamplePacket.h"

namespace zan {

using streamer::kNoTime;
using streamer::PACKET_AUDIO;
using streamer::PACKET_END;
using streamer::PACKET_VIDEO;
using streamer::SamplePacket;

namespace {

bool isEnd(const SamplePacket* packet) { return const_cast<SamplePacket*>(packet)->getType() == PACKET_END; }

}  // namespace

void FFMpegEncoder::write(SamplePacket* packet) {
  std::lock_guard<std::mutex> guard(writeLock_);
  waitForRoom();
  if (packet == nullptr) return;
  const streamer::PACKETTYPE type = packet->getType();
  // After the end packet the encoders are drained and the container is
  // finished; only another end marker is still answered. A failed encoder
  // answers nothing (its reader sees no end marker).
  if (!hasOutput() || isStopped() || failed_ || (ended_ && type != PACKET_END)) {
    packet->release();
    return;
  }
  switch (type) {
    case PACKET_AUDIO: audioInput_.push_back(packet); break;
    case PACKET_VIDEO: videoInput_.push_back(packet); break;
    case PACKET_END:
      packet->setTime(kNoTime);
      (video_.index >= 0 ? videoInput_ : audioInput_).push_back(packet);
      break;
    default: packet->release(); return;
  }
  while (!failed_) {
    SamplePacket* next = getNextInputPacket();
    if (next == nullptr) break;
    // Audio that comes before the first picture after a restart is dropped,
    // so that the restarted streams begin together.
    if (next->getType() == PACKET_AUDIO && video_.index >= 0 && waitForVideo_) {
      next->release();
      continue;
    }
    if (next->getType() == PACKET_AUDIO) drainStalledVideo(next->getTime());
    processPacket(next);
    next->release();
  }
}

void FFMpegEncoder::processPacket(SamplePacket* packet) {
  switch (packet->getType()) {
    case PACKET_AUDIO:
      if (audio_.passthrough && muxer_) writePassthroughAudio(*packet);
      else if (audio_.passthrough && rtp_) sendCopiedAudio(*packet);
      else encodeAudioPacket(*packet);
      break;
    case PACKET_VIDEO:
      if (video_.passthrough && muxer_) writePassthroughVideo(*packet);
      else if (video_.passthrough && rtp_) sendCopiedVideo(*packet);
      else encodeVideoPacket(*packet);
      break;
    case PACKET_END: finishStream(); break;
    default: break;
  }
}

bool FFMpegEncoder::needAudioVideoSync() const {
  return !audio_.passthrough && !video_.passthrough && audio_.encodes() && video_.codec;
}

SamplePacket* FFMpegEncoder::getNextInputPacket() {
  if (!needAudioVideoSync()) audioVideoDiff_ = 0;
  if (audioInput_.empty() && videoInput_.empty()) return nullptr;
  // The end packet has no time to line up with: once it is queued, what
  // still waits for the other stream is let through.
  if ((!audioInput_.empty() && isEnd(audioInput_.back())) || (!videoInput_.empty() && isEnd(videoInput_.back())))
    audioVideoDiff_ = 0;

  while (!audioInput_.empty()) {
    if (videoInput_.empty() || audioVideoDiff_ == 0) break;
    if (firstAudioTs_ == INT64_MIN) firstAudioTs_ = static_cast<int64_t>(audioInput_.front()->getTime());
    if (firstVideoTs_ == INT64_MIN) firstVideoTs_ = static_cast<int64_t>(videoInput_.front()->getTime());
    if (firstAudioTs_ == INT64_MIN || firstVideoTs_ == INT64_MIN) break;
    audioVideoDiff_ = firstAudioTs_ - firstVideoTs_;
    if (audioVideoDiff_ >= kAudioEarlyLimit && audioVideoDiff_ <= kAudioLateLimit) {
      logDebug("FFMpegEncoder::write -- audio video diff is %" PRId64 " -- ", audioVideoDiff_);
      break;
    }
    waitForVideo_ = true;
    if (audioVideoDiff_ < kAudioEarlyLimit) {
      logInfo("FFMpegEncoder::write -- audio video diff is %" PRId64 " -- drop audio", audioVideoDiff_);
      audioInput_.front()->release();
      audioInput_.pop_front();
      firstAudioTs_ = INT64_MIN;
    } else {
      logInfo("FFMpegEncoder::write -- audio video diff is %" PRId64 " -- drop video", audioVideoDiff_);
      videoInput_.front()->release();
      videoInput_.pop_front();
      firstVideoTs_ = INT64_MIN;
    }
    audioVideoDiff_ = INT64_MIN;
  }

  if (audioVideoDiff_ != 0 && (audioInput_.size() > kSyncGiveUpPackets || videoInput_.size() > kSyncGiveUpPackets)) {
    logWarn("FFMpegEncoder::getNextInputPacket : AVSync - too many packets have been already processed, drop av "
            "sync work %zu %zu",
            audioInput_.size(), videoInput_.size());
    audioVideoDiff_ = 0;
  }
  if (audioVideoDiff_ == INT64_MIN) {
    logDebug("FFMpegEncoder::write -- audio video diff is undefined -- queue packets until we get a diff value");
    return nullptr;
  }

  std::deque<SamplePacket*>* from = nullptr;
  if (videoInput_.empty()) {
    from = &audioInput_;
  } else if (audioInput_.empty()) {
    from = &videoInput_;
  } else {
    // Times compare unsigned, so an end packet (no time) sorts last; on
    // equal times audio goes first.
    const bool videoFirst = !isEnd(videoInput_.front()) && videoInput_.front()->getTime() < audioInput_.front()->getTime();
    from = videoFirst ? &videoInput_ : &audioInput_;
  }
  SamplePacket* packet = from->front();
  from->pop_front();
  return packet;
}

void FFMpegEncoder::finishStream() {
  if (!ended_) {
    // Everything the encoders and the muxer still hold leaves before the
    // end marker: the reader stops at PACKET_END.
    if (audio_.encodes()) encodeAudioFrames(true);
    sendHeldAudio();
    if (video_.codec) doEncodeVideo(nullptr);
    for (LowVideo& low : lowVideo_)
      if (low.codec) doEncodeLow(low, nullptr);
    if (muxer_) muxer_->writeTrailer();
    ended_ = true;
  }
  logInfo("FFMpegEncoder: END packet received");
  auto end = std::make_unique<InternalSamplePacket>();
  end->set(PACKET_END, nullptr, 0, 0, 0, false);
  pushPacket(std::move(end));
}

void FFMpegEncoder::releaseInputQueues() {
  for (SamplePacket* packet : audioInput_) packet->release();
  for (SamplePacket* packet : videoInput_) packet->release();
  audioInput_.clear();
  videoInput_.clear();
}

}  // namespace zan
