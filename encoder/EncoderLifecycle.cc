// Starting, stopping, closing and restarting the encoder, and emptying its
// queues.
#include "encoder/profile/CodecTables.h"
#include "encoder/FFMpegEncoder.h"
#include "output/BasicMuxer.h"
#include "output/InternalSamplePacket.h"
#include "output/MpegTSSegmentedMuxer.h"

namespace zan {

void FFMpegEncoder::getOutputStreamDescription(streamer::OutputStreamDescription* description) {
  std::lock_guard<std::mutex> guard(writeLock_);
  if (!profile_ || description == nullptr) return;
  profile_->target->copyTo(description);
  description->setEncoded(true);
  if (muxer_ && muxer_->kind() == 1)
    description->set("basePath", static_cast<const MpegTSSegmentedMuxer&>(*muxer_).basePath().c_str());
}

bool FFMpegEncoder::start() {
  {
    std::lock_guard<std::mutex> lock(queueLock_);
    stopped_ = false;
    inputAllowed_ = true;
  }
  inputReady_.notify_all();
  std::lock_guard<std::mutex> guard(writeLock_);
  audioEncoded_ = videoEncoded_ = false;
  if (rtp_) return true;  // payloads need no header
  return muxer_ ? muxer_->writeHeader() : false;
}

bool FFMpegEncoder::stop() {
  {
    std::lock_guard<std::mutex> lock(queueLock_);
    stopped_ = true;
    inputAllowed_ = true;
  }
  inputReady_.notify_all();
  queueReady_.notify_all();
  std::lock_guard<std::mutex> guard(writeLock_);
  if (muxer_) muxer_->close();
  muxer_.reset();
  rtp_ = false;
  rtpVideo_.close();
  return true;
}

bool FFMpegEncoder::close() {
  std::lock_guard<std::mutex> guard(writeLock_);
  // Closing the muxer writes its trailer (when the end packet has not)
  // through the sink while the encoder is still whole.
  if (muxer_) muxer_->close();
  muxer_.reset();
  video_ = Output{};
  audio_ = Output{};
  lowVideo_.clear();
  rtp_ = false;
  rtpVideo_.close();
  picture_.reset();
  swsContext_.reset();
  audioFrames_.close();
  return true;
}

void FFMpegEncoder::flush() {
  {
    std::lock_guard<std::mutex> lock(queueLock_);
    queuedBytes_ = 0;
    std::deque<InternalSamplePacket*> kept;
    for (InternalSamplePacket* packet : outputQueue_) {
      // A finished segment file stays announced: it is whole, and nobody
      // else would ever learn of it.
      if (packet == pendingHeader_ || packet->getType() == streamer::PACKET_SEGMENT) {
        kept.push_back(packet);
        queuedBytes_ += packet->getSize();
      } else {
        delete packet;
      }
    }
    outputQueue_.swap(kept);
    // An empty queue is below every mark: a writer waiting for room goes on.
    inputAllowed_ = true;
  }
  inputReady_.notify_all();
  std::lock_guard<std::mutex> guard(writeLock_);
  releaseInputQueues();
  audioFrames_.reset();
}

void FFMpegEncoder::resetPosition(uint64_t position) {
  flush();
  std::lock_guard<std::mutex> guard(writeLock_);
  // After the end packet the encoders are drained and the container
  // finished: they start again even when nothing was encoded before it.
  if (hasOutput() && !failed_ && (audioEncoded_ || videoEncoded_ || ended_) && !restartOutput(position)) return;
  ended_ = false;
  videoDrained_ = false;
  lastVideoInput_ = streamer::kNoTime;
  segmentStart_ = INT64_MIN;
  awaitCopiedKeyFrame();
  seekOffset_ = position * 1000;
  audioVideoDiff_ = firstAudioTs_ = firstVideoTs_ = INT64_MIN;
  copiedTimes_.reset(copiedTimes_.depth());
  lastCopiedAudio_ = INT64_MIN;
  heldAudio_.held = false;
  waitForVideo_ = true;
  audioRestart_ = true;
  lastPts_ = -1;
}

bool FFMpegEncoder::restartOutput(uint64_t position) {
  if (muxer_ && muxer_->kind() == 1 && !ended_ && !videoDrained_) {
    // The pictures still inside the video encoders finish the segments
    // they belong to: a companion, behind the main output, may not have
    // reached the cut the main output has already announced.
    if (video_.codec) doEncodeVideo(nullptr);
    for (LowVideo& low : lowVideo_)
      if (low.codec) doEncodeLow(low, nullptr);
  }
  if (muxer_) muxer_->suspendOutput();
  // A fresh encoder per stream: nothing of the old position stays in its
  // reference pictures or look-ahead. One that does not open again would
  // leave its stream (and, for video, the audio waiting for it) silent.
  for (auto [output, kind] : {std::pair{&video_, Kind::kVideo}, std::pair{&audio_, Kind::kAudio}}) {
    if (!output->encodes() || openStreamEncoder(*output, output->codecName, kind)) continue;
    fail(kind == Kind::kVideo ? "the video encoder does not open again after a restart"
                              : "the audio encoder does not open again after a restart");
    return false;
  }
  for (LowVideo& low : lowVideo_) {
    if (openLowEncoder(low)) continue;
    fail("a low bitrate encoder does not open again after a restart");
    return false;
  }
  audioFrames_.close();
  if (rtp_ && video_.codec && !rtpVideo_.open(*video_.codec, profile_->target->getRTPPayloadSize())) {
    fail("no RTP payloads for the video after a restart");
    return false;
  }
  // Copied pictures after a seek start a new run of times.
  if (rtp_ && video_.passthrough &&
      !openCopiedRtp(video_, video_.codecName, Kind::kVideo, profile_->target->getRTPPayloadSize())) {
    fail("no RTP payloads for the copied video after a restart");
    return false;
  }
  if (muxer_ && !muxer_->resumeOutput(position)) {
    fail("the container does not start again after a restart");
    return false;
  }
  // FLV times go on from the first start; other containers restart their
  // clocks at the new position (segments too: their audio, placed on the
  // same origin, stays with the pictures).
  if (videoEncoded_ && profile_->formatName() != "flv") videoStartTime_ = 0;
  return true;
}

void FFMpegEncoder::fail(const char* what) {
  logError("FFMpegEncoder : %s; the output ends here, without its end marker", what);
  {
    std::lock_guard<std::mutex> lock(queueLock_);
    failed_ = true;
  }
  queueReady_.notify_all();
  releaseInputQueues();
}

}  // namespace zan
