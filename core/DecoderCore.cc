// FFMpegDecoderCore: construction, teardown, the abort flag and the small
// state accessors. Opening, reading, positioning and the transcoder-input
// mode live in the DecoderCore*.cc files beside this one.
#include <atomic>

#include "core/AudioConverter.h"
#include "core/FFMpegDecoderCore.h"
#include "core/VideoConverter.h"
#include "support/CBBLog.h"

namespace zan {

namespace {
std::atomic<bool> g_abort{false};
}

void FFMpegDecoderCore::setAbort(bool abort) { g_abort.store(abort, std::memory_order_release); }

bool FFMpegDecoderCore::isAborted() { return g_abort.load(std::memory_order_acquire); }

int FFMpegDecoderCore::interruptCallback(void* opaque) {
  auto* core = static_cast<FFMpegDecoderCore*>(opaque);
  return isAborted() || core->abortRequested() || core->networkStalled() ? 1 : 0;
}

bool FFMpegDecoderCore::networkStalled() {
  if (watched_ == nullptr) return false;
  return stallWatch_.stalled(watched_->pb != nullptr ? watched_->pb->bytes_read : -1);
}

FFMpegDecoderCore::FFMpegDecoderCore() : packet_(ff::makePacket()) {}

FFMpegDecoderCore::~FFMpegDecoderCore() { close(); }

// Teardown, one path for every state:
//  - never opened: nothing is held, every owner below is empty;
//  - a file or stream open (also one that failed half-way): the input
//    context is closed with avformat_close_input, then our own AVIOContext
//    (with whatever buffer FFmpeg left in it) is freed;
//  - transcoder input: the stream-only context is freed with
//    avformat_free_context, which frees the streams the core added.
// Codec contexts, converters and frames are owned separately and released
// first, while the streams they describe still exist.
void FFMpegDecoderCore::close() {
  // Raised before taking the lock, so that a read blocked inside FFmpeg on
  // another thread (holding the lock) gives up and lets us in. Only this
  // core's reads are stopped: other cores of the process play on.
  abortRequested_.store(true, std::memory_order_release);
  PLockGuard guard(lock_);
  if (videoCodec_) avcodec_flush_buffers(videoCodec_.get());
  if (audioCodec_) avcodec_flush_buffers(audioCodec_.get());
  audioCodec_.reset();
  videoCodec_.reset();
  videoConverter_.reset();
  audioConverter_.reset();
  decodeFrame_.reset();
  input_.reset();
  watched_ = nullptr;
  byteContext_.reset();
  byteSource_.reset();
  streamsOnly_.reset();
  formatContext_ = nullptr;
  videoStream_ = audioStream_ = nullptr;
  videoChosen_ = false;
  videoStreamIndex_ = audioStreamIndex_ = -1;
  opened_ = false;
  endOfInput_ = videoDrainSent_ = audioDrained_ = false;
  readAhead_.clear();
  if (packet_) av_packet_unref(packet_.get());
}

bool FFMpegDecoderCore::skipAudioDecoding() {
  skipAudio_ = true;
  return true;
}

bool FFMpegDecoderCore::skipVideoDecoding() {
  skipVideo_ = true;
  return true;
}

bool FFMpegDecoderCore::setVideoDecodingMode(int mode) {
  // Without the lock, as the owners call it from a control thread; the
  // stream pointer is only read to learn whether video exists.
  if (!videoChosen_.load()) return false;
  decodingMode_.store(mode);
  return true;
}

void FFMpegDecoderCore::getPosition(uint64_t& position) {
  position = static_cast<uint64_t>(position_.load()) / 1000u;
}

int64_t FFMpegDecoderCore::duration() {
  PLockGuard guard(lock_);
  return duration_;
}

void FFMpegDecoderCore::setDuration(int64_t milliseconds) {
  PLockGuard guard(lock_);
  duration_ = milliseconds;
}

bool FFMpegDecoderCore::isSeekable() {
  PLockGuard guard(lock_);
  return seekable_;
}

bool FFMpegDecoderCore::isRescalingMode() {
  PLockGuard guard(lock_);
  return rescalingMode_;
}

bool FFMpegDecoderCore::hasVideo() {
  PLockGuard guard(lock_);
  return videoStream_ != nullptr;
}

bool FFMpegDecoderCore::hasAudio() {
  PLockGuard guard(lock_);
  return audioStream_ != nullptr;
}

AVCodecContext* FFMpegDecoderCore::videoCodec() const { return videoCodec_.get(); }

AVCodecContext* FFMpegDecoderCore::audioCodec() const { return audioCodec_.get(); }

bool FFMpegDecoderCore::videoDecoded() const { return !skipVideo_.load(); }

uint64_t FFMpegDecoderCore::toMicroseconds(int64_t value, AVRational timeBase) const {
  if (timeBase.den == 0) return 0;
  // The value is taken as unsigned, as the engine's times are.
  const double seconds = static_cast<double>(static_cast<uint64_t>(value)) * timeBase.num / timeBase.den;
  return microsecondCount(seconds * 1000000.0);
}

uint64_t FFMpegDecoderCore::microsecondCount(double microseconds) {
  // A time that fits no 64-bit count (a hostile time base or frame rate,
  // or a negative stamp taken as unsigned) would make the conversion
  // undefined; it becomes 0, which is what such a time came out as before
  // on x86-64.
  if (!(microseconds >= 0.0 && microseconds < 18446744073709551616.0)) return 0;
  return static_cast<uint64_t>(microseconds);
}

}  // namespace zan
