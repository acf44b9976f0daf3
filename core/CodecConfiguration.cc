#include "core/CodecConfiguration.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "support/HexText.h"

namespace zan {

namespace {

constexpr int kAacRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};
constexpr int kObjectLc = 2;
constexpr int kObjectSbr = 5;
constexpr int kObjectPs = 29;

int rateIndex(int rate) {
  for (int i = 0; i < static_cast<int>(sizeof kAacRates / sizeof kAacRates[0]); ++i)
    if (kAacRates[i] == rate) return i;
  return -1;
}

class Bits {
 public:
  void put(unsigned value, int count) {
    for (int i = count - 1; i >= 0; --i) {
      if (used_ % 8 == 0) bytes_.push_back(0);
      if ((value >> i) & 1u) bytes_.back() |= static_cast<uint8_t>(0x80u >> (used_ % 8));
      ++used_;
    }
  }
  std::vector<uint8_t> take() { return std::move(bytes_); }

 private:
  std::vector<uint8_t> bytes_;
  int used_ = 0;
};

}  // namespace

std::vector<uint8_t> aacConfigFromFields(int profile, int sampleRate, int channels) {
  // HE-AAC v2 is a mono core whose parametric stereo the decoder reports
  // as two channels.
  const bool ps = profile == FF_PROFILE_AAC_HE_V2;
  const bool sbr = ps || profile == FF_PROFILE_AAC_HE;
  if (ps) channels = 1;
  // Channel configurations 1-6 are that many channels, 7 is 7.1 (eight);
  // seven channels have none.
  if (channels < 1 || channels == 7 || channels > 8) return {};
  const int channelCode = channels == 8 ? 7 : channels;
  const int coreRate = sbr ? sampleRate / 2 : sampleRate;
  const int core = rateIndex(coreRate);
  if (core < 0) return {};
  // The FF_PROFILE_AAC_* numbers of the plain object types are the object
  // type minus one.
  const int object = sbr || profile < 0 || profile > 3 ? kObjectLc : profile + 1;
  Bits bits;
  if (sbr) {
    // Explicit, hierarchical signalling: the extension's object type, the
    // core's rate and channels, the output rate, then the core's type.
    const int extension = rateIndex(sampleRate);
    if (extension < 0) return {};
    bits.put(ps ? kObjectPs : kObjectSbr, 5);
    bits.put(static_cast<unsigned>(core), 4);
    bits.put(static_cast<unsigned>(channelCode), 4);
    bits.put(static_cast<unsigned>(extension), 4);
    bits.put(static_cast<unsigned>(object), 5);
  } else {
    bits.put(static_cast<unsigned>(object), 5);
    bits.put(static_cast<unsigned>(core), 4);
    bits.put(static_cast<unsigned>(channelCode), 4);
  }
  bits.put(0, 3);  // GASpecificConfig: 1024-sample frames, no core coder, no extension
  return bits.take();
}

std::string codecConfigurationHex(const AVCodecParameters& parameters) {
  std::vector<uint8_t> bytes(parameters.extradata, parameters.extradata + parameters.extradata_size);
  if (bytes.empty() && parameters.codec_id == AV_CODEC_ID_AAC)
    bytes = aacConfigFromFields(parameters.profile, parameters.sample_rate, parameters.ch_layout.nb_channels);
  return toHex(bytes.data(), bytes.size());
}

}  // namespace zan
