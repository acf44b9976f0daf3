// The WAV and Y4M writers behind --audio-out and --video-out: headers as the
// formats define them, and what they refuse; the HLS playlists' timeline.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "host/cli/HlsWriter.h"
#include "host/cli/WavWriter.h"
#include "host/cli/Y4mWriter.h"
#include "tests/common/LittleEndian.h"
#include "tests/common/TestSupport.h"

namespace {

using zan::host::WavWriter;
using zan::host::Y4mWriter;
using zan::test::le16;
using zan::test::le32;
using zan::test::ProcessResult;
using zan::test::readFile;
using zan::test::runProcess;
using zan::test::TemporaryFolder;

// Read back by ffprobe and by ffmpeg copying the samples out: the format
// and every sample, in two writes, with the sizes filled in at the end.
TEST(WavWriterTest, FfmpegReadsBackTheFormatAndEverySample) {
  struct Case {
    int rate, channels, bits;
    size_t dataBytes;
    const char* codec;  // as FFmpeg names the samples
    uint16_t formatTag;
  };
  const Case cases[] = {
      {44100, 2, 16, 4096, "s16le", 1},        // plain PCM
      {8000, 1, 8, 801, "u8", 1},              // unsigned 8-bit, odd length: padded
      {48000, 2, 32, 8000, "s32le", 0xFFFE},   // 32-bit needs the extensible header
      {44100, 6, 16, 1200, "s16le", 0xFFFE},   // more than two channels too
      {22050, 1, 16, 0, "s16le", 1},           // nothing written at all
  };
  TemporaryFolder folder;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.bits) + " bits, " + std::to_string(c.channels) + " channels");
    const std::string path = folder.file("out.wav");
    std::string samples;
    for (size_t i = 0; i < c.dataBytes; ++i) samples.push_back(static_cast<char>(i * 7 + 1));
    {
      WavWriter writer;
      ASSERT_TRUE(writer.open(path, c.rate, c.channels, c.bits)) << writer.error();
      const size_t half = samples.size() / 2;  // in two pieces, as frames arrive
      ASSERT_TRUE(writer.write(reinterpret_cast<const uint8_t*>(samples.data()), half));
      ASSERT_TRUE(writer.write(reinterpret_cast<const uint8_t*>(samples.data()) + half, samples.size() - half));
      ASSERT_TRUE(writer.finish()) << writer.error();
    }
    const ProcessResult probe = runProcess(
        {"ffprobe", "-v", "error", "-show_entries", "stream=codec_name,sample_rate,channels", "-of", "compact=p=0", path});
    EXPECT_EQ(probe.out, "codec_name=pcm_" + std::string(c.codec) + "|sample_rate=" + std::to_string(c.rate) +
                             "|channels=" + std::to_string(c.channels) + "\n") << probe.err;
    const ProcessResult copied = runProcess({"ffmpeg", "-v", "error", "-i", path, "-c", "copy", "-f", c.codec, "-"});
    EXPECT_TRUE(copied.out == samples) << copied.err;
    const std::string file = readFile(path);
    EXPECT_EQ(le32(file, 4), file.size() - 8);  // FFmpeg reads on without it
    EXPECT_EQ(le16(file, 20), c.formatTag);
    EXPECT_EQ(file.size() % 2, 0u);  // chunks are padded to an even length
  }
}

TEST(MediaWritersTest, RefuseWhatTheFormatsCannotHold) {
  TemporaryFolder folder;
  struct Wav {
    int rate, channels, bits;
  };
  for (const Wav& c : {Wav{44100, 2, 24}, Wav{44100, 0, 16}, Wav{0, 2, 16}, Wav{44100, 5000, 32}}) {
    WavWriter writer;
    EXPECT_FALSE(writer.open(folder.file("bad.wav"), c.rate, c.channels, c.bits)) << c.bits << " " << c.channels;
    EXPECT_FALSE(writer.error().empty());
  }
  WavWriter unwritable;
  EXPECT_FALSE(unwritable.open(folder.file("no/such/folder.wav"), 44100, 2, 16));
  EXPECT_FALSE(unwritable.error().empty());
  struct Y4m {
    int width, height, pixelFormat;
  };
  for (const Y4m& c : {Y4m{320, 240, 0}, Y4m{321, 240, Y4mWriter::kYUYV422}, Y4m{320, -2, Y4mWriter::kYUV420P},
                       Y4m{32768, 16, Y4mWriter::kYUV420P}}) {
    Y4mWriter writer;
    EXPECT_FALSE(writer.open(folder.file("bad.y4m"), c.width, c.height, 25.0, c.pixelFormat))
        << c.width << "x" << c.height << " format " << c.pixelFormat;
    EXPECT_FALSE(writer.error().empty());
  }
}

// The packed-to-planar split is checked against ffmpeg in the decode
// command's test; here the sizes it refuses and odd 4:2:0 pictures.
TEST(Y4mWriterTest, SkipsWrongSizesAndRoundsChromaPlanesUp) {
  TemporaryFolder folder;
  const std::vector<uint8_t> packed(4 * 2 * 2, 1);
  Y4mWriter writer;
  ASSERT_TRUE(writer.open(folder.file("packed.y4m"), 4, 2, 25.0, Y4mWriter::kYUYV422)) << writer.error();
  EXPECT_FALSE(writer.write(packed.data(), packed.size() - 2));
  ASSERT_TRUE(writer.write(packed.data(), packed.size()));
  ASSERT_TRUE(writer.finish());
  EXPECT_EQ(writer.frames(), 1u);
  EXPECT_EQ(writer.skipped(), 1u);

  // 3x3 planar 4:2:0: chroma planes are 2x2.
  std::string picture;
  for (int i = 0; i < 9 + 4 + 4; ++i) picture.push_back(static_cast<char>(i));
  Y4mWriter yuv420;
  ASSERT_TRUE(yuv420.open(folder.file("planar.y4m"), 3, 3, 30000.0 / 1001.0, Y4mWriter::kYUV420P));
  ASSERT_TRUE(yuv420.write(reinterpret_cast<const uint8_t*>(picture.data()), picture.size()));
  ASSERT_TRUE(yuv420.finish());
  EXPECT_EQ(readFile(folder.file("planar.y4m")), "YUV4MPEG2 W3 H3 F30000:1001 Ip A0:0 C420jpeg\nFRAME\n" + picture);
}

