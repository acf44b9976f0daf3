#include "core/Deinterlacer.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace zan {

bool canDeinterlace(AVPixelFormat format) {
  const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
  if (descriptor == nullptr) return false;
  if (!(descriptor->flags & AV_PIX_FMT_FLAG_PLANAR) || (descriptor->flags & AV_PIX_FMT_FLAG_HWACCEL)) return false;
  for (int i = 0; i < descriptor->nb_components; ++i)
    if (descriptor->comp[i].depth != 8) return false;
  return true;
}

bool deinterlace(const AVFrame* input, AVFrame* output) {
  const AVPixelFormat format = static_cast<AVPixelFormat>(input->format);
  if (!canDeinterlace(format)) return false;
  const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
  output->format = input->format;
  output->width = input->width;
  output->height = input->height;
  if (av_frame_get_buffer(output, 0) < 0) return false;
  av_frame_copy_props(output, input);

  for (int plane = 0; plane < 4 && input->data[plane]; ++plane) {
    const bool chroma = plane == 1 || plane == 2;
    const int width = chroma ? AV_CEIL_RSHIFT(input->width, descriptor->log2_chroma_w) : input->width;
    const int height = chroma ? AV_CEIL_RSHIFT(input->height, descriptor->log2_chroma_h) : input->height;
    const uint8_t* source = input->data[plane];
    const int sourceStride = input->linesize[plane];
    uint8_t* target = output->data[plane];
    const int targetStride = output->linesize[plane];
    for (int y = 0; y < height; ++y) {
      const uint8_t* above = source + (y > 0 ? y - 1 : y) * sourceStride;
      const uint8_t* row = source + y * sourceStride;
      const uint8_t* below = source + (y + 1 < height ? y + 1 : y) * sourceStride;
      uint8_t* out = target + y * targetStride;
      for (int x = 0; x < width; ++x) out[x] = static_cast<uint8_t>((above[x] + 2 * row[x] + below[x] + 2) >> 2);
    }
  }
  return true;
}

}  // namespace zan
