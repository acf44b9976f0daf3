// FFMpegDecoderCore: encoder priming at the start of an audio stream. AAC
// (and other codecs with an encoder delay) in MP4 begins with a packet whose
// time is negative; the container marks it for trimming ("skip samples"
// side data from the edit list, or the discard flag). The decoder needs it
// to get the first delivered samples right, so it is decoded; FFmpeg trims
// what the container says, and whatever still lies before time 0 is not
// delivered either.
#include "core/AudioConverter.h"
#include "core/FFMpegDecoderCore.h"

#include <algorithm>

extern "C" {
#include <libavutil/mathematics.h>
}

namespace zan {

bool FFMpegDecoderCore::isAudioPriming(const AVPacket* packet) const {
  if (skipAudio_ || !audioCodec_ || !audioConverter_) return false;
  if (packet->stream_index != audioStreamIndex_ || audioStreamIndex_ < 0) return false;
  // The skip count is carried by the first packet only; the packets that
  // follow it before time 0 belong to the same priming.
  return audioPriming_ || (packet->flags & AV_PKT_FLAG_DISCARD) != 0 ||
         av_packet_get_side_data(packet, AV_PKT_DATA_SKIP_SAMPLES, nullptr) != nullptr;
}

bool FFMpegDecoderCore::decodePrimingPacket(AVPacket* packet, uint8_t*& data, unsigned& size, uint64_t& time,
                                            uint64_t& duration) {
  audioPriming_ = true;
  const AVRational timeBase = audioStream_->time_base;
  audioScratch_.clear();
  int64_t samples = 0;
  int64_t firstPts = AV_NOPTS_VALUE;
  auto collect = [&] {
    while (avcodec_receive_frame(audioCodec_.get(), decodeFrame_.get()) >= 0) {
      const int64_t pts = decodeFrame_->best_effort_timestamp;
      const int rate = decodeFrame_->sample_rate;
      const int64_t before = pts == AV_NOPTS_VALUE || rate <= 0 ? decodeFrame_->nb_samples
                             : pts < 0                          ? av_rescale_q(-pts, timeBase, AVRational{1, rate})
                                                                : 0;
      const size_t start = audioScratch_.size();
      if (before < decodeFrame_->nb_samples && audioConverter_->append(decodeFrame_.get(), audioScratch_)) {
        const size_t frameBytes = static_cast<size_t>(av_get_bytes_per_sample(audioConverter_->delivered())) *
                                  static_cast<size_t>(decodeFrame_->ch_layout.nb_channels);
        const size_t end = std::min(audioScratch_.size(), start + static_cast<size_t>(before) * frameBytes);
        audioScratch_.erase(audioScratch_.begin() + static_cast<std::ptrdiff_t>(start),
                            audioScratch_.begin() + static_cast<std::ptrdiff_t>(end));
        if (firstPts == AV_NOPTS_VALUE) firstPts = pts < 0 ? 0 : pts;
        samples += decodeFrame_->nb_samples - before;
      }
      av_frame_unref(decodeFrame_.get());
    }
  };
  if (avcodec_send_packet(audioCodec_.get(), packet) == AVERROR(EAGAIN)) {
    collect();
    avcodec_send_packet(audioCodec_.get(), packet);
  }
  collect();
  if (samples == 0 || audioScratch_.empty()) return false;

  const int rate = audioCodec_->sample_rate > 0 ? audioCodec_->sample_rate : audioSampleRate_;
  const uint64_t blockTime =
      !counterClock_ && !decoderClock_ ? toMicroseconds(firstPts, timeBase) : audioNextTimestamp_;
  const uint64_t blockDuration =
      rate > 0 ? static_cast<uint64_t>(samples) * 1000000u / static_cast<uint64_t>(rate) : 0;
  if (blockTime < seekTarget_) return false;
  size = static_cast<unsigned>(audioScratch_.size());
  data = new uint8_t[size];
  std::copy(audioScratch_.begin(), audioScratch_.end(), data);
  time = blockTime;
  duration = blockDuration;
  audioLastTimestamp_ = blockTime;
  audioNextTimestamp_ = blockTime + blockDuration;
  return true;
}

}  // namespace zan
