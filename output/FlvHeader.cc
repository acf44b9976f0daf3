// The FLV header and its onMetaData tag; see FlvHeader.h.
#include "output/FlvHeader.h"

#include <bit>
#include <cstring>
#include <string>
#include <string_view>

#include "encoder/profile/CodecResolver.h"
#include "encoder/profile/FFMpegStreamingProfile.h"
#include "output/BitWriter.h"

namespace zan {

namespace {

constexpr uint8_t kScriptDataTag = 0x12;
constexpr uint8_t kAmfNumber = 0x00;
constexpr uint8_t kAmfString = 0x02;
constexpr uint8_t kAmfEcmaArray = 0x08;
constexpr uint8_t kAmfObjectEnd = 0x09;
constexpr uint8_t kFlvHasAudio = 0x04;
constexpr uint8_t kFlvHasVideo = 0x01;
constexpr int kTagHeaderSize = 11;

struct Presence {
  bool audio;
  bool video;
  bool duration;
};

// A stream kind is announced only when the target asks for it and the
// source has it.
Presence presenceOf(const FFMpegStreamingProfile& profile) {
  const auto* source = profile.sourceDescription;
  const auto* target = profile.target.get();
  return {target->hasAudio() && source->hasAudio(), target->hasVideo() && source->hasVideo(),
          profile.medium->getDuration() > 0};
}

// The codec a profile's codec name stands for: the encoder that serves it,
// or for a stream copied through, the decoder.
AVCodecID codecIdOf(const std::string& name) {
  codecs::Resolution resolution = codecs::resolveEncoder(name);
  if (resolution.codec == nullptr) resolution = codecs::resolveDecoder(name);
  return resolution.codec != nullptr ? resolution.codec->id : AV_CODEC_ID_NONE;
}

// FLV's codec ids, as its video and audio tags carry them; 0 for a codec
// FLV has no id for.
double flvVideoCodecId(const std::string& name) {
  if (name == "vp6") return 4.0;
  switch (codecIdOf(name)) {
    case AV_CODEC_ID_FLV1: return 2.0;
    case AV_CODEC_ID_FLASHSV: return 3.0;
    case AV_CODEC_ID_VP6:
    case AV_CODEC_ID_VP6F: return 4.0;
    case AV_CODEC_ID_VP6A: return 5.0;
    case AV_CODEC_ID_FLASHSV2: return 6.0;
    case AV_CODEC_ID_H264: return 7.0;
    default: return 0.0;
  }
}

double flvAudioCodecId(const std::string& name) {
  switch (codecIdOf(name)) {
    case AV_CODEC_ID_ADPCM_SWF: return 1.0;
    case AV_CODEC_ID_MP3: return 2.0;
    case AV_CODEC_ID_PCM_S16LE: return 3.0;
    case AV_CODEC_ID_NELLYMOSER: return 6.0;
    case AV_CODEC_ID_PCM_ALAW: return 7.0;
    case AV_CODEC_ID_PCM_MULAW: return 8.0;
    case AV_CODEC_ID_AAC: return 10.0;
    case AV_CODEC_ID_SPEEX: return 11.0;
    default: return 0.0;
  }
}

// Writes AMF0 values at a running bit position.
class AmfWriter {
 public:
  explicit AmfWriter(uint8_t* buffer) : buffer_(buffer) {}

  void byte(uint8_t value) { bits(value, 8); }
  void bits(uint64_t value, int count) {
    putBits(buffer_, value, count, position_);
    position_ += count;
  }
  void text(std::string_view value) {
    putBytes(buffer_, reinterpret_cast<const uint8_t*>(value.data()), value.size() * 8, position_);
    position_ += value.size() * 8;
  }
  // One ECMA-array entry: key length, key, number marker, big-endian double.
  void entry(std::string_view key, double value) {
    bits(key.size(), 16);
    text(key);
    byte(kAmfNumber);
    bits(std::bit_cast<uint64_t>(value), 64);
  }
  int bytes() const { return static_cast<int>(position_ / 8); }

