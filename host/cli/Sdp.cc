#include "host/cli/Sdp.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "host/cli/CodecStrings.h"

namespace zan::host {

namespace {

std::string toHex(const std::vector<uint8_t>& bytes) {
  std::string hex;
  char digits[3];
  for (uint8_t byte : bytes) {
    std::snprintf(digits, sizeof digits, "%02x", byte);
    hex += digits;
  }
  return hex;
}

std::string base64(const uint8_t* data, size_t size) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (size_t i = 0; i < size; i += 3) {
    const uint32_t chunk = (static_cast<uint32_t>(data[i]) << 16) | (i + 1 < size ? data[i + 1] << 8 : 0) |
                           (i + 2 < size ? data[i + 2] : 0);
    text += kDigits[(chunk >> 18) & 63];
    text += kDigits[(chunk >> 12) & 63];
    text += i + 1 < size ? kDigits[(chunk >> 6) & 63] : '=';
    text += i + 2 < size ? kDigits[chunk & 63] : '=';
  }
  return text;
}

// The NAL units of H.264 configuration bytes, in Annex B form (start
// codes) or as an avcC record.
std::vector<std::vector<uint8_t>> parameterSets(const std::vector<uint8_t>& config) {
  std::vector<std::vector<uint8_t>> units;
  if (config.size() > 6 && config[0] == 1) {
    // avcC: SPS count & 0x1f at 5, each with a 16-bit length; then PPS.
    size_t at = 5;
    for (int list = 0; list < 2 && at < config.size(); ++list) {
      int count = list == 0 ? config[at] & 0x1f : config[at];
      ++at;
      while (count-- > 0 && at + 2 <= config.size()) {
        const size_t length = static_cast<size_t>(config[at] << 8 | config[at + 1]);
        at += 2;
        if (at + length > config.size()) return units;
        units.emplace_back(config.begin() + static_cast<long>(at), config.begin() + static_cast<long>(at + length));
        at += length;
      }
    }
    return units;
  }
  size_t start = std::string::npos;
  for (size_t i = 0; i + 3 <= config.size(); ++i) {
    if (config[i] == 0 && config[i + 1] == 0 && config[i + 2] == 1) {
      if (start != std::string::npos) {
        size_t end = i;
        while (end > start && config[end - 1] == 0) --end;
        units.emplace_back(config.begin() + static_cast<long>(start), config.begin() + static_cast<long>(end));
      }
      start = i + 3;
      i += 2;
    }
  }
  if (start != std::string::npos && start < config.size())
    units.emplace_back(config.begin() + static_cast<long>(start), config.end());
  return units;
}

// The bits of an AudioSpecificConfig up to the end of its
// GASpecificConfig, without what may follow (the encoder adds an SBR sync
// extension): in a StreamMuxConfig of version 0 the configuration has no
// length, so a reader takes the bits after the GASpecificConfig for the
// fields that follow it. HE-AAC signalled explicitly (SBR, or SBR and
// PS, in front of the core's object type) keeps that signalling. 0 when
// the object type has no GASpecificConfig, the channels come in a program
// configuration element (not read here), or the bytes end early.
size_t coreConfigBits(const std::vector<uint8_t>& config) {
  size_t at = 0;
  auto get = [&](int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i, ++at)
      value = value << 1 | (at / 8 < config.size() ? (config[at / 8] >> (7 - at % 8)) & 1 : 0);
    return value;
  };
  auto objectTypeAt = [&] {
    const uint32_t type = get(5);
    return type == 31 ? 32 + get(6) : type;
  };
  uint32_t objectType = objectTypeAt();
  if (get(4) == 15) get(24);  // an explicit sampling frequency
  if (get(4) == 0) return 0;  // channels in a program configuration element
  if (objectType == 5 || objectType == 29) {
    if (get(4) == 15) get(24);  // the output's sampling frequency
    objectType = objectTypeAt();
  }
  const bool general = objectType == 1 || objectType == 2 || objectType == 3 || objectType == 4 ||
                       objectType == 6 || objectType == 7;
  if (!general) return 0;
  get(1);                     // frameLengthFlag
  if (get(1)) get(14);        // dependsOnCoreCoder: coreCoderDelay
  get(1);                     // extensionFlag (0 for these object types)
  return at <= config.size() * 8 ? at : 0;
}

