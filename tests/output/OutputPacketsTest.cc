// Byte layouts of the output side: the RTP audio payloads, the bit writer,
// and the FLV header around the onMetaData tag. The tag's values are read
// back by FFmpeg in the muxer test.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <typeinfo>
#include <vector>

#include "output/BitWriter.h"
#include "output/FlvHeader.h"
#include "output/InternalSamplePacket.h"
#include "tests/output/OutputRequest.h"

namespace zan {
namespace {

using Bytes = std::vector<uint8_t>;

// n bytes 1, 2, 3, ... (wrapping), so every copied byte is distinguishable.
Bytes ramp(size_t n, uint8_t first = 1) {
  Bytes bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(OutputPacketsTest, RtpAudioPayloadLayouts) {
  const Bytes amrFrame = ramp(32, 0x3C);  // frame header 0x3C, 31 speech bytes
  Bytes amrLastFlag = amrFrame;
  amrLastFlag[0] = 0xBC;  // F bit set by the codec: the payload's ToC clears it
  const Bytes aac300 = ramp(300), aac255 = ramp(255), aac10 = ramp(10), aac8191 = ramp(8191);
  struct Case {
    const char* name;
    InternalSamplePacket* packet;
    const Bytes* frame;  // null: no payload
    Bytes expected;      // empty: a packet without data
  };
  InternalSamplePacket plain;
  AMRSamplePacket amr;
  MP4ALATMSamplePacket latm;
  MP4AGENSamplePacket generic;
  const Bytes latmLargest = ramp(10199), latmTooLarge = ramp(10200), generic8192 = ramp(8192), none;
  const Case cases[] = {
      {"plain", &plain, &aac300, aac300},
      {"plain null", &plain, nullptr, {}},
      {"amr", &amr, &amrFrame, concat({0xF0, 0x3C}, Bytes(amrFrame.begin() + 1, amrFrame.end()))},
      {"amr F bit", &amr, &amrLastFlag, concat({0xF0, 0x3C}, Bytes(amrFrame.begin() + 1, amrFrame.end()))},
      {"amr null", &amr, nullptr, {}},
      {"latm 300", &latm, &aac300, concat({0xFF, 0x2D}, aac300)},
      {"latm 255", &latm, &aac255, concat({0xFF, 0x00}, aac255)},
      {"latm 10", &latm, &aac10, concat({0x0A}, aac10)},
      {"latm fills the buffer", &latm, &latmLargest, concat(Bytes(39, 0xFF), concat({0xFE}, latmLargest))},
      {"latm beyond the buffer", &latm, &latmTooLarge, {}},
      {"latm null", &latm, nullptr, {}},
      {"generic 300", &generic, &aac300, concat({0x00, 0x10, 0x09, 0x60}, aac300)},
      {"generic 8191", &generic, &aac8191, concat({0x00, 0x10, 0xFF, 0xF8}, aac8191)},
      {"generic 8192", &generic, &generic8192, {}},
      {"generic empty", &generic, &none, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A previous payload must go: every row reuses its packet.
    c.packet->set(streamer::PACKET_AUDIO, c.frame ? c.frame->data() : nullptr,
                  c.frame ? static_cast<unsigned>(c.frame->size()) : 77, 123456, 23219, true);
    EXPECT_EQ(c.packet->getType(), streamer::PACKET_AUDIO);
    EXPECT_EQ(c.packet->getTime(), 123456u);
    EXPECT_EQ(c.packet->getDuration(), 23219u);
    EXPECT_TRUE(c.packet->isKeyFrame());
    ASSERT_EQ(c.packet->getSize(), c.expected.size());
    if (c.expected.empty()) {
      EXPECT_EQ(c.packet->getData(), nullptr);
      continue;
    }
    const uint8_t* data = c.packet->getData();
    EXPECT_EQ(Bytes(data, data + c.expected.size()), c.expected);
    EXPECT_EQ(Bytes(data + c.expected.size(), data + c.expected.size() + 10), Bytes(10, 0));
  }
}

TEST(OutputPacketsTest, AudioPacketKindFollowsCodecAndTransport) {
  struct Case {
    const char* codec;
    const char* latm;  // "audioUseLATM" setting, or null
    bool plain;
    const std::type_info& kind;
  } cases[] = {
      {"aac", nullptr, false, typeid(MP4ALATMSamplePacket)},
      {"aac", "0", false, typeid(MP4AGENSamplePacket)},
      {"aac", nullptr, true, typeid(InternalSamplePacket)},
      {"amr", nullptr, false, typeid(AMRSamplePacket)},
      {"amr_nb", nullptr, false, typeid(AMRSamplePacket)},
      {"mp3", nullptr, false, typeid(InternalSamplePacket)},
  };
  for (const Case& c : cases) {
    test::OutputRequest request("rtp", c.codec, "none");
    if (c.latm) request.settings.put("audioUseLATM", c.latm);
    const auto profile = request.compute();
    ASSERT_NE(profile, nullptr);
    const auto packet = profile->createAudioSamplePacket(c.plain);
    EXPECT_EQ(typeid(*packet), c.kind) << c.codec << " plain " << c.plain;
  }
}

TEST(OutputPacketsTest, BitWritersTouchOnlyTheirBits) {
  struct Case {
    Bytes before;
    void (*write)(uint8_t*);
    Bytes after;
  } cases[] = {
      {{0x00, 0x00}, [](uint8_t* b) { putBits(b, 5, 3, 6); }, {0x02, 0x80}},
      {{0xFF, 0xFF}, [](uint8_t* b) { putBits(b, 5, 3, 6); }, {0xFE, 0xFF}},
      {{0x00, 0x00, 0x00}, [](uint8_t* b) { putBits(b, 0xABCD, 16, 4); }, {0x0A, 0xBC, 0xD0}},
      // 12 bits of AB CD: the whole first byte, then the high nibble of the
      // second.
      {{0xFF, 0xFF, 0xFF}, [](uint8_t* b) { const uint8_t s[] = {0xAB, 0xCD}; putBytes(b, s, 12, 2); },
       {0xEA, 0xF3, 0xFF}},
  };
  for (const Case& c : cases) {
    Bytes buffer = c.before;
    c.write(buffer.data());
    EXPECT_EQ(buffer, c.after);
  }
}

TEST(OutputPacketsTest, FlvHeaderAroundTheMetaDataTag) {
  const Bytes fileHeader = {'F', 'L', 'V', 1, 0x05, 0, 0, 0, 9, 0, 0, 0, 0};
  const Bytes tags = ramp(40, 0x09);  // stands for FFmpeg's sequence-header tags
  const Bytes withTags = concat(fileHeader, tags);
  struct Case {
    const char* audio;
    const char* video;
    uint64_t durationMs;
    Bytes header;
    size_t expectedSize;  // 0: nothing built
    uint8_t flags;
  } cases[] = {
      {"aac", "none", 0, fileHeader, 206, 0x04},
      {"aac", "h264", 5000, fileHeader, 325, 0x05},
      {"none", "h264", 0, fileHeader, 259, 0x01},
      {"aac", "h264", 0, withTags, 13 + 269 + tags.size(), 0x05},
      {"aac", "h264", 0, Bytes(fileHeader.begin(), fileHeader.end() - 1), 0, 0},
      {"aac", "h264", 0, concat({'F', 'L', 'X'}, Bytes(fileHeader.begin() + 3, fileHeader.end())), 0, 0},
  };
  for (const Case& c : cases) {
    test::OutputRequest request("flv", c.audio, c.video);
    request.medium.setDuration(c.durationMs);
    const auto profile = request.compute();
    ASSERT_NE(profile, nullptr);
    FlvHeaderRecord record{c.header.data(), static_cast<int>(c.header.size()), {}, profile.get()};
    buildFlvHeader(record);
    SCOPED_TRACE(std::string(c.audio) + "+" + c.video);
    ASSERT_EQ(record.output.size(), c.expectedSize);
    if (c.expectedSize == 0) continue;
    EXPECT_EQ(record.output[4], c.flags);
    EXPECT_EQ(Bytes(record.output.begin() + 5, record.output.begin() + 13), Bytes(fileHeader.begin() + 5, fileHeader.end()));
    // The tag's data size and its closing previous-tag size agree with
    // where the next tag starts.
    const uint8_t* tag = record.output.data() + 13;
    const size_t dataSize = (tag[1] << 16) | (tag[2] << 8) | tag[3];
    const uint8_t* end = tag + 11 + dataSize;
    EXPECT_EQ(static_cast<size_t>((end[0] << 24) | (end[1] << 16) | (end[2] << 8) | end[3]), 11 + dataSize);
    EXPECT_EQ(Bytes(end + 4, tag - 13 + record.output.size()),
              Bytes(c.header.begin() + 13, c.header.end()));
  }
}

}  // namespace
}  // namespace zan
