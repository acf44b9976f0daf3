#include "core/KeyFrameSpacing.h"

#include <algorithm>

extern "C" {
#include <libavutil/mathematics.h>
}

namespace zan {

int64_t longestKeyFrameRunUs(AVStream& stream) {
  const int count = avformat_index_get_entries_count(&stream);
  // An index built while reading (MPEG-TS, FLV) or of cues (Matroska) may
  // skip key frames: a run read from it could be too short.
  if (count < 2 || stream.nb_frames <= 0 || count < stream.nb_frames) return -1;
  int64_t key = AV_NOPTS_VALUE, last = AV_NOPTS_VALUE, longest = 0;
  for (int i = 0; i < count; ++i) {
    const AVIndexEntry* entry = avformat_index_get_entry(&stream, i);
    if (entry == nullptr) return -1;
    last = last == AV_NOPTS_VALUE ? entry->timestamp : std::max(last, entry->timestamp);
    if (!(entry->flags & AVINDEX_KEYFRAME)) continue;
    if (key != AV_NOPTS_VALUE) longest = std::max(longest, entry->timestamp - key);
    key = entry->timestamp;
  }
  if (key == AV_NOPTS_VALUE) return -1;
  longest = std::max(longest, last - key);
  const AVRational rate = stream.avg_frame_rate.num > 0 ? stream.avg_frame_rate : stream.r_frame_rate;
  const int64_t picture = rate.num > 0 && rate.den > 0 ? av_rescale(1000000, rate.den, rate.num) : 40000;
  return av_rescale_q(longest, stream.time_base, AVRational{1, 1000000}) + picture;
}

}  // namespace zan