// LATM StreamMuxConfig around the core of an AudioSpecificConfig: one
// program, one layer, frame length type 0, buffer fullness 0xFF, no other
// data, no CRC.
std::vector<uint8_t> streamMuxConfig(const std::vector<uint8_t>& audioSpecificConfig, size_t configBits) {
  std::vector<uint8_t> bytes;
  int bits = 0;
  auto put = [&](uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) {
      if (bits % 8 == 0) bytes.push_back(0);
      if ((value >> i) & 1) bytes.back() |= static_cast<uint8_t>(0x80 >> (bits % 8));
      ++bits;
    }
  };
  put(0, 1);  // audioMuxVersion
  put(1, 1);  // allStreamsSameTimeFraming
  put(0, 6);  // numSubFrames
  put(0, 4);  // numProgram
  put(0, 3);  // numLayer
  for (size_t bit = 0; bit < configBits; ++bit) put((audioSpecificConfig[bit / 8] >> (7 - bit % 8)) & 1, 1);
  put(0, 3);     // frameLengthType
  put(0xFF, 8);  // latmBufferFullness
  put(0, 1);     // otherDataPresent
  put(0, 1);     // crcCheckPresent
  return bytes;
}

bool isCodec(const char* codec, const char* name) { return strcasecmp(codec, name) == 0; }

}  // namespace

int rtpClockRate(const StreamDescription& produced, bool video) {
  return video ? 90000 : produced.getAudio()->getSampleRate();
}

std::string buildSdp(const StreamDescription& produced, const std::string& address, int videoPort, bool latm,
                     std::string& error) {
  std::string sdp = "v=0\r\no=- 0 0 IN IP4 " + address + "\r\ns=zanstream\r\nc=IN IP4 " + address + "\r\nt=0 0\r\n";
  char line[512];
  if (produced.hasVideo()) {
    const VideoDescription& video = *produced.getVideo();
    if (!isCodec(video.getCodec(), "libx264") && !isCodec(video.getCodec(), "h264")) {
      error = std::string("no RTP payload format here for video codec ") + video.getCodec();
      return "";
    }
    std::string sets, profile;
    for (const std::vector<uint8_t>& unit : parameterSets(fromHex(video.getCodecData()))) {
      if (unit.empty()) continue;
      if ((unit[0] & 0x1f) == 7 && unit.size() >= 4) profile = toHex({unit[1], unit[2], unit[3]});
      if (!sets.empty()) sets += ',';
      sets += base64(unit.data(), unit.size());
    }
    std::snprintf(line, sizeof line, "m=video %d RTP/AVP %d\r\na=rtpmap:%d H264/90000\r\n", videoPort,
                  kVideoPayloadType, kVideoPayloadType);
    sdp += line;
    sdp += "a=fmtp:" + std::to_string(kVideoPayloadType) + " packetization-mode=1";
    if (!profile.empty()) sdp += "; profile-level-id=" + profile;
    if (!sets.empty()) sdp += "; sprop-parameter-sets=" + sets;
    sdp += "\r\n";
  }
  if (produced.hasAudio()) {
    const AudioDescription& audio = *produced.getAudio();
    const int rate = audio.getSampleRate();
    const int channels = audio.getChannels();
    std::snprintf(line, sizeof line, "m=audio %d RTP/AVP %d\r\n", videoPort + 2, kAudioPayloadType);
    sdp += line;
    const std::string type = std::to_string(kAudioPayloadType);
    const std::vector<uint8_t> config = fromHex(audio.getCodecData());
    if (isCodec(audio.getCodec(), "libfaac") || isCodec(audio.getCodec(), "aac")) {
      if (latm) {
        const size_t bits = coreConfigBits(config);
        if (bits == 0) {
          error = "the AAC configuration " + toHex(config) + " has no LATM form here";
          return "";
        }
        std::snprintf(line, sizeof line, "a=rtpmap:%s MP4A-LATM/%d/%d\r\n", type.c_str(), rate, channels);
        sdp += line;
        sdp += "a=fmtp:" + type + " profile-level-id=15; object=2; cpresent=0; config=" +
               toHex(streamMuxConfig(config, bits)) + "\r\n";
      } else {
        std::snprintf(line, sizeof line, "a=rtpmap:%s MPEG4-GENERIC/%d/%d\r\n", type.c_str(), rate, channels);
        sdp += line;
        sdp += "a=fmtp:" + type +
               " streamType=5; profile-level-id=1; mode=AAC-hbr; sizelength=13; indexlength=3; indexdeltalength=3; config=" +
               toHex(config) + "\r\n";
      }
    } else if (isCodec(audio.getCodec(), "libamr_nb") || isCodec(audio.getCodec(), "libamr_wb")) {
      const bool wide = isCodec(audio.getCodec(), "libamr_wb");
      std::snprintf(line, sizeof line, "a=rtpmap:%s %s/%d/1\r\na=fmtp:%s octet-align=1\r\n", type.c_str(),
                    wide ? "AMR-WB" : "AMR", rate, type.c_str());
      sdp += line;
    } else {
      error = std::string("no RTP payload format here for audio codec ") + audio.getCodec();
      return "";
    }
  }
  return sdp;
}

}  // namespace zan::host
