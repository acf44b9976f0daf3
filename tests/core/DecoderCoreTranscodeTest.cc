// Transcoder input: packets written one by one into a core opened from
// stream descriptions. Compressed H.264 and AAC are decoded (compared with
// the same file decoded from its container), raw video is rescaled and
// converted (checked pixel by pixel), raw audio passes through untouched.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "core/FFMpegDecoderCore.h"
#include "host/records/Records.h"
#include "plugins/SimpleSamplePacket.h"
#include "tests/common/MediaProbe.h"
#include "tests/common/TestMedia.h"
#include "tests/core/CoreTestSupport.h"

namespace zan::test {
namespace {

using host::Requested;
using host::TranscoderInput;
using streamer::PACKETTYPE;
using streamer::SimpleSamplePacket;

// A new packet holding a copy of |bytes|; the core takes over the reference.
SimpleSamplePacket* makePacket(PACKETTYPE type, const std::vector<uint8_t>& bytes, uint64_t time = 0,
                               uint64_t duration = 0, bool key = false) {
  auto* packet = new SimpleSamplePacket;
  uint8_t* data = nullptr;
  if (!bytes.empty()) {
    data = new uint8_t[bytes.size()];
    std::memcpy(data, bytes.data(), bytes.size());
  }
  packet->set(type, data, static_cast<unsigned>(bytes.size()), time, duration, key);
  return packet;
}

// What one decodeFromPacket call gave back; frees what it was given as the
// engine does (releasing a passed-through packet, deleting a new array).
struct PacketResult {
  bool ok = false;
  PACKETTYPE type = streamer::PACKET_END;
  std::vector<uint8_t> bytes;
  uint64_t time = 0, duration = 0;
  bool passedThrough = false;    // frameContext was the packet
  bool sameData = false;         // the data pointer was the packet's own
};

PacketResult decode(FFMpegDecoderCore& core, SimpleSamplePacket* packet, uint64_t time = 0,
                    uint64_t duration = 0) {
  PacketResult result;
  uint8_t* const packetData = packet->getData();
  uint8_t* data = nullptr;
  unsigned size = 0;
  void* context = nullptr;
  bool key = false;
  result.time = time;
  result.duration = duration;
  result.ok = core.decodeFromPacket(packet, result.type, data, size, result.time, result.duration, context, key);
  if (!result.ok) {
    EXPECT_EQ(context, nullptr);
    delete[] data;
    return result;
  }
  if (data) result.bytes.assign(data, data + size);
  if (context) {
    result.passedThrough = context == static_cast<void*>(packet);
    result.sameData = data == packetData;
    static_cast<streamer::SamplePacket*>(context)->release();
  } else {
    delete[] data;
  }
  return result;
}

// H.264 160x120 in, as a reading core describes it.
TranscoderInput h264Input(double frameRate = 25.0) {
  TranscoderInput input;
  input.stream().video().setCodec("h264");
  input.stream().video().setWidth(160);
  input.stream().video().setHeight(120);
  input.stream().video().setFrameRate(frameRate);
  input.stream().video().setPixelFormat(4);
  return input;
}

// Raw pictures of the given size in packed YUV 4:2:2 out.
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
// first), decode to the pictures of the file itself, also when the upstream
// writes them without times or sends its header in pieces.
TEST(DecoderCoreTranscodeTest, CompressedPacketsDecodeToTheSamePicturesAsTheFile) {
  struct Case {
    Media media;
    const char* codec;
    bool times;        // the pictures keep their times
    bool splitHeader;  // the codec header comes as one packet per parameter set
  } cases[] = {
      {Media::kMpegTsH264Aac, "h264", true, false},   // Annex B header
      {Media::kMpegTsH264Aac, "h264", false, true},
      {Media::kMp4H264Aac, "h264", false, false},     // avcC record, length-prefixed pictures
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
    std::vector<DeliveredFrame> packets = readFrames(reader, 100000, true).video;
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
    for (const DeliveredFrame& frame : readFrames(reference).video) expected.push_back(frame.checksum);

    TranscoderInput input = h264Input();
    input.stream().video().setCodec(c.codec);
    Requested requested = rawVideo(160, 120);
    FFMpegDecoderCore core;
    ASSERT_TRUE(core.init(&input, &requested));
    EXPECT_FALSE(core.isRescalingMode());
    host::StreamDescription output;
    core.getOutputStreamDescription(&output);
    EXPECT_STREQ(output.video().getCodec(), "raw");
    EXPECT_EQ(output.video().getPixelFormat(), 5);
    EXPECT_EQ(output.video().getWidth(), 160);
    EXPECT_EQ(output.video().getHeight(), 120);

    std::vector<uint64_t> decoded, times, durations;
    auto take = [&](const std::vector<uint8_t>& bytes, uint64_t time, uint64_t duration) {
      ASSERT_EQ(bytes.size(), 160u * 120u * 2u);
      decoded.push_back(checksum(bytes.data(), bytes.size()));
      times.push_back(time);
      durations.push_back(duration);
    };
    for (const DeliveredFrame& frame : packets) {
      const uint64_t time = c.times ? frame.time : streamer::kNoTime;
      const uint64_t duration = c.times ? frame.duration : 0;
      const PacketResult result =
          decode(core, makePacket(streamer::PACKET_VIDEO, frame.bytes, time, duration, frame.key), time, duration);
      if (!result.ok) continue;
      EXPECT_EQ(result.type, streamer::PACKET_VIDEO);
      EXPECT_FALSE(result.passedThrough);
      take(result.bytes, result.time, result.duration);
    }
    // What the frame threads still hold comes out at the end of the input.
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
    // Pictures are counted out at the stream's frame rate (25 fps).
    for (std::size_t i = 0; i < durations.size(); ++i) {
      ASSERT_NEAR(static_cast<double>(durations[i]), 40000.0, 1.0) << "picture " << i;
      if (i > 0) {
        ASSERT_NEAR(static_cast<double>(times[i] - times[i - 1]), 40000.0, 1.0) << "picture " << i;
      }
    }
  }
}

// Above 30 fps the rate is capped; without one (0) the output still gets a
// usable rate.
TEST(DecoderCoreTranscodeTest, VideoFrameRateIsCappedAtThirtyAndNeverMissing) {
  struct Case {
    double input;
    double expected;
  } cases[] = {{25.0, 25.0}, {60.0, 30.0}, {12.5, 12.5}, {30.0, 30.0}, {0.0, -1.0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    TranscoderInput input = h264Input(c.input);
    Requested requested = rawVideo(160, 120);
    FFMpegDecoderCore core;
    ASSERT_TRUE(core.init(&input, &requested));
    host::StreamDescription output;
    core.getOutputStreamDescription(&output);
    const double rate = output.video().getFrameRate();
    if (c.expected > 0) {
      EXPECT_NEAR(rate, c.expected, 0.01);
    } else {
      EXPECT_TRUE(std::isfinite(rate) && rate > 0.0 && rate <= 30.0) << rate;
    }
  }
}

TEST(DecoderCoreTranscodeTest, AacPacketsDecodeToPcm) {
  const std::string path = mediaPath(Media::kMpegTsH264Aac);
  const ProbeResult probe = probeMedia(path);
  FFMpegDecoderCore reader;
  reader.skipAudioDecoding();
  ASSERT_EQ(reader.init(path, "ts"), 0);
  const Delivery packets = readFrames(reader, 100000, true);
  ASSERT_GT(packets.audio.size(), 100u);

  TranscoderInput input;
  input.stream().audio().setCodec("aac");
  input.stream().audio().setSampleRate(44100);
  input.stream().audio().setChannels(2);
  Requested requested;
  requested.target().audio().setCodec("raw");
  FFMpegDecoderCore core;
  ASSERT_TRUE(core.init(&input, &requested));
  EXPECT_TRUE(core.hasAudio());
  EXPECT_FALSE(core.hasVideo());
  host::StreamDescription output;
  core.getOutputStreamDescription(&output);
  EXPECT_STREQ(output.audio().getCodec(), "raw");
  EXPECT_EQ(output.audio().getChannels(), 2);
  EXPECT_EQ(output.audio().getSampleRate(), 44100);
  EXPECT_EQ(output.audio().getBitsPerSample(), 32);  // AAC decodes to float: delivered as signed 32-bit

  int64_t samples = 0;
  for (const DeliveredFrame& frame : packets.audio) {
    const PacketResult result =
        decode(core, makePacket(streamer::PACKET_AUDIO, frame.bytes, frame.time, frame.duration, true), frame.time,
               frame.duration);
    if (!result.ok) continue;
    EXPECT_FALSE(result.passedThrough);
    ASSERT_EQ(result.bytes.size() % 8, 0u);  // two channels of four bytes
    samples += static_cast<int64_t>(result.bytes.size() / 8);
  }
  const int audioIndex = probe.first("audio")->index;
  EXPECT_NEAR(static_cast<double>(samples), static_cast<double>(probe.sampleCount(audioIndex)), 1024.0);
}

TEST(DecoderCoreTranscodeTest, UnknownCodecsAreRefused) {
  for (bool video : {false, true}) {
    TranscoderInput input = video ? h264Input() : TranscoderInput();
    Requested requested = video ? rawVideo(160, 120) : Requested();
    if (video) {
      input.stream().video().setCodec("nonesuch");
    } else {
      input.stream().audio().setCodec("nonesuch");
      input.stream().audio().setSampleRate(44100);
      input.stream().audio().setChannels(2);
      requested.target().audio().setCodec("raw");
    }
    FFMpegDecoderCore core;
    EXPECT_FALSE(core.init(&input, &requested)) << (video ? "video" : "audio");
  }
}

// A 64x48 RGB24 picture in four quadrants: red, blue / white, black.
std::vector<uint8_t> quadrantPicture() {
  std::vector<uint8_t> rgb(64 * 48 * 3);
  for (int y = 0; y < 48; ++y) {
    for (int x = 0; x < 64; ++x) {
      uint8_t r, g, b;
      if (y < 24) {
        if (x < 32) r = 255, g = 0, b = 0;
        else r = 0, g = 0, b = 255;
      } else {
        if (x < 32) r = g = b = 255;
        else r = g = b = 0;
      }
      uint8_t* pixel = &rgb[static_cast<std::size_t>((y * 64 + x) * 3)];
      pixel[0] = r;
      pixel[1] = g;
      pixel[2] = b;
    }
  }
  return rgb;
}

TEST(DecoderCoreTranscodeTest, RawVideoIsRescaledAndConverted) {
  for (int requestedFormat : {5, 4}) {  // 4 (planar 4:2:0) is delivered as 5 too
    SCOPED_TRACE(requestedFormat);
    TranscoderInput input;
    input.stream().video().setCodec("RAW");
    input.stream().video().setWidth(64);
    input.stream().video().setHeight(48);
    input.stream().video().setPixelFormat(0);  // RGB24
    input.stream().video().setLayout(1);       // top row first
    input.stream().video().setFrameRate(25.0);
    Requested requested = rawVideo(32, 24, requestedFormat);
    FFMpegDecoderCore core;
    ASSERT_TRUE(core.init(&input, &requested));
    EXPECT_TRUE(core.isRescalingMode());
    host::StreamDescription output;
    core.getOutputStreamDescription(&output);
    EXPECT_EQ(output.video().getPixelFormat(), 5);
    EXPECT_EQ(output.video().getWidth(), 32);
    EXPECT_EQ(output.video().getHeight(), 24);
    EXPECT_EQ(output.video().getLayout(), 1);

    const PacketResult result =
        decode(core, makePacket(streamer::PACKET_VIDEO, quadrantPicture(), 123456, 40000, true), 123456, 40000);
    ASSERT_TRUE(result.ok);
    EXPECT_FALSE(result.passedThrough);
    EXPECT_EQ(result.type, streamer::PACKET_VIDEO);
    EXPECT_EQ(result.time, 123456u);  // times pass unchanged
    ASSERT_EQ(result.bytes.size(), 32u * 24u * 2u);

    // YUYV: each 4-byte group holds Y0 U Y1 V for two pixels. BT.601
    // limited-range values of each quadrant's colour, sampled at the
    // quadrant's centre.
    struct Sample {
      const char* colour;
      int x, y;
      int Y, U, V;
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

TEST(DecoderCoreTranscodeTest, RawVideoWithoutSizeNeverCrashes) {
  TranscoderInput input;
  input.stream().video().setCodec("raw");
  input.stream().video().setPixelFormat(0);
  Requested requested = rawVideo(32, 24);
  FFMpegDecoderCore core;
  ASSERT_TRUE(core.init(&input, &requested));
  // Nothing says how to read the bytes: the packet may pass through
  // unchanged or be refused, but it is never read as a picture.
  const std::vector<uint8_t> bytes(100, 7);
  const PacketResult result = decode(core, makePacket(streamer::PACKET_VIDEO, bytes));
  if (result.ok) {
    EXPECT_TRUE(result.passedThrough);
    EXPECT_EQ(result.bytes, bytes);
  }
}

TEST(DecoderCoreTranscodeTest, RawAudioPassesThroughAsThePacketItself) {
  TranscoderInput input;
  input.stream().audio().setCodec("raw");
  input.stream().audio().setSampleRate(44100);
  input.stream().audio().setChannels(2);
  Requested requested;
  requested.target().audio().setCodec("Raw");
  FFMpegDecoderCore core;
  ASSERT_TRUE(core.init(&input, &requested));
  EXPECT_FALSE(core.hasAudio());
  const std::vector<uint8_t> pcm = {1, 2, 3, 4, 5, 6, 7, 8};
  const PacketResult result = decode(core, makePacket(streamer::PACKET_AUDIO, pcm, 5000, 100), 5000, 100);
  ASSERT_TRUE(result.ok);
  EXPECT_EQ(result.type, streamer::PACKET_AUDIO);
  EXPECT_TRUE(result.passedThrough);
  EXPECT_TRUE(result.sameData);
  EXPECT_EQ(result.bytes, pcm);
}

TEST(DecoderCoreTranscodeTest, PacketsOfOtherKindsAreRefused) {
  TranscoderInput input;
  input.stream().audio().setCodec("raw");
  Requested requested;
  requested.target().audio().setCodec("raw");
  FFMpegDecoderCore core;
  ASSERT_TRUE(core.init(&input, &requested));
  for (PACKETTYPE type : {streamer::PACKET_END, streamer::PACKET_MUXED, streamer::PACKET_SEGMENT}) {
    SCOPED_TRACE(type);
    // The core releases the packet (the sanitizer build would report a leak).
    const PacketResult result = decode(core, makePacket(type, {1, 2, 3}));
    EXPECT_FALSE(result.ok);
  }
}

}  // namespace
}  // namespace zan::test
