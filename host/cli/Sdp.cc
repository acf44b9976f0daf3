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

// Bits read from the front of a byte string, or written to the end of one.
struct BitReader {
  const std::vector<uint8_t>& bytes;
  size_t at = 0;
  uint32_t get(int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i, ++at)
      value = value << 1 | (at / 8 < bytes.size() ? (bytes[at / 8] >> (7 - at % 8)) & 1 : 0);
    return value;
  }
  uint32_t peek(int count) {
    const size_t start = at;
    const uint32_t value = get(count);
    at = start;
    return value;
  }
  size_t left() const { return at < bytes.size() * 8 ? bytes.size() * 8 - at : 0; }
  uint32_t objectType() {
    const uint32_t type = get(5);
    return type == 31 ? 32 + get(6) : type;
  }
  // A sampling frequency index, with the frequency itself after 15.
  void frequency(std::vector<uint32_t>& fields) {
    fields.push_back(get(4));
    if (fields.back() == 15) fields.push_back(get(24));
  }
};

struct BitWriter {
  std::vector<uint8_t> bytes;
  size_t bits = 0;
  void put(uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i, ++bits) {
      if (bits % 8 == 0) bytes.push_back(0);
      if ((value >> i) & 1) bytes.back() |= static_cast<uint8_t>(0x80 >> (bits % 8));
    }
  }
  void putFrequency(const std::vector<uint32_t>& fields) {
    put(fields[0], 4);
    if (fields[0] == 15) put(fields[1], 24);
  }
  void putObjectType(uint32_t type) {
    if (type < 31) return put(type, 5);
    put(31, 5);
    put(type - 32, 6);
  }
};

// An AudioSpecificConfig as a LATM StreamMuxConfig of version 0 carries it:
// the configuration has no length there, so a reader takes whatever
// follows the GASpecificConfig for the fields after it. HE-AAC signalled
// after the core (the SBR and PS sync extensions an encoder appends) is
// moved to the front, where it may stand: SBR (object 5) or SBR and PS
// (object 29), the output's frequency, then the core's object type.
struct LatmAudioConfig {
  BitWriter config;  // empty: no LATM form here
  bool sbr = false, ps = false;
};

LatmAudioConfig latmAudioConfig(const std::vector<uint8_t>& bytes) {
  LatmAudioConfig result;
  BitReader in{bytes};
  uint32_t objectType = in.objectType();
  std::vector<uint32_t> frequency, outputFrequency;
  in.frequency(frequency);
  const uint32_t channels = in.get(4);
  // Channels in a program configuration element: not read here.
  if (channels == 0) return result;
  if (objectType == 5 || objectType == 29) {
    result.sbr = true;
    result.ps = objectType == 29;
    in.frequency(outputFrequency);
    objectType = in.objectType();
  }
  const bool general = objectType == 1 || objectType == 2 || objectType == 3 || objectType == 4 ||
                       objectType == 6 || objectType == 7;
  if (!general) return result;
  const size_t specific = in.at;  // the GASpecificConfig
  in.get(1);                      // frameLengthFlag
  if (in.get(1)) in.get(14);      // dependsOnCoreCoder: coreCoderDelay
  const bool extension = in.get(1);
  if (objectType == 6) in.get(3);  // layerNr
  if (extension) in.get(1);        // extensionFlag3
  const size_t end = in.at;
  if (end > bytes.size() * 8) return result;
  if (!result.sbr && in.left() >= 16 && in.peek(11) == 0x2b7) {
    in.get(11);
    if (in.objectType() == 5 && in.get(1)) {
      result.sbr = true;
      in.frequency(outputFrequency);
      if (in.left() >= 12 && in.peek(11) == 0x548) {
        in.get(11);
        result.ps = in.get(1);
      }
    }
  }
  BitWriter& out = result.config;
  if (result.sbr) {
    out.put(result.ps ? 29 : 5, 5);
    out.putFrequency(frequency);
    out.put(channels, 4);
    out.putFrequency(outputFrequency);
    out.putObjectType(objectType);
  } else {
    in.at = 0;
    while (in.at < specific) out.put(in.get(1), 1);
  }
  for (in.at = specific; in.at < end;) out.put(in.get(1), 1);
  return result;
}

// LATM StreamMuxConfig around |config|: one program, one layer, frame
// length type 0, buffer fullness 0xFF, no other data, no CRC.
std::vector<uint8_t> streamMuxConfig(const BitWriter& config) {
  BitWriter out;
  out.put(0, 1);  // audioMuxVersion
  out.put(1, 1);  // allStreamsSameTimeFraming
  out.put(0, 6);  // numSubFrames
  out.put(0, 4);  // numProgram
  out.put(0, 3);  // numLayer
  for (size_t bit = 0; bit < config.bits; ++bit) out.put((config.bytes[bit / 8] >> (7 - bit % 8)) & 1, 1);
  out.put(0, 3);     // frameLengthType
  out.put(0xFF, 8);  // latmBufferFullness
  out.put(0, 1);     // otherDataPresent
  out.put(0, 1);     // crcCheckPresent
  return out.bytes;
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
        const LatmAudioConfig latmConfig = latmAudioConfig(config);
        if (latmConfig.config.bits == 0) {
          error = "the AAC configuration " + toHex(config) + " has no LATM form here";
          return "";
        }
        std::snprintf(line, sizeof line, "a=rtpmap:%s MP4A-LATM/%d/%d\r\n", type.c_str(), rate, channels);
        sdp += line;
        // High Quality Audio L2; HE-AAC L2 and HE-AAC v2 L2 where SBR (and
        // PS) are signalled.
        const int profileLevel = latmConfig.ps ? 0x30 : latmConfig.sbr ? 0x2C : 15;
        sdp += "a=fmtp:" + type + " profile-level-id=" + std::to_string(profileLevel) + "; object=2; cpresent=0; config=" +
               toHex(streamMuxConfig(latmConfig.config)) + "\r\n";
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
