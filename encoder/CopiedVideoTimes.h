// Decoding times for copied pictures. A copied picture arrives in decoding
// order with its presentation time only; a muxer needs both. The decoding
// time of each picture is the smallest of the last (depth + 1) largest
// presentation times seen, where depth is how many pictures the stream
// may reorder (its SPS says so): that is never later than the picture's
// own presentation time and always rises, so composition offsets (B
// pictures) survive the copy. Before the first pictures the decoding
// times reach below the first presentation time by depth frames.
//
// Not thread-safe: owned and used by the encoder under its write lock.
#pragma once

#include <cstdint>
#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace zan {

class CopiedVideoTimes {
 public:
  // Starts over with a stream that reorders up to |depth| pictures.
  void reset(int depth);
  // The decoding time of the next picture of presentation time |pts|;
  // |frameDuration| (same units) spaces the times before the first picture.
  int64_t decodingTime(int64_t pts, int64_t frameDuration);
  int depth() const { return depth_; }

  // How many pictures an H.264 stream of |config| (avcC record or Annex B
  // parameter sets) may reorder, as its sequence parameter set declares;
  // 0 for other codecs. A High-profile SPS that declares nothing may
  // reorder as many as its picture buffer holds: |fallback| is taken then.
  static int reorderDepth(AVCodecID codec, const std::vector<uint8_t>& config, int fallback);

 private:
  int depth_ = 0;
  std::vector<int64_t> largest_;  // ascending; empty before the first picture
  int64_t last_ = INT64_MIN;
};

}  // namespace zan
