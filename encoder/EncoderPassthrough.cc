// Copied streams: compressed packets whose codec the output keeps go to
// the muxer as they are. Their configuration (H.264's avcC record or
// parameter sets, AAC's AudioSpecificConfig) came with the source's
// description as hexadecimal text and is the stream's extradata from the
// header on, so the time-less header packet a pass-through input sends
// first carries nothing new and is not written. FFmpeg's muxers convert
// what the container needs (length-prefixed H.264 to Annex B with the
// parameter sets before each key frame for MPEG-TS, AAC into ADTS, ADTS
// into raw frames for FLV and MP4).
//
// Times: a copied picture carries its presentation time (µs) and comes
// in decoding order; CopiedVideoTimes gives it back its decoding time.
// Audio times are presentation times that are also decoding times.
#include <algorithm>
#include <cinttypes>
#include <cstring>

#include "encoder/FFMpegEncoder.h"
#include "output/BasicMuxer.h"
#include "support/CBBLog.h"

extern "C" {
#include <libavutil/mathematics.h>
}

namespace zan {

using streamer::kNoTime;
using streamer::SamplePacket;

namespace {

constexpr AVRational kMicroseconds{1, 1000000};

int64_t toStreamTime(uint64_t microseconds, AVRational timeBase) {
  return av_rescale_q(static_cast<int64_t>(microseconds), kMicroseconds, timeBase);
}

// The length of the ADTS header |data| begins with (7 bytes, 9 with a
// CRC), or 0 when it does not begin with one.
unsigned adtsHeaderLength(const uint8_t* data, unsigned size) {
  if (size < 7 || data[0] != 0xFF || (data[1] & 0xF6) != 0xF0) return 0;
  const unsigned length = (data[1] & 0x01) ? 7 : 9;
  return size > length ? length : 0;
}

}  // namespace

void FFMpegEncoder::writePassthroughVideo(SamplePacket& packet) {
  waitForVideo_ = false;
  if (packet.getTime() == kNoTime || packet.getData() == nullptr) return;
  const AVRational timeBase = muxer_->formatContext()->streams[video_.index]->time_base;
  const int64_t pts = toStreamTime(packet.getTime(), timeBase);
  const uint64_t frame = packet.getDuration() > 0 ? packet.getDuration() : copiedFrameDuration_;
  const int64_t dts = copiedTimes_.decodingTime(pts, std::max<int64_t>(toStreamTime(frame, timeBase), 1));
  if (muxer_->writeVideoPacket(packet.getData(), packet.getSize(), static_cast<uint64_t>(pts), packet.isKeyFrame(), 0,
                               dts))
    videoEncoded_ = true;
  else
    logError("FFMpegEncoder::write : copied picture at %" PRIu64 " us refused by the muxer", packet.getTime());
}

void FFMpegEncoder::writePassthroughAudio(SamplePacket& packet) {
  if (packet.getTime() == kNoTime || packet.getData() == nullptr) return;
  const AVFormatContext& context = *muxer_->formatContext();
  const AVRational timeBase = context.streams[audio_.index]->time_base;
  // The priming packets of a source are due at its start together with
  // the first frame; one tick apart they keep the order every muxer asks.
  int64_t ts = toStreamTime(packet.getTime(), timeBase);
  if (lastCopiedAudio_ != INT64_MIN && ts <= lastCopiedAudio_) ts = lastCopiedAudio_ + 1;
  lastCopiedAudio_ = ts;
  // AAC read from ADTS keeps its frame headers only where the container
  // is ADTS itself (MPEG-TS); elsewhere the configuration is in the header.
  const uint8_t* data = packet.getData();
  unsigned size = packet.getSize();
  const bool adts = std::strcmp(context.oformat->name, "mpegts") == 0;
  if (!adts && context.streams[audio_.index]->codecpar->codec_id == AV_CODEC_ID_AAC) {
    const unsigned header = adtsHeaderLength(data, size);
    data += header;
    size -= header;
  }
  if (muxer_->writeAudioPacket(data, size, static_cast<uint64_t>(ts), 0))
    audioEncoded_ = true;
  else
    logError("FFMpegEncoder::write : copied audio at %" PRIu64 " us refused by the muxer", packet.getTime());
}

void FFMpegEncoder::setUpCopiedVideo(AVStream& stream, const std::vector<uint8_t>& config) {
  const streamer::VideoDescription& source = *profile_->sourceDescription->getVideo();
  const double fps = source.getFrameRate() > 0 ? source.getFrameRate() : 25.0;
  // Source times are kept to the 90 kHz tick (MPEG-TS's own clock), not
  // rounded to whole frames: variable frame rates survive.
  stream.time_base = AVRational{1, 90000};
  stream.avg_frame_rate = av_d2q(fps, 100000);
  copiedFrameDuration_ = static_cast<uint64_t>(1000000.0 / fps);
  // A stream whose SPS does not say how far it reorders is given room
  // for two pictures, as encoders with B pyramids use.
  const int depth = CopiedVideoTimes::reorderDepth(stream.codecpar->codec_id, config, 2);
  stream.codecpar->video_delay = depth;
  copiedTimes_.reset(depth);
  logDebug("FFMpegEncoder::addNewStream : copied video reorders %d pictures", depth);
}

}  // namespace zan
