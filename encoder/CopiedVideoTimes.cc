#include "encoder/CopiedVideoTimes.h"

#include <algorithm>
#include <cstring>

#include "ffmpeg/FFmpegPtr.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/mem.h>
}

namespace zan {

void CopiedVideoTimes::reset(int depth) {
  depth_ = std::max(depth, 0);
  largest_.clear();
  last_ = INT64_MIN;
}

int64_t CopiedVideoTimes::decodingTime(int64_t pts, int64_t frameDuration) {
  if (largest_.empty()) {
    for (int i = depth_; i >= 1; --i) largest_.push_back(pts - i * frameDuration);
    largest_.push_back(pts);
  } else if (pts > largest_.front()) {
    largest_.front() = pts;
    std::sort(largest_.begin(), largest_.end());
  }
  int64_t dts = std::min(largest_.front(), pts);
  // Muxers refuse two pictures at one decoding time.
  if (last_ != INT64_MIN && dts <= last_) dts = last_ + 1;
  last_ = dts;
  return dts;
}

int CopiedVideoTimes::reorderDepth(AVCodecID codec, const std::vector<uint8_t>& config, int fallback) {
  if (codec != AV_CODEC_ID_H264 || config.empty()) return 0;
  // FFmpeg's H.264 decoder reads the parameter sets of its extradata when
  // it opens and takes the SPS's num_reorder_frames as its reorder delay.
  const AVCodec* decoder = avcodec_find_decoder(AV_CODEC_ID_H264);
  if (decoder == nullptr) return fallback;
  ff::CodecContextPtr context(avcodec_alloc_context3(decoder));
  if (!context) return fallback;
  context->extradata = static_cast<uint8_t*>(av_mallocz(config.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  if (context->extradata == nullptr) return fallback;
  std::memcpy(context->extradata, config.data(), config.size());
  context->extradata_size = static_cast<int>(config.size());
  context->thread_count = 1;
  if (avcodec_open2(context.get(), decoder, nullptr) < 0) return fallback;
  if (context->has_b_frames > 0) return context->has_b_frames;
  // Baseline and constrained profiles have no B pictures.
  const int profile = context->profile & ~FF_PROFILE_H264_CONSTRAINED;
  return profile == FF_PROFILE_H264_BASELINE ? 0 : fallback;
}

}  // namespace zan
