#include "core/AudioConverter.h"

#include <cstring>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

namespace zan {

AVSampleFormat AudioConverter::deliveredFormat(AVSampleFormat decoded) {
  switch (decoded) {
    case AV_SAMPLE_FMT_U8:
    case AV_SAMPLE_FMT_U8P: return AV_SAMPLE_FMT_U8;
    case AV_SAMPLE_FMT_S16:
    case AV_SAMPLE_FMT_S16P: return AV_SAMPLE_FMT_S16;
    default: return AV_SAMPLE_FMT_S32;
  }
}

int AudioConverter::deliveredBits(AVSampleFormat decoded) {
  return av_get_bytes_per_sample(deliveredFormat(decoded)) * 8;
}

AudioConverter::~AudioConverter() { av_channel_layout_uninit(&inputLayout_); }

bool AudioConverter::configure(const AVFrame* frame) {
  const AVSampleFormat format = static_cast<AVSampleFormat>(frame->format);
  if (resampler_ && format == inputFormat_ && frame->sample_rate == inputRate_ &&
      av_channel_layout_compare(&frame->ch_layout, &inputLayout_) == 0)
    return true;
  resampler_.reset();
  av_channel_layout_uninit(&inputLayout_);
  if (av_channel_layout_copy(&inputLayout_, &frame->ch_layout) < 0) return false;
  // The same layout on both sides keeps swresample from mixing channels,
  // whatever their order says; only a changed count is mixed.
  AVChannelLayout layout{};
  if (av_channel_layout_copy(&layout, &frame->ch_layout) < 0) return false;
  if (layout.order == AV_CHANNEL_ORDER_UNSPEC) {
    const int channels = layout.nb_channels;
    av_channel_layout_uninit(&layout);
    av_channel_layout_default(&layout, channels);
  }
  AVChannelLayout outputLayout{};
  if (channels_ > 0 && channels_ != layout.nb_channels) av_channel_layout_default(&outputLayout, channels_);
  else if (av_channel_layout_copy(&outputLayout, &layout) < 0) return false;
  SwrContext* raw = nullptr;
  const int made = swr_alloc_set_opts2(&raw, &outputLayout, delivered_, frame->sample_rate, &layout, format,
                                       frame->sample_rate, 0, nullptr);
  av_channel_layout_uninit(&layout);
  av_channel_layout_uninit(&outputLayout);
  ff::SwrPtr resampler(raw);
  if (made < 0 || swr_init(resampler.get()) < 0) return false;
  resampler_ = std::move(resampler);
  inputFormat_ = format;
  inputRate_ = frame->sample_rate;
  return true;
}

bool AudioConverter::append(const AVFrame* frame, std::vector<uint8_t>& out) {
  if (frame == nullptr || frame->nb_samples <= 0) return false;
  if (frame->ch_layout.nb_channels <= 0) return false;
  const int channels = channels_ > 0 ? channels_ : frame->ch_layout.nb_channels;
  const AVSampleFormat format = static_cast<AVSampleFormat>(frame->format);
  const int bytesPerSample = av_get_bytes_per_sample(delivered_);
  const size_t bytes = static_cast<size_t>(frame->nb_samples) * static_cast<size_t>(channels * bytesPerSample);
  const size_t start = out.size();

  if (format == delivered_ && channels == frame->ch_layout.nb_channels) {
    out.resize(start + bytes);
    std::memcpy(out.data() + start, frame->extended_data[0], bytes);
    return true;
  }
  if (!configure(frame)) return false;
  out.resize(start + bytes);
  uint8_t* target = out.data() + start;
  const int converted = swr_convert(resampler_.get(), &target, frame->nb_samples,
                                    const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
  if (converted < 0) {
    out.resize(start);
    return false;
  }
  out.resize(start + static_cast<size_t>(converted) * static_cast<size_t>(channels * bytesPerSample));
  return true;
}

}  // namespace zan
