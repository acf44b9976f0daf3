#include "core/VideoConverter.h"

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}

namespace zan {

namespace {

// Buffers the converter does not own: FFmpeg may reference them for the
// duration of one conversion but must never free them.
void keepBuffer(void*, uint8_t*) {}

// Lays a frame over caller memory in the given format, rows packed. The
// frame gets a non-owning buffer reference, which swscale's frame API needs.
bool wrap(AVFrame* frame, const uint8_t* data, int size, int width, int height, AVPixelFormat format) {
  frame->width = width;
  frame->height = height;
  frame->format = format;
  if (av_image_fill_arrays(frame->data, frame->linesize, data, format, width, height, 1) < 0) return false;
  frame->buf[0] = av_buffer_create(const_cast<uint8_t*>(data), static_cast<size_t>(size), keepBuffer, nullptr, 0);
  return frame->buf[0] != nullptr;
}

}  // namespace

bool VideoConverter::matches(int sourceWidth, int sourceHeight, AVPixelFormat sourceFormat) const {
  return context_ && sourceWidth == sourceWidth_ && sourceHeight == sourceHeight_ && sourceFormat == sourceFormat_;
}

bool VideoConverter::configure(int sourceWidth, int sourceHeight, AVPixelFormat sourceFormat, int outputWidth,
                               int outputHeight, AVPixelFormat outputFormat) {
  context_.reset();
  outputSize_ = 0;
  if (sourceWidth < 1 || sourceHeight < 1 || outputWidth < 1 || outputHeight < 1) return false;
  if (sws_isSupportedInput(sourceFormat) <= 0 || sws_isSupportedOutput(outputFormat) <= 0) return false;
  const int size = av_image_get_buffer_size(outputFormat, outputWidth, outputHeight, 1);
  if (size <= 0) return false;

  ff::SwsPtr context(sws_alloc_context());
  if (!context) return false;
  av_opt_set_int(context.get(), "srcw", sourceWidth, 0);
  av_opt_set_int(context.get(), "srch", sourceHeight, 0);
  av_opt_set_int(context.get(), "src_format", sourceFormat, 0);
  av_opt_set_int(context.get(), "dstw", outputWidth, 0);
  av_opt_set_int(context.get(), "dsth", outputHeight, 0);
  av_opt_set_int(context.get(), "dst_format", outputFormat, 0);
  av_opt_set_int(context.get(), "sws_flags", SWS_BICUBIC, 0);
  // One thread: the conversion runs on the reader's thread while the
  // decoder's frame threads already keep every core busy; slice threads of
  // swscale only competed with them (measured on the 720p decode benchmark:
  // 4 % slower with one slice thread per core).
  av_opt_set_int(context.get(), "threads", 1, 0);
  if (sws_init_context(context.get(), nullptr, nullptr) < 0) return false;

  context_ = std::move(context);
  sourceWidth_ = sourceWidth;
  sourceHeight_ = sourceHeight;
  sourceFormat_ = sourceFormat;
  outputWidth_ = outputWidth;
  outputHeight_ = outputHeight;
  outputFormat_ = outputFormat;
  outputSize_ = size;
  return true;
}

bool VideoConverter::scale(AVFrame* source, uint8_t* output) {
  ff::FramePtr target = ff::makeFrame();
  if (!target || !wrap(target.get(), output, outputSize_, outputWidth_, outputHeight_, outputFormat_)) return false;
  return sws_scale_frame(context_.get(), target.get(), source) >= 0;
}

bool VideoConverter::convert(const AVFrame* source, uint8_t* output) {
  if (!context_ || source == nullptr || output == nullptr) return false;
  if (source->buf[0] != nullptr) return scale(const_cast<AVFrame*>(source), output);
  // A frame over memory nobody counts references of: give it a borrowed
  // reference so swscale does not copy it.
  ff::FramePtr borrowed = ff::makeFrame();
  if (!borrowed) return false;
  borrowed->width = source->width;
  borrowed->height = source->height;
  borrowed->format = source->format;
  for (int i = 0; i < AV_NUM_DATA_POINTERS; ++i) {
    borrowed->data[i] = source->data[i];
    borrowed->linesize[i] = source->linesize[i];
  }
  borrowed->buf[0] = av_buffer_create(source->data[0], 1, keepBuffer, nullptr, 0);
  if (!borrowed->buf[0]) return false;
  return scale(borrowed.get(), output);
}

bool VideoConverter::convertRaw(const uint8_t* source, int sourceSize, uint8_t* output, bool bottomUp) {
  if (!context_ || source == nullptr || output == nullptr) return false;
  const int needed = av_image_get_buffer_size(sourceFormat_, sourceWidth_, sourceHeight_, 1);
  if (needed <= 0 || sourceSize < needed) return false;
  ff::FramePtr frame = ff::makeFrame();
  if (!frame || !wrap(frame.get(), source, sourceSize, sourceWidth_, sourceHeight_, sourceFormat_)) return false;
  if (bottomUp) {
    // A negative stride walks the rows upwards; only single-plane formats
    // are stored this way.
    frame->data[0] += static_cast<ptrdiff_t>(frame->linesize[0]) * (sourceHeight_ - 1);
    frame->linesize[0] = -frame->linesize[0];
  }
  return scale(frame.get(), output);
}

}  // namespace zan
