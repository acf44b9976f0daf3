// FFMpegDecoderCore: the time seek. FFmpeg is asked for the key frame at
// or before the target; the core then reads ahead to the first video key
// frame at or after the target, drops the pictures before it (they belong
// to groups of pictures that are not delivered) and keeps everything else
// it read for the frame pump, which takes those packets before reading on.
// Delivery therefore resumes on a picture that decodes on its own, and the
// lower bound of accepted times (set by setPosition to that picture's time)
// makes audio resume with it.
#include <algorithm>
#include <cinttypes>
#include <cstring>

#include "core/FFMpegDecoderCore.h"
#include "core/OpenFailure.h"
#include "support/CBBLog.h"

namespace zan {

namespace {

// Demuxers that find a time by searching the bytes (MPEG-TS, program
// streams) may land past the key frame that starts the target's group of
// pictures; the seek then steps back by this much, doubled each time.
constexpr int64_t kFirstSeekMarginUs = 1000000;
// How far past the target a key frame is looked for, and how many packets
// may be held meanwhile.
constexpr int64_t kKeyFrameSearchUs = 6000000;
constexpr size_t kReadAheadLimit = 4096;

// A packet's time in its stream's units: its presentation time, else its
// decoding time.
int64_t packetTime(const AVPacket* packet) { return packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts; }

// A time of FFmpeg's microsecond clock (the one seek targets are given in)
// in a stream's units, rounded down: a packet at or after it is at or after
// the microsecond time, whatever the rounding of either side.
int64_t inStreamUnits(int64_t microseconds, const AVStream* stream) {
  return av_rescale_q_rnd(microseconds, AV_TIME_BASE_Q, stream->time_base,
                          static_cast<AVRounding>(AV_ROUND_DOWN | AV_ROUND_PASS_MINMAX));
}

}  // namespace

int64_t FFMpegDecoderCore::mediumStart() const {
  if (formatContext_ == nullptr || formatContext_->start_time == AV_NOPTS_VALUE) return 0;
  return formatContext_->start_time;
}

uint64_t FFMpegDecoderCore::deliveredClock(uint64_t fromStart) const {
  // The stream clock carries the medium's start time; times made relative
  // to the first packet (no duration) or counted do not.
  const bool streamClock = !counterClock_ && !decoderClock_ && duration_ > 0;
  return fromStart + static_cast<uint64_t>(streamClock ? mediumStart() + wrapShift_ : 0);
}

int FFMpegDecoderCore::readPacket(AVPacket* packet) {
  if (readAhead_.empty()) {
    const int result = av_read_frame(formatContext_, packet);
    if (result < 0) noteReadFailure(result);
    return result;
  }
  av_packet_move_ref(packet, readAhead_.front().get());
  readAhead_.pop_front();
  return 0;
}

void FFMpegDecoderCore::noteReadFailure(int result) {
  // Only an HTTP(S) location FFmpeg opened itself is a download here: local
  // files, pipes and the protocols over them end as their bytes do. A close
  // or abort was asked for.
  if (watched_ == nullptr || isAborted() || abortRequested()) return;
  AVIOContext* io = formatContext_->pb;
  const char* protocol = avio_find_protocol_name(formatContext_->url != nullptr ? formatContext_->url : "");
  if (io == nullptr || protocol == nullptr || std::strncmp(protocol, "http", 4) != 0) return;
  // FFmpeg's HTTP reads on after a cut by itself, from where it stopped,
  // and fails a body that still ends short of its announced length; what
  // fails here is lost. The end of the medium is no loss: a demuxer stops
  // where its last sample does, which may be before the file's end (an
  // MP4 indexed at the end).
  if (result == AVERROR_EOF && io->error == 0) return;
  const int error = io->error != 0 ? io->error : result;
  const std::string cause = stallWatch_.tripped() && error == AVERROR_EXIT ? describeStall(stallWatch_.responded())
                                                                            : describeOpenFailure(error, {});
  logError("FFMpegDecoderCore: the download broke off at byte %" PRId64 ": %s", avio_tell(io), cause.c_str());
  // Reported once: a seek may read on, and the end that follows is the
  // medium's own.
  io->error = 0;
  downloadBroke_.store(true, std::memory_order_release);
}

// Reads one more packet of a delivered stream into the read-ahead queue;
// null at the end of the input or when the queue is full.
const AVPacket* FFMpegDecoderCore::readAhead() {
  while (readAhead_.size() < kReadAheadLimit) {
    ff::PacketPtr packet = ff::makePacket();
    if (!packet) return nullptr;
    if (const int result = av_read_frame(formatContext_, packet.get()); result < 0) {
      noteReadFailure(result);
      return nullptr;
    }
    if (packet->stream_index != videoStreamIndex_ && packet->stream_index != audioStreamIndex_) continue;
    readAhead_.push_back(std::move(packet));
    return readAhead_.back().get();
  }
  return nullptr;
}

// The time (stream units) of the first packet of the stream |leadIndex|
// that has one after the landing point, reading ahead as far as needed;
// NOPTS when there is none.
int64_t FFMpegDecoderCore::firstLeadTime(int leadIndex) {
  for (size_t i = 0;; ++i) {
    const AVPacket* packet = i < readAhead_.size() ? readAhead_[i].get() : readAhead();
    if (packet == nullptr) return AV_NOPTS_VALUE;
    if (packet->stream_index == leadIndex && packetTime(packet) != AV_NOPTS_VALUE) return packetTime(packet);
  }
}

bool FFMpegDecoderCore::seekToKeyFrame(int64_t target, int64_t& landed) {
  landed = target;
  if (av_seek_frame(formatContext_, -1, target, AVSEEK_FLAG_BACKWARD) < 0) {
    // Some demuxers have nothing at or before a target below their first
    // key frame; the next one will do, or else any frame.
    logDebug("FFMpegDecoderCore::setPosition(): av_seek_frame (timepos = %d, flag=AVSEEK_FLAG_BACKWARD) failed!",
             static_cast<int>(target));
    if (av_seek_frame(formatContext_, -1, target, 0) < 0 &&
        av_seek_frame(formatContext_, -1, target, AVSEEK_FLAG_ANY) < 0) {
      logDebug("FFMpegDecoderCore::setPosition(): av_seek_frame (timepos = %d, flag=AVSEEK_FLAG_ANY) failed!",
               static_cast<int>(target));
      return false;
    }
  }
  readAhead_.clear();
  const AVStream* lead = videoStream_ ? videoStream_ : audioStream_;
  const int leadIndex = videoStream_ ? videoStreamIndex_ : audioStreamIndex_;
  if (lead == nullptr) return true;

  // Reading must resume before the target, or a key frame right at it may
  // have been passed over.
  const int64_t start = mediumStart();
  const int64_t leadTarget = inStreamUnits(target, lead);
  for (int64_t margin = kFirstSeekMarginUs, from = target;; margin *= 2) {
    const int64_t first = firstLeadTime(leadIndex);
    if (first == AV_NOPTS_VALUE || first <= leadTarget || from <= start) break;
    from = std::max(start, target - margin);
    logDebug("FFMpegDecoderCore::setPosition(): landed at %" PRId64 " past %" PRId64 ", seeking from %" PRId64,
             first, leadTarget, from);
    readAhead_.clear();
    if (av_seek_frame(formatContext_, -1, from, AVSEEK_FLAG_BACKWARD) < 0) {
      // FFmpeg's first answer is better than none.
      readAhead_.clear();
      if (av_seek_frame(formatContext_, -1, target, AVSEEK_FLAG_BACKWARD) < 0) return false;
      break;
    }
  }
  if (lead != videoStream_) return true;

  const int64_t searchEnd = inStreamUnits(target + kKeyFrameSearchUs, lead);
  for (size_t i = 0;; ++i) {
    const AVPacket* packet = i < readAhead_.size() ? readAhead_[i].get() : readAhead();
    if (packet == nullptr) return true;  // no key frame: delivery starts at the target
    const int64_t time = packetTime(packet);
    if (packet->stream_index != videoStreamIndex_ || time == AV_NOPTS_VALUE) continue;
    if (time > searchEnd) return true;
    if ((packet->flags & AV_PKT_FLAG_KEY) == 0 || time < leadTarget) continue;
    // Converted as delivered times are, so that the picture passes the
    // lower bound made from it.
    landed = time < 0 ? av_rescale_q(time, lead->time_base, AV_TIME_BASE_Q)
                      : static_cast<int64_t>(toMicroseconds(time, lead->time_base));
    // The pictures before it in the input need pictures that are not read.
    size_t kept = 0;
    for (size_t j = 0; j < readAhead_.size(); ++j)
      if (j >= i || readAhead_[j]->stream_index != videoStreamIndex_) readAhead_[kept++] = std::move(readAhead_[j]);
    readAhead_.resize(kept);
    return true;
  }
}

}  // namespace zan