TEST(Y4mWriterTest, FrameRatesBecomeExactFractions) {
  struct Case {
    double rate;
    unsigned numerator, denominator;
  };
  const Case cases[] = {{24000.0 / 1001.0, 24000, 1001}, {12.5, 25, 2}, {23.976, 2997, 125},
                        {0.0, 25, 1}, {std::nan(""), 25, 1}};  // unknown: a usual default
  for (const Case& c : cases) {
    unsigned numerator = 0, denominator = 0;
    Y4mWriter::frameRateFraction(c.rate, numerator, denominator);
    EXPECT_EQ(numerator, c.numerator) << c.rate;
    EXPECT_EQ(denominator, c.denominator) << c.rate;
  }
}

// A reset of the stream's position makes the encoder start a new name base
// at another time: the playlist marks the jump, and once the marked segment
// has left the live window the discontinuity sequence counts it. A gap
// under the same base is a lost segment, not a jump.
TEST(HlsWriterTest, AResetIsADiscontinuityThatSlidesOutOfTheWindow) {
  TemporaryFolder folder;
  const std::string cache = folder.file("cache"), hls = folder.file("hls");
  std::filesystem::create_directory(cache);
  std::filesystem::create_directory(hls);
  const auto facts = [](const std::string&) {
    zan::host::MediaFacts facts;
    facts.opened = true;
    facts.videoFrames = 250;
    return facts;
  };
  zan::host::HlsWriter writer(hls, 10.0, facts, 2);
  auto add = [&](const std::string& name, uint64_t start) {
    zan::test::writeFile(cache + "/" + name, "x");
    return writer.add(cache + "/" + name, start * 90000, 10 * 90000);
  };
  ASSERT_TRUE(add("segment-100-1.ts", 0));
  ASSERT_TRUE(add("segment-100-2.ts", 10));
  ASSERT_TRUE(add("segment-200-7.ts", 60)) << writer.error();  // reset to 60 s
  std::string list = readFile(hls + "/main.m3u8");
  EXPECT_NE(list.find("#EXT-X-MEDIA-SEQUENCE:1\n"), std::string::npos) << list;
  EXPECT_NE(list.find("segment-100-2.ts\n#EXT-X-DISCONTINUITY\n#EXTINF:10.000000,\nsegment-200-7.ts"), std::string::npos)
      << list;
  EXPECT_EQ(list.find("DISCONTINUITY-SEQUENCE"), std::string::npos);
  ASSERT_TRUE(add("segment-200-8.ts", 70));
  ASSERT_TRUE(add("segment-200-9.ts", 80));
  list = readFile(hls + "/main.m3u8");
  EXPECT_NE(list.find("#EXT-X-MEDIA-SEQUENCE:3\n#EXT-X-DISCONTINUITY-SEQUENCE:1\n"), std::string::npos) << list;
  EXPECT_EQ(list.find("#EXT-X-DISCONTINUITY\n"), std::string::npos) << list;
  EXPECT_FALSE(add("segment-200-11.ts", 100));
  EXPECT_NE(writer.error().find("not where the segment before it ended"), std::string::npos) << writer.error();
  // Only a copied stream's first segment may begin anywhere but at 0.
  for (const bool copied : {false, true}) {
    zan::host::HlsWriter first(hls, 10.0, facts);
    if (copied) first.acceptAnyFirstStart();
    zan::test::writeFile(cache + "/segment-300-1.ts", "x");
    EXPECT_EQ(first.add(cache + "/segment-300-1.ts", 2 * 90000, 10 * 90000), copied) << first.error();
  }
}

// Held back until the end, the playlist is written once, with a target
// duration that covers its longest segment (14.4 s rounds to 14).
TEST(HlsWriterTest, AHeldBackPlaylistAppearsOnceWithATargetForEverySegment) {
  TemporaryFolder folder;
  const std::string cache = folder.file("cache"), hls = folder.file("hls");
  std::filesystem::create_directory(cache);
  std::filesystem::create_directory(hls);
  zan::host::HlsWriter writer(hls, 10.0, [](const std::string&) {
    zan::host::MediaFacts facts;
    facts.opened = true;
    return facts;
  });
  writer.publishAtFinish();
  for (const auto& [name, start, length] : {std::tuple{"segment-1-1.ts", 0, 900000}, {"segment-1-2.ts", 900000, 0}}) {
    zan::test::writeFile(cache + "/" + name, "x");
    ASSERT_TRUE(writer.add(cache + "/" + name, start, length)) << writer.error();
    EXPECT_FALSE(std::filesystem::exists(hls + "/main.m3u8") || std::filesystem::exists(hls + "/master.m3u8"));
  }
  ASSERT_TRUE(writer.publishHeld());  // what a failed run leaves: the list so far, without its end
  EXPECT_EQ(readFile(hls + "/main.m3u8").find("ENDLIST"), std::string::npos);
  ASSERT_TRUE(writer.finish(24.4)) << writer.error();
  EXPECT_NE(readFile(hls + "/main.m3u8").find("#EXT-X-TARGETDURATION:14\n"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(hls + "/master.m3u8"));
}

}  // namespace