 private:
  uint8_t* buffer_;
  uint64_t position_ = 0;
};

}  // namespace

int writeMetaDataTag(const FFMpegStreamingProfile& profile, uint8_t* buffer, int capacity) {
  const Presence has = presenceOf(profile);
  const unsigned entries = 6 + has.audio + 2 * has.duration + 4 * has.video;
  // Script name (13), array header (5), 6 entries and the end marker (3)
  // always; then the entries that depend on the streams and the duration.
  const unsigned dataSize = 155 + 76 * has.video + 23 * has.audio + 43 * has.duration;
  const int tagSize = static_cast<int>(kTagHeaderSize + dataSize + 4);
  if (capacity < tagSize) return 0;
  std::memset(buffer, 0, tagSize);

  const auto* target = profile.target.get();
  const auto* video = target->getVideo();
  const auto* audio = target->getAudio();
  const double duration = static_cast<double>(profile.medium->getDuration()) / 1000.0;

  AmfWriter out(buffer);
  out.byte(kScriptDataTag);
  out.bits(dataSize, 24);
  out.bits(0, 24);  // timestamp
  out.byte(0);      // timestamp extension
  out.bits(0, 24);  // stream id
  out.byte(kAmfString);
  out.bits(10, 16);
  out.text("onMetaData");
  out.byte(kAmfEcmaArray);
  out.bits(entries, 32);

  if (has.duration) out.entry("duration", duration);
  out.entry("starttime", 0.0001);
  if (has.duration) out.entry("totalduration", duration);
  if (has.video) {
    out.entry("width", static_cast<double>(static_cast<uint32_t>(video->getWidth())));
    out.entry("height", static_cast<double>(static_cast<uint32_t>(video->getHeight())));
  }
  out.entry("videodatarate", has.video ? video->getBitrate() / 1000.0 : 0.0);
  if (has.video) out.entry("videocodecid", flvVideoCodecId(profile.videoCodecName()));
  out.entry("audiodatarate", has.audio ? audio->getBitrate() / 1000.0 : 0.0);
  if (has.audio) out.entry("audiocodecid", flvAudioCodecId(profile.audioCodecName()));
  out.entry("totaldatarate", target->getBitrate() / 1000.0);
  if (has.video) out.entry("framerate", video->getFrameRate());
  out.entry("audiodelay", 0.0);
  out.entry("bytelength", static_cast<double>(profile.medium->getSize()));
  // An ECMA array ends like an object: empty key, end marker. Readers
  // (FFmpeg's among them) treat an array without it as damaged.
  out.bits(0, 16);
  out.byte(kAmfObjectEnd);
  out.bits(kTagHeaderSize + dataSize, 32);  // previous-tag size
  return out.bytes();
}

void buildFlvHeader(FlvHeaderRecord& record) {
  record.output.clear();
  if (record.header == nullptr || record.headerSize < kFlvFileHeaderSize ||
      std::memcmp(record.header, "FLV", 3) != 0 || record.profile == nullptr)
    return;
  const Presence has = presenceOf(*record.profile);
  const auto tail = static_cast<size_t>(record.headerSize - kFlvFileHeaderSize);

  std::vector<uint8_t> output(kFlvFileHeaderSize + kMaxMetaDataTagSize + tail);
  std::memcpy(output.data(), record.header, kFlvFileHeaderSize);
  output[4] = (has.audio ? kFlvHasAudio : 0) | (has.video ? kFlvHasVideo : 0);
  const int tag = writeMetaDataTag(*record.profile, output.data() + kFlvFileHeaderSize, kMaxMetaDataTagSize);
  std::memcpy(output.data() + kFlvFileHeaderSize + tag, record.header + kFlvFileHeaderSize, tail);
  output.resize(kFlvFileHeaderSize + tag + tail);
  record.output = std::move(output);
}

}  // namespace zan
