// The output byte builders with arbitrary sizes and values: the FLV header
// with its onMetaData tag, the RTP audio payload formats, and the bit
// writer under both. Every result is parsed back here, independently of the
// builders, and checked field by field against the layouts they implement.
#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "output/BitWriter.h"
#include "output/FlvHeader.h"
#include "output/InternalSamplePacket.h"
#include "tests/common/OutputRequest.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Big-endian reader over the built bytes; every read is bounds-checked.
struct Reader {
  const Bytes& bytes;
  size_t at = 0;
  uint64_t number(int size) {
    FUZZ_CHECK(at + size <= bytes.size());
    uint64_t value = 0;
    for (int i = 0; i < size; ++i) value = value << 8 | bytes[at++];
    return value;
  }
  std::string text(size_t size) {
    FUZZ_CHECK(at + size <= bytes.size());
    at += size;
    return std::string(bytes.begin() + at - size, bytes.begin() + at);
  }
};

void fuzzFlvHeader(zan::fuzz::Input& in) {
  static const char* const kAudio[] = {"none", "aac", "mp3", "libmp3lame"};
  static const char* const kVideo[] = {"none", "h264", "flv", "vp6"};
  const unsigned codecs = static_cast<unsigned>(in.take(1));
  zan::test::OutputRequest request("flv", kAudio[codecs & 3], kVideo[codecs >> 2 & 3]);
  request.medium.setDuration(in.take(1) & 1 ? in.take(8) : 0);
  request.medium.setSize(in.take(8));
  auto& video = request.requested.target().video();
  video.setWidth(static_cast<int>(in.take(4)));
  video.setHeight(static_cast<int>(in.take(4)));
  video.setBitrate(static_cast<unsigned>(in.take(4)));
  video.setFrameRate(std::bit_cast<double>(in.take(8)));
  request.requested.target().audio().setBitrate(static_cast<unsigned>(in.take(4)));
  request.requested.target().setBitrate(static_cast<unsigned>(in.take(4)));
  const auto profile = request.compute();
  if (!profile) return;

  // The muxer's header: usually a real FLV file header, then any tags.
  Bytes header;
  if (in.take(1) & 1) header = {'F', 'L', 'V'};
  size_t count = in.left();
  const uint8_t* rest = in.bytes(count);
  header.insert(header.end(), rest, rest + count);
  zan::FlvHeaderRecord record{header.data(), static_cast<int>(header.size()), {}, profile.get()};
  zan::buildFlvHeader(record);
  if (header.size() < 13 || std::memcmp(header.data(), "FLV", 3) != 0) {
    FUZZ_CHECK(record.output.empty());
    return;
  }

  const auto* target = profile->target.get();
  const bool a = target->hasAudio() && profile->sourceDescription->hasAudio();
  const bool v = target->hasVideo() && profile->sourceDescription->hasVideo();
  const bool d = profile->medium->getDuration() > 0;
  // Script name, array header, entries, plus the 3-byte object-end marker
  // that closes the array.
  const uint64_t dataSize = 152 + 76 * v + 23 * a + 43 * d + 3;
  const Bytes& out = record.output;
  FUZZ_CHECK(out.size() == 13 + 11 + dataSize + 4 + (header.size() - 13));
  for (int i = 0; i < 13; ++i) FUZZ_CHECK(out[i] == (i == 4 ? (a ? 4 : 0) | (v ? 1 : 0) : header[i]));

  Reader tag{out, 13};
  FUZZ_CHECK(tag.number(1) == 0x12 && tag.number(3) == dataSize && tag.number(4) == 0 && tag.number(3) == 0);
  FUZZ_CHECK(tag.number(1) == 0x02 && tag.number(2) == 10 && tag.text(10) == "onMetaData");
  FUZZ_CHECK(tag.number(1) == 0x08 && tag.number(4) == 6u + a + 2 * d + 4 * v);
  const double duration = static_cast<double>(profile->medium->getDuration()) / 1000.0;
  // FLV's ids of the codecs drawn above (AVC 7, Sorenson 2, VP6 4; AAC 10, MP3 2).
  const double videoId[] = {0.0, 7.0, 2.0, 4.0}, audioId[] = {0.0, 10.0, 2.0, 2.0};
  struct Entry {
    bool present;
    const char* key;
    double value;
  } entries[] = {
      {d, "duration", duration},
      {true, "starttime", 0.0001},
      {d, "totalduration", duration},
      {v, "width", static_cast<double>(static_cast<uint32_t>(target->getVideo()->getWidth()))},
      {v, "height", static_cast<double>(static_cast<uint32_t>(target->getVideo()->getHeight()))},
      {true, "videodatarate", v ? target->getVideo()->getBitrate() / 1000.0 : 0.0},
      {v, "videocodecid", videoId[codecs >> 2 & 3]},
      {true, "audiodatarate", a ? target->getAudio()->getBitrate() / 1000.0 : 0.0},
      {a, "audiocodecid", audioId[codecs & 3]},
      {true, "totaldatarate", target->getBitrate() / 1000.0},
      {v, "framerate", v ? target->getVideo()->getFrameRate() : 0.0},
      {true, "audiodelay", 0.0},
      {true, "bytelength", static_cast<double>(profile->medium->getSize())},
  };
  for (const Entry& entry : entries) {
    if (!entry.present) continue;
    const size_t length = std::strlen(entry.key);
    FUZZ_CHECK(tag.number(2) == length && tag.text(length) == entry.key && tag.number(1) == 0x00);
    FUZZ_CHECK(tag.number(8) == std::bit_cast<uint64_t>(entry.value));
  }
  FUZZ_CHECK(tag.number(3) == 0x000009);
  FUZZ_CHECK(tag.number(4) == 11 + dataSize);
  FUZZ_CHECK(Bytes(out.begin() + tag.at, out.end()) == Bytes(header.begin() + 13, header.end()));
}

