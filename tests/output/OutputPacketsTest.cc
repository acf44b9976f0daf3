// Byte layouts of the output side: the RTP audio payloads, the bit writer,
// and the FLV header around the onMetaData tag (whose values FFmpeg reads
// back in the muxer test).
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <typeinfo>
#include <vector>

#include "output/BitWriter.h"
#include "output/FlvHeader.h"
#include "output/InternalSamplePacket.h"
#include "tests/common/OutputRequest.h"

namespace zan {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes ramp(size_t n, uint8_t first = 1) {
  Bytes bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(OutputPacketsTest, RtpAudioPayloadLayouts) {
  const Bytes amr = ramp(32, 0x3C), amrLast = Bytes{0xBC} + Bytes(amr.begin() + 1, amr.end());
  const Bytes speech(amr.begin() + 1, amr.end());
  const Bytes f300 = ramp(300), f255 = ramp(255), f8191 = ramp(8191), f10199 = ramp(10199), f10200 = ramp(10200),
              f8192 = ramp(8192);
  InternalSamplePacket plain;
  AMRSamplePacket amrPacket;
  MP4ALATMSamplePacket latm;
  MP4AGENSamplePacket generic;
  const struct {
    InternalSamplePacket* packet;
    const Bytes* frame;  // null: no payload
    Bytes expected;      // empty: a packet without data
  } cases[] = {
      {&plain, &f300, f300},
      {&amrPacket, &amr, Bytes{0xF0, 0x3C} + speech},
      {&amrPacket, &amrLast, Bytes{0xF0, 0x3C} + speech},  // the F bit is cleared
      {&latm, &f300, Bytes{0xFF, 0x2D} + f300},
      {&latm, &f255, Bytes{0xFF, 0x00} + f255},
      {&latm, &f10199, Bytes(39, 0xFF) + Bytes{0xFE} + f10199},  // fills the 10240-byte buffer
      {&latm, &f10200, {}},                                      // would not fit
      {&latm, nullptr, {}},
      {&generic, &f300, Bytes{0x00, 0x10, 0x09, 0x60} + f300},
      {&generic, &f8191, Bytes{0x00, 0x10, 0xFF, 0xF8} + f8191},
      {&generic, &f8192, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(typeid(*c.packet).name()) + " " + std::to_string(c.frame ? c.frame->size() : 0));
    // Every packet is reused: the previous payload must go.
    c.packet->set(streamer::PACKET_AUDIO, c.frame ? c.frame->data() : nullptr,
                  c.frame ? static_cast<unsigned>(c.frame->size()) : 77, 123456, 23219, true);
    EXPECT_EQ(std::tuple(c.packet->getType(), c.packet->getTime(), c.packet->getDuration(), c.packet->isKeyFrame()),
              std::tuple(streamer::PACKET_AUDIO, 123456u, 23219u, true));
    ASSERT_EQ(c.packet->getSize(), c.expected.size());
    if (c.expected.empty()) {
      EXPECT_EQ(c.packet->getData(), nullptr);
      continue;
    }
    const uint8_t* data = c.packet->getData();
    EXPECT_EQ(Bytes(data, data + c.expected.size() + 10), c.expected + Bytes(10, 0));  // with zero padding
  }
}

TEST(OutputPacketsTest, AudioPacketKindFollowsCodecAndTransport) {
  const struct {
    const char* codec;
    bool latm, plain;
    const std::type_info& kind;
  } cases[] = {
      {"aac", true, false, typeid(MP4ALATMSamplePacket)}, {"aac", false, false, typeid(MP4AGENSamplePacket)},
      {"aac", true, true, typeid(InternalSamplePacket)},  {"amr_nb", true, false, typeid(AMRSamplePacket)},
      {"amr", true, false, typeid(AMRSamplePacket)},      {"mp3", true, false, typeid(InternalSamplePacket)},
  };
  for (const auto& c : cases) {
    test::OutputRequest request("rtp", c.codec, "none");
    request.settings.put("audioUseLATM", c.latm ? "1" : "0");
    const auto packet = request.compute()->createAudioSamplePacket(c.plain);
    const auto& made = *packet;
    EXPECT_EQ(typeid(made), c.kind) << c.codec << " plain " << c.plain;
  }
}

TEST(OutputPacketsTest, BitWritersTouchOnlyTheirBits) {
  Bytes zeros(2, 0x00), ones(2, 0xFF), bytes(3, 0xFF);
  putBits(zeros.data(), 5, 3, 6);
  putBits(ones.data(), 5, 3, 6);
  const uint8_t source[] = {0xAB, 0xCD};
  putBytes(bytes.data(), source, 12, 2);  // AB, then the high nibble of CD
  EXPECT_EQ(zeros, (Bytes{0x02, 0x80}));
  EXPECT_EQ(ones, (Bytes{0xFE, 0xFF}));
  EXPECT_EQ(bytes, (Bytes{0xEA, 0xF3, 0xFF}));
}

TEST(OutputPacketsTest, FlvHeaderAroundTheMetaDataTag) {
  const Bytes file = {'F', 'L', 'V', 1, 0x05, 0, 0, 0, 9, 0, 0, 0, 0};
  const Bytes tags = ramp(40, 0x09);  // stands for FFmpeg's sequence-header tags
  const struct {
    const char *audio, *video;
    uint64_t durationMs;
    Bytes header;
    size_t size;  // 0: nothing built
    uint8_t flags;
  } cases[] = {
      {"aac", "none", 0, file, 206, 0x04},
      {"aac", "h264", 5000, file + tags, 325 + tags.size(), 0x05},
      {"none", "h264", 0, file, 259, 0x01},
      {"aac", "h264", 0, Bytes(file.begin(), file.end() - 1), 0, 0},
      {"aac", "h264", 0, Bytes{'F', 'L', 'X'} + Bytes(file.begin() + 3, file.end()), 0, 0},
  };
  for (const auto& c : cases) {
    test::OutputRequest request("flv", c.audio, c.video);
    request.medium.setDuration(c.durationMs);
    const auto profile = request.compute();
    FlvHeaderRecord record{c.header.data(), static_cast<int>(c.header.size()), {}, profile.get()};
    buildFlvHeader(record);
    ASSERT_EQ(record.output.size(), c.size) << c.audio << "+" << c.video;
    if (c.size == 0) continue;
    EXPECT_EQ(record.output[4], c.flags);
    EXPECT_EQ(Bytes(record.output.end() - (c.header.size() - 13), record.output.end()),
              Bytes(c.header.begin() + 13, c.header.end()));
  }
}

}  // namespace
}  // namespace zan
