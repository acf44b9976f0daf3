#include "encoder/AudioFrameBuilder.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

namespace zan {

bool AudioFrameBuilder::open(int inChannels, int inRate, const AVCodecContext& codec) {
  return open(inChannels, inRate, codec.ch_layout, codec.sample_fmt, codec.sample_rate,
              codec.frame_size > 0 ? codec.frame_size : kVariableFrameSize);
}

bool AudioFrameBuilder::open(int inChannels, int inRate, const AVChannelLayout& layout, AVSampleFormat format,
                             int rate, int frameSize) {
  close();
  if (inChannels <= 0 || inRate <= 0 || rate <= 0 || layout.nb_channels <= 0 || frameSize <= 0) return false;
  AVChannelLayout inLayout{};
  av_channel_layout_default(&inLayout, inChannels);
  SwrContext* raw = nullptr;
  const int made = swr_alloc_set_opts2(&raw, const_cast<AVChannelLayout*>(&layout), format, rate, &inLayout,
                                       AV_SAMPLE_FMT_S16, inRate, 0, nullptr);
  av_channel_layout_uninit(&inLayout);
  if (made < 0) return false;
  ff::SwrPtr resampler(raw);
  if (swr_init(resampler.get()) < 0) return false;
  if (av_channel_layout_copy(&layout_, &layout) < 0) return false;
  format_ = format;
  rate_ = rate;
  frameSize_ = frameSize;
  fifo_.reset(av_audio_fifo_alloc(format_, layout_.nb_channels, frameSize_ * 4));
  scratch_ = ff::makeFrame();
  if (!fifo_ || !scratch_) {
    close();
    return false;
  }
  inChannels_ = inChannels;
  inRate_ = inRate;
  resampler_ = std::move(resampler);
  return true;
}

void AudioFrameBuilder::close() {
  resampler_.reset();
  fifo_.reset();
  scratch_.reset();
  av_channel_layout_uninit(&layout_);
  format_ = AV_SAMPLE_FMT_NONE;
  frameSize_ = 0;
}

void AudioFrameBuilder::reset() {
  if (!resampler_) return;
  av_audio_fifo_reset(fifo_.get());
  // A new context forgets the filter's history; the parameters stay.
  swr_close(resampler_.get());
  swr_init(resampler_.get());
}

int AudioFrameBuilder::queued() const { return fifo_ ? av_audio_fifo_size(fifo_.get()) : 0; }

bool AudioFrameBuilder::queueConverted(const uint8_t* const* in, int frames) {
  const int capacity = swr_get_out_samples(resampler_.get(), frames);
  if (capacity < 0) return false;
  if (capacity == 0) return true;
  av_frame_unref(scratch_.get());
  scratch_->format = format_;
  scratch_->nb_samples = capacity;
  scratch_->sample_rate = rate_;
  if (av_channel_layout_copy(&scratch_->ch_layout, &layout_) < 0) return false;
  if (av_frame_get_buffer(scratch_.get(), 0) < 0) return false;
  const int produced = swr_convert(resampler_.get(), scratch_->extended_data, capacity,
                                   const_cast<const uint8_t**>(in), frames);
  if (produced < 0) return false;
  if (produced == 0) return true;
  return av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(scratch_->extended_data), produced) == produced;
}

bool AudioFrameBuilder::push(const uint8_t* samples, int frames) {
  if (!resampler_ || frames <= 0) return resampler_ != nullptr;
  const uint8_t* planes[1] = {samples};
  return queueConverted(planes, frames);
}

bool AudioFrameBuilder::finish() {
  if (!resampler_) return false;
  return queueConverted(nullptr, 0);
}

ff::FramePtr AudioFrameBuilder::takeFrame(bool final, bool pad) {
  const int available = queued();
  if (available <= 0 || (available < frameSize_ && !final)) return nullptr;
  ff::FramePtr frame = ff::makeFrame();
  if (!frame) return nullptr;
  frame->format = format_;
  frame->nb_samples = frameSize_;
  frame->sample_rate = rate_;
  if (av_channel_layout_copy(&frame->ch_layout, &layout_) < 0 || av_frame_get_buffer(frame.get(), 0) < 0)
    return nullptr;
  const int taken = available < frameSize_ ? available : frameSize_;
  if (av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(frame->extended_data), taken) != taken) return nullptr;
  if (taken < frameSize_) {
    if (pad) av_samples_set_silence(frame->extended_data, taken, frameSize_ - taken, layout_.nb_channels, format_);
    else frame->nb_samples = taken;
  }
  return frame;
}

}  // namespace zan
