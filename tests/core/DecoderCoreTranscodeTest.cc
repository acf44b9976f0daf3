// Transcoder input: packets handed one by one to a core opened from stream
// descriptions, compressed, raw video to rescale and raw audio to pass on.
#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include "core/CodecConfiguration.h"
#include "core/FFMpegDecoderCore.h"
#include "host/records/Records.h"
#include "tests/common/Harness.h"
#include "tests/common/TestMedia.h"

namespace zan::test {
namespace {

using host::Requested;
using host::TranscoderInput;
using streamer::PACKETTYPE;

// What one decodeFromPacket call gave back; hands back what it was given
// as the engine does (releasing a passed-through packet, deleting an array).
struct PacketResult {
  bool ok = false;
  PACKETTYPE type = streamer::PACKET_END;
  std::vector<uint8_t> bytes;
  uint64_t time = 0, duration = 0;
  bool passedThrough = false;  // the frame is the packet itself, its own bytes
};

PacketResult decode(FFMpegDecoderCore& core, PACKETTYPE type, const std::vector<uint8_t>& bytes, uint64_t time = 0,
                    uint64_t duration = 40000, bool key = true) {
  streamer::SamplePacket* packet = makePacket(type, bytes, time, duration, key);
  uint8_t* const packetData = packet->getData();
  PacketResult result{false, type, {}, time, duration, false};
  uint8_t* data = nullptr;
  unsigned size = 0;
  void* context = nullptr;
  result.ok = core.decodeFromPacket(packet, result.type, data, size, result.time, result.duration, context, key);
  if (result.ok && data) result.bytes.assign(data, data + size);
  if (context) {
    result.passedThrough = context == static_cast<void*>(packet) && data == packetData;
    static_cast<streamer::SamplePacket*>(context)->release();
  } else {
    delete[] data;
  }
  return result;
}

TranscoderInput videoInput(const char* codec, int width, int height, int pixelFormat, double frameRate = 25.0) {
  TranscoderInput input;
  input.stream().video().setCodec(codec);
  input.stream().video().setWidth(width);
  input.stream().video().setHeight(height);
  input.stream().video().setPixelFormat(pixelFormat);
  input.stream().video().setFrameRate(frameRate);
  input.stream().video().setLayout(1);  // top row first
  return input;
}

TranscoderInput audioInput(const char* codec) {
  TranscoderInput input;
  input.stream().audio().setCodec(codec);
  input.stream().audio().setSampleRate(44100);
  input.stream().audio().setChannels(2);
  return input;
}

// Raw pictures of the given size in packed YUV 4:2:2 (5) or as asked.
Requested rawVideo(int width, int height, int pixelFormat = 5) {
  Requested requested;
  requested.target().video().setCodec("raw");
  requested.target().video().setWidth(width);
  requested.target().video().setHeight(height);
  requested.target().video().setPixelFormat(pixelFormat);
  return requested;
}

// The two parameter sets of an Annex B header as two packets.
std::vector<std::vector<uint8_t>> splitAtSecondStartCode(const std::vector<uint8_t>& header) {
  for (std::size_t i = 4; i + 3 < header.size(); ++i)
    if (header[i] == 0 && header[i + 1] == 0 && header[i + 2] == 1)
      return {{header.begin(), header.begin() + static_cast<std::ptrdiff_t>(i)},
              {header.begin() + static_cast<std::ptrdiff_t>(i), header.end()}};
  ADD_FAILURE() << "one parameter set only";
  return {header};
}

// Compressed pictures, as a pass-through reader delivers them (codec header
// first), decode to the file's own pictures, also without times or with the
// header in pieces; what the frame threads hold comes out at the end.
TEST(DecoderCoreTranscodeTest, CompressedPacketsDecodeToTheSamePicturesAsTheFile) {
  struct Case {
    Media media;
    const char* codec;
    bool times;        // the pictures keep their times
    bool splitHeader;  // the codec header comes as one packet per parameter set
  } cases[] = {
      {Media::kMpegTsH264Aac, "h264", true, false},    // Annex B header
      {Media::kMpegTsH264Aac, "h264", false, true},
      {Media::kMp4H264Aac, "h264", false, false},      // avcC record, length-prefixed pictures
      {Media::kMp4H264BFrames, "h264", false, false},  // some sizes begin with 00 00 01, like a start code
      {Media::kAviMpeg4Mp3, "mpeg4", false, false},
  };
  for (const Case& c : cases) {
    const MediaRecipe& recipe = mediaRecipe(c.media);
    SCOPED_TRACE(recipe.name + (c.times ? " with times" : " without times"));
    const std::string path = mediaPath(c.media);
    FFMpegDecoderCore reader;
    reader.skipVideoDecoding();
    ASSERT_EQ(reader.init(path, recipe.extension), 0);
    std::vector<Frame> packets = readFrames(reader, kNoLimit, true).video;
    ASSERT_GT(packets.size(), 50u);
    ASSERT_EQ(packets.front().time, streamer::kNoTime);  // the codec header
    if (c.splitHeader) {
      std::vector<std::vector<uint8_t>> sets = splitAtSecondStartCode(packets.front().bytes);
      packets.front().bytes = sets.back();
      packets.insert(packets.begin(), packets.front());
      packets.front().bytes = sets.front();
    }
    FFMpegDecoderCore reference;
    ASSERT_EQ(reference.init(path, recipe.extension), 0);
    std::vector<uint64_t> expected;
    for (const Frame& frame : readFrames(reference).video) expected.push_back(frame.checksum);

    TranscoderInput input = videoInput(c.codec, 160, 120, 4);
    Requested requested = rawVideo(160, 120);
    FFMpegDecoderCore core;
    ASSERT_TRUE(core.init(&input, &requested));
    std::vector<uint64_t> decoded;
    uint64_t nextTime = 0;
    // Pictures are counted out at the stream's frame rate (25 fps).
    auto take = [&](const std::vector<uint8_t>& bytes, uint64_t time, uint64_t duration) {
      ASSERT_EQ(bytes.size(), 160u * 120u * 2u);
      if (!decoded.empty()) {
        EXPECT_NEAR(static_cast<double>(time), static_cast<double>(nextTime), 1.0) << decoded.size();
      }
      EXPECT_NEAR(static_cast<double>(duration), 40000.0, 1.0) << decoded.size();
      decoded.push_back(checksum(bytes.data(), bytes.size()));
      nextTime = time + 40000;
    };
    for (const Frame& frame : packets) {
      const PacketResult result = decode(core, streamer::PACKET_VIDEO, frame.bytes, c.times ? frame.time : streamer::kNoTime,
                                         c.times ? frame.duration : 0, frame.key);
      if (!result.ok) continue;
      EXPECT_FALSE(result.passedThrough);
      take(result.bytes, result.time, result.duration);
    }
    streamer::PACKETTYPE type;
    uint8_t* data = nullptr;
    unsigned size = 0;
    uint64_t time = 0, duration = 0;
    bool key = false;
    while (core.drainPacketInput(type, data, size, time, duration, key)) {
      take(std::vector<uint8_t>(data, data + size), time, duration);
      delete[] data;
      data = nullptr;
    }
    EXPECT_EQ(decoded, expected);
  }
}

// Above 30 fps the rate is capped; without one (0) the output still gets a
// usable rate.
TEST(DecoderCoreTranscodeTest, VideoFrameRateIsCappedAtThirtyAndNeverMissing) {
  for (auto [in, expected] : {std::pair(25.0, 25.0), {30.0, 30.0}, {60.0, 30.0}, {0.0, -1.0}}) {
    SCOPED_TRACE(in);
    TranscoderInput input = videoInput("h264", 160, 120, 4, in);
    Requested requested = rawVideo(160, 120);
    FFMpegDecoderCore core;
    ASSERT_TRUE(core.init(&input, &requested));
    host::StreamDescription output;
    core.getOutputStreamDescription(&output);
    const double rate = output.video().getFrameRate();
    if (expected > 0) {
      EXPECT_NEAR(rate, expected, 0.01);
    } else {
      EXPECT_TRUE(std::isfinite(rate) && rate > 0.0 && rate <= 30.0) << rate;
    }
  }
}

// A 64x48 RGB24 picture in four quadrants: red, blue / white, black.
std::vector<uint8_t> quadrantPicture() {
  std::vector<uint8_t> rgb;
  for (int y = 0; y < 48; ++y) {
    for (int x = 0; x < 64; ++x) {
      const bool top = y < 24, left = x < 32;
      const uint8_t pixel[3] = {static_cast<uint8_t>(left ? 255 : 0),
                                static_cast<uint8_t>(!top && left ? 255 : 0),
                                static_cast<uint8_t>(top ? (left ? 0 : 255) : (left ? 255 : 0))};
      rgb.insert(rgb.end(), pixel, pixel + 3);
    }
  }
  return rgb;
}

TEST(DecoderCoreTranscodeTest, RawVideoIsRescaledAndConverted) {
  for (int requestedFormat : {5, 4}) {  // 4 (planar 4:2:0) is delivered as 5 too
    SCOPED_TRACE(requestedFormat);
    TranscoderInput input = videoInput("RAW", 64, 48, 0);  // RGB24
    Requested requested = rawVideo(32, 24, requestedFormat);
    FFMpegDecoderCore core;
    ASSERT_TRUE(core.init(&input, &requested));
    EXPECT_TRUE(core.isRescalingMode());
    host::StreamDescription output;
    core.getOutputStreamDescription(&output);
    const host::Video& video = output.video();
    EXPECT_EQ((std::array{video.getPixelFormat(), video.getWidth(), video.getHeight()}), (std::array{5, 32, 24}));

    const PacketResult result = decode(core, streamer::PACKET_VIDEO, quadrantPicture(), 123456);
    ASSERT_TRUE(result.ok);
    EXPECT_FALSE(result.passedThrough);
    EXPECT_EQ(result.time, 123456u);  // times pass unchanged
    ASSERT_EQ(result.bytes.size(), 32u * 24u * 2u);
    // YUYV: each 4-byte group holds Y0 U Y1 V for two pixels. BT.601
    // limited-range values of each quadrant's colour, at its centre.
    struct Sample {
      const char* colour;
      int x, y, Y, U, V;
    } samples[] = {
        {"red", 8, 6, 82, 90, 240},
        {"blue", 24, 6, 41, 240, 110},
        {"white", 8, 18, 235, 128, 128},
        {"black", 24, 18, 16, 128, 128},
    };
    for (const Sample& s : samples) {
      SCOPED_TRACE(s.colour);
      const std::size_t group = static_cast<std::size_t>(s.y * 32 * 2 + (s.x / 2) * 4);
      EXPECT_NEAR(result.bytes[group + static_cast<std::size_t>((s.x % 2) * 2)], s.Y, 4);
      EXPECT_NEAR(result.bytes[group + 1], s.U, 4);
      EXPECT_NEAR(result.bytes[group + 3], s.V, 4);
    }
  }
}

TEST(DecoderCoreTranscodeTest, RawVideoWithoutSizeIsNeverReadAsAPicture) {
  TranscoderInput input = videoInput("raw", 0, 0, 0);
  Requested requested = rawVideo(32, 24);
  FFMpegDecoderCore core;
  ASSERT_TRUE(core.init(&input, &requested));
  // Nothing says how to read the bytes: passed on unchanged or refused.
  const std::vector<uint8_t> bytes(100, 7);
  const PacketResult result = decode(core, streamer::PACKET_VIDEO, bytes);
  if (result.ok) {
    EXPECT_TRUE(result.passedThrough);
    EXPECT_EQ(result.bytes, bytes);
  }
}

TEST(DecoderCoreTranscodeTest, RawAudioPassesThroughUnknownCodecsAndOtherKindsAreRefused) {
  TranscoderInput input = audioInput("raw");
  Requested requested;
  requested.target().audio().setCodec("Raw");
  FFMpegDecoderCore core;
  TranscoderInput unknownVideo = videoInput("nonesuch", 160, 120, 4), unknownAudio = audioInput("nonesuch");
  Requested rawPictures = rawVideo(160, 120);
  EXPECT_FALSE(core.init(&unknownVideo, &rawPictures));
  EXPECT_FALSE(core.init(&unknownAudio, &requested));
  ASSERT_TRUE(core.init(&input, &requested));
  const std::vector<uint8_t> pcm = {1, 2, 3, 4, 5, 6, 7, 8};
  const PacketResult result = decode(core, streamer::PACKET_AUDIO, pcm, 5000);
  ASSERT_TRUE(result.ok);
  EXPECT_EQ(result.type, streamer::PACKET_AUDIO);
  EXPECT_TRUE(result.passedThrough);
  EXPECT_EQ(result.bytes, pcm);
  // The core releases what it refuses (the sanitizer build reports a leak).
  for (PACKETTYPE type : {streamer::PACKET_END, streamer::PACKET_MUXED, streamer::PACKET_SEGMENT})
    EXPECT_FALSE(decode(core, type, {1, 2, 3}).ok) << type;
}

// An ADTS stream (MPEG-TS) carries no AudioSpecificConfig: the one made
// from what the decoder reports, against bytes written out field by field
// (object type | rate index | channel code [| output rate index | core
// object] | three zero bits).
TEST(DecoderCoreTranscodeTest, AacConfigurationMadeFromDecodedFields) {
  using Bytes = std::vector<uint8_t>;
  EXPECT_EQ(aacConfigFromFields(FF_PROFILE_AAC_LOW, 44100, 2), (Bytes{0x12, 0x10}));                // 2|4|2
  EXPECT_EQ(aacConfigFromFields(FF_PROFILE_AAC_HE, 44100, 2), (Bytes{0x2b, 0x92, 0x08, 0x00}));     // 5|7|2|4|2
  EXPECT_EQ(aacConfigFromFields(FF_PROFILE_AAC_HE_V2, 48000, 2), (Bytes{0xeb, 0x09, 0x88, 0x00}));  // 29|6|1|3|2
  EXPECT_EQ(aacConfigFromFields(FF_PROFILE_AAC_LOW, 48000, 8), (Bytes{0x11, 0xb8}));                // 2|3|7 (7.1)
  EXPECT_TRUE(aacConfigFromFields(FF_PROFILE_AAC_LOW, 48000, 7).empty());  // seven channels have no code
}

}  // namespace
}  // namespace zan::test