void fuzzAudioPacket(zan::fuzz::Input& in) {
  const unsigned kind = static_cast<unsigned>(in.take(1)) % 4;
  const uint64_t time = in.take(8), duration = in.take(8);
  const bool key = in.take(1) & 1, null = in.take(1) == 0xFF;
  // Sizes up to and beyond every format's limit.
  size_t size = static_cast<size_t>(in.take(2)) % 12000;
  Bytes frame(size);
  for (size_t i = 0; i < size; ++i) frame[i] = static_cast<uint8_t>(in.take(1) ^ i);
  std::unique_ptr<zan::InternalSamplePacket> packet;
  switch (kind) {
    case 0: packet = std::make_unique<zan::InternalSamplePacket>(); break;
    case 1: packet = std::make_unique<zan::AMRSamplePacket>(); break;
    case 2: packet = std::make_unique<zan::MP4ALATMSamplePacket>(); break;
    default: packet = std::make_unique<zan::MP4AGENSamplePacket>(); break;
  }
  packet->set(zan::streamer::PACKET_AUDIO, null ? nullptr : frame.data(), static_cast<unsigned>(size), time,
              duration, key);
  FUZZ_CHECK(packet->getType() == zan::streamer::PACKET_AUDIO && packet->getTime() == time &&
        packet->getDuration() == duration && packet->isKeyFrame() == key);

  Bytes expected;
  if (!null && size > 0) {
    const Bytes body(frame.begin() + (kind == 1 ? 1 : 0), frame.end());
    switch (kind) {
      case 0: expected = frame; break;
      case 1: expected = {0xF0, static_cast<uint8_t>(frame[0] & 0x7F)}; break;
      case 2:
        if (size + size / 255 + 1 > 10240) break;
        expected.assign(size / 255, 0xFF);
        expected.push_back(static_cast<uint8_t>(size % 255));
        break;
      default:
        if (size > 8191) break;
        expected = {0x00, 0x10, static_cast<uint8_t>(size >> 5), static_cast<uint8_t>(size << 3 & 0xF8)};
        break;
    }
    if (kind != 0 && !expected.empty()) expected.insert(expected.end(), body.begin(), body.end());
  }
  FUZZ_CHECK(packet->getSize() == expected.size());
  FUZZ_CHECK(expected.empty() ? packet->getData() == nullptr
                         : std::memcmp(packet->getData(), expected.data(), expected.size()) == 0);
  // The padding the packet promises beyond its size is there and zero.
  for (unsigned i = 0; expected.size() && i < 10; ++i) FUZZ_CHECK(packet->getData()[expected.size() + i] == 0);
}

void fuzzBitWriter(zan::fuzz::Input& in) {
  Bytes buffer(24), model;
  for (uint8_t& byte : buffer) byte = static_cast<uint8_t>(in.take(1));
  model = buffer;
  const uint64_t value = in.take(8);
  const int count = static_cast<int>(in.take(1)) % 65;
  const uint64_t position = in.take(1) % (buffer.size() * 8 - count + 1);
  zan::putBits(buffer.data(), value, count, position);
  for (int i = 0; i < count; ++i) {
    const uint64_t bit = position + i;
    const uint8_t mask = static_cast<uint8_t>(0x80 >> (bit % 8));
    const bool one = value >> (count - 1 - i) & 1;
    model[bit / 8] = one ? model[bit / 8] | mask : model[bit / 8] & ~mask;
  }
  FUZZ_CHECK(buffer == model);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zan::fuzz::quietLogging();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zan::fuzz::Input in(data, size);
  switch (in.take(1) % 3) {
    case 0: fuzzFlvHeader(in); break;
    case 1: fuzzAudioPacket(in); break;
    default: fuzzBitWriter(in); break;
  }
  return 0;
}
