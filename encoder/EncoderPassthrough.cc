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
//
// RTP targets have no container: copied H.264 pictures are cut into
// payloads as encoded ones are (RtpVideoPacketizer, from length-prefixed
// or Annex B NAL units alike), and each copied AAC frame becomes one
// payload of the target's audio format (LATM or MPEG-4 generic), without
// its ADTS header. The source's configuration bytes become the target's,
// from which the session description takes the parameter sets, the
// profile and the AudioSpecificConfig. Payload times are the source's.
#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <vector>

#include "encoder/profile/CodecResolver.h"
#include "encoder/FFMpegEncoder.h"
#include "output/BasicMuxer.h"
#include "support/CBBLog.h"
#include "support/HexText.h"

extern "C" {
#include <libavutil/mathematics.h>
}

namespace zan {

using streamer::kNoTime;
using streamer::SamplePacket;

namespace {

constexpr AVRational kMicroseconds{1, 1000000};
// How long copied pictures are left out while no key frame has come.
constexpr uint64_t kKeyFrameWaitUs = 10000000;
// RTP's clock for video, and the time base copied pictures are cut in.
constexpr AVRational kRtpVideoClock{1, 90000};

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

bool FFMpegEncoder::openCopiedRtp(Output& out, const std::string& codecName, Kind kind, int payloadSize) {
  const bool video = kind == Kind::kVideo;
  const streamer::InputStreamDescription& source = *profile_->sourceDescription;
  const streamer::TrackDescription& track =
      video ? static_cast<const streamer::TrackDescription&>(*source.getVideo()) : *source.getAudio();
  const codecs::Resolution decoder = codecs::resolveDecoder(track.getCodec());
  const AVCodecID id = decoder.codec ? decoder.codec->id : AV_CODEC_ID_NONE;
  if (id != (video ? AV_CODEC_ID_H264 : AV_CODEC_ID_AAC)) {
    logError("FFMpegEncoder::init : %s cannot be copied into RTP payloads (only H.264 and AAC can)", codecName.c_str());
    return false;
  }
  // Without the configuration the session description could not tell a
  // receiver how to decode the stream.
  const std::vector<uint8_t> config = fromHex(track.getCodecData());
  if (config.empty()) {
    logError("FFMpegEncoder::addNewStream : %s cannot be copied without its configuration bytes", codecName.c_str());
    return false;
  }
  if (video) {
    ff::CodecParametersPtr parameters(avcodec_parameters_alloc());
    if (!parameters) return false;
    parameters->codec_type = AVMEDIA_TYPE_VIDEO;
    parameters->codec_id = id;
    parameters->width = source.getVideo()->getWidth();
    parameters->height = source.getVideo()->getHeight();
    parameters->extradata = static_cast<uint8_t*>(av_mallocz(config.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (parameters->extradata == nullptr) return false;
    std::copy(config.begin(), config.end(), parameters->extradata);
    parameters->extradata_size = static_cast<int>(config.size());
    if (!rtpVideo_.open(*parameters, kRtpVideoClock, payloadSize)) {
      logError("FFMpegEncoder::init : no RTP payload format for %s", codecName.c_str());
      return false;
    }
    const double fps = source.getVideo()->getFrameRate() > 0 ? source.getVideo()->getFrameRate() : 25.0;
    copiedFrameDuration_ = static_cast<uint64_t>(1000000.0 / fps);
    copiedTimes_.reset(CopiedVideoTimes::reorderDepth(id, config, 2));
    awaitCopiedKeyFrame();
  }
  heldAudio_.held = false;
  (video ? static_cast<streamer::TrackDescription*>(profile_->target->getVideo()) : profile_->target->getAudio())
      ->setCodecData(track.getCodecData());
  out.index = static_cast<int>(kind);
  out.codecName = codecName;
  out.passthrough = true;
  return true;
}

void FFMpegEncoder::sendCopiedVideo(SamplePacket& packet) {
  waitForVideo_ = false;
  if (!takesCopiedPicture(packet)) return;
  const uint64_t frame = packet.getDuration() > 0 ? packet.getDuration() : copiedFrameDuration_;
  ff::PacketPtr picture = ff::makePacket();
  if (!picture) return;
  // The packetizer copies the bytes; they are only lent here.
  picture->data = packet.getData();
  picture->size = static_cast<int>(packet.getSize());
  picture->pts = toStreamTime(packet.getTime(), kRtpVideoClock);
  picture->dts = copiedTimes_.decodingTime(picture->pts, std::max<int64_t>(toStreamTime(frame, kRtpVideoClock), 1));
  if (packet.isKeyFrame()) picture->flags |= AV_PKT_FLAG_KEY;
  const bool cut = rtpVideo_.packetize(*picture, [&](const uint8_t* payload, size_t size) {
    pushPayload(streamer::PACKET_VIDEO, payload, size, packet.getTime(), frame, packet.isKeyFrame());
  });
  if (cut) videoEncoded_ = true;
  else logError("FFMpegEncoder::write : copied picture at %" PRIu64 " us not cut into RTP payloads", packet.getTime());
}

void FFMpegEncoder::sendCopiedAudio(SamplePacket& packet) {
  if (packet.getTime() == kNoTime || packet.getData() == nullptr) return;
  const unsigned header = adtsHeaderLength(packet.getData(), packet.getSize());
  const int rate = profile_->sourceDescription->getAudio()->getSampleRate();
  const uint64_t frame = packet.getDuration() > 0 ? packet.getDuration()
                         : rate > 0                ? static_cast<uint64_t>(av_rescale(1024, 1000000, rate))
                                                   : 0;
  // A frame is held until the next one shows that it is not a priming
  // frame: priming frames come due at the start together with the first
  // real frame, and RTP has no time before a stream's first payload to
  // place them at. One that is left out costs the receiver the overlap
  // of the first frame only, as joining a stream does; the sound keeps
  // its length and stays with the pictures.
  if (heldAudio_.held && packet.getTime() <= heldAudio_.time)
    logDebug("FFMpegEncoder::write : copied priming audio at %" PRIu64 " us left out of RTP", heldAudio_.time);
  else
    sendHeldAudio();
  heldAudio_.bytes.assign(packet.getData() + header, packet.getData() + packet.getSize());
  heldAudio_.time = packet.getTime();
  heldAudio_.duration = frame;
  heldAudio_.held = true;
  audioEncoded_ = true;
}

void FFMpegEncoder::sendHeldAudio() {
  if (!heldAudio_.held) return;
  heldAudio_.held = false;
  pushPayload(streamer::PACKET_AUDIO, heldAudio_.bytes.data(), heldAudio_.bytes.size(), heldAudio_.time,
              heldAudio_.duration, true);
}

bool FFMpegEncoder::takesCopiedPicture(SamplePacket& packet) {
  if (packet.getTime() == kNoTime || packet.getData() == nullptr) return false;
  if (!copiedKeySeen_ && !packet.isKeyFrame()) {
    // A source that never marks its key frames would lose every picture:
    // after a while they are taken as they come.
    if (firstLeftOut_ == kNoTime) firstLeftOut_ = packet.getTime();
    if (packet.getTime() < firstLeftOut_ + kKeyFrameWaitUs) {
      logWarn("FFMpegEncoder::write : copied picture at %" PRIu64 " us before the first key frame left out",
              packet.getTime());
      return false;
    }
    logError("FFMpegEncoder::write : no copied key frame within %" PRIu64 " s; pictures taken from %" PRIu64 " us on",
             kKeyFrameWaitUs / 1000000, packet.getTime());
  }
  copiedKeySeen_ = true;
  return true;
}

void FFMpegEncoder::writePassthroughVideo(SamplePacket& packet) {
  waitForVideo_ = false;
  if (!takesCopiedPicture(packet)) return;
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

void FFMpegEncoder::setUpCopiedAudio(AVStream& stream, const std::vector<uint8_t>& config) {
  // The samples each packet carries: MP4 times its packets by them (a
  // fragment's last packet has no next one to be timed by).
  AVCodecParameters& parameters = *stream.codecpar;
  const int objectType = config.empty() ? 0 : config[0] >> 3;
  switch (parameters.codec_id) {
    // HE-AAC (explicit SBR or PS) is described at the doubled rate, where
    // each frame holds twice the core's samples.
    case AV_CODEC_ID_AAC: parameters.frame_size = objectType == 5 || objectType == 29 ? 2048 : 1024; break;
    case AV_CODEC_ID_MP2: parameters.frame_size = 1152; break;
    case AV_CODEC_ID_MP3: parameters.frame_size = parameters.sample_rate >= 32000 ? 1152 : 576; break;
    default: break;
  }
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
  awaitCopiedKeyFrame();
  logDebug("FFMpegEncoder::addNewStream : copied video reorders %d pictures", depth);
}

}  // namespace zan
