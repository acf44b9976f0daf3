#include "transcoders/PcmRateConverter.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

namespace zan {

namespace {

// The default layout of a channel count, as the engine names only counts.
struct Layout {
  explicit Layout(int channels) { av_channel_layout_default(&value, channels); }
  ~Layout() { av_channel_layout_uninit(&value); }
  Layout(const Layout&) = delete;
  Layout& operator=(const Layout&) = delete;
  AVChannelLayout value{};
};

}  // namespace

bool PcmRateConverter::open(int inChannels, int inRate, int outChannels, int outRate) {
  context_.reset();
  if (inChannels <= 0 || outChannels <= 0 || inRate <= 0 || outRate <= 0) return false;
  Layout inLayout(inChannels);
  Layout outLayout(outChannels);
  SwrContext* raw = nullptr;
  if (swr_alloc_set_opts2(&raw, &outLayout.value, AV_SAMPLE_FMT_S16, outRate, &inLayout.value, AV_SAMPLE_FMT_S16,
                          inRate, 0, nullptr) < 0)
    return false;
  ff::SwrPtr context(raw);
  if (swr_init(context.get()) < 0) return false;
  context_ = std::move(context);
  outChannels_ = outChannels;
  outRate_ = outRate;
  return true;
}

int PcmRateConverter::maxOutputFrames(int inFrames) {
  if (!context_) return -1;
  return swr_get_out_samples(context_.get(), inFrames);
}

int PcmRateConverter::convert(const uint8_t* in, int inFrames, uint8_t* out, int capacity) {
  if (!context_) return -1;
  const uint8_t* inPlanes[1] = {in};
  uint8_t* outPlanes[1] = {out};
  return swr_convert(context_.get(), outPlanes, capacity, inPlanes, inFrames);
}

int PcmRateConverter::flush(uint8_t* out, int capacity) {
  if (!context_) return -1;
  uint8_t* outPlanes[1] = {out};
  return swr_convert(context_.get(), outPlanes, capacity, nullptr, 0);
}

}  // namespace zan
