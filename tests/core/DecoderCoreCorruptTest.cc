// Damaged and hostile input: every case ends in an error result or in a
// read that stops by itself, never in a crash, a hang or a leak (the
// sanitizer build runs the same table), and the core stays usable.
#include <gtest/gtest.h>

#include <filesystem>

#include "core/FFMpegDecoderCore.h"
#include "host/records/Records.h"
#include "tests/common/Harness.h"
#include "tests/common/MediaProbe.h"
#include "tests/common/TestSupport.h"

namespace zan::test {
namespace {

enum class Expect {
  kFails,         // the open gives a negative result
  kOpensOrFails,  // either; when it opens, reading ends by itself
};

// Every 97th byte after the first 4 KiB flipped.
std::string flipBytes(std::string bytes) {
  for (std::size_t i = 4096; i < bytes.size(); i += 97) bytes[i] = static_cast<char>(~bytes[i]);
  return bytes;
}

// The second half of the file overwritten with zeros (size kept).
std::string zeroSecondHalf(std::string bytes) {
  std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 2), bytes.end(), '\0');
  return bytes;
}

TEST(DecoderCoreCorruptTest, DamagedInputGivesAnErrorOrEndsCleanly) {
  TemporaryFolder folder;
  writeFile(folder.file("empty.mp4"), "");
  std::filesystem::create_directory(folder.file("folder.mp4"));
  writeFile(folder.file("flipped.ts"), flipBytes(readFile(mediaPath(Media::kMpegTsH264Aac))));
  writeFile(folder.file("zeroed.mkv"), zeroSecondHalf(readFile(mediaPath(Media::kMkvH264Vorbis))));
  writeFile(folder.file("short.ts"), readFile(mediaPath(Media::kMpegTsH264Aac)).substr(0, 1000));

  struct Case {
    const char* what;
    std::string path;
    const char* extension;
    Expect expect;
  } cases[] = {
      {"random bytes", mediaPath(Media::kRandomBytes), "mp4", Expect::kFails},
      {"MP4 cut in half, index lost", mediaPath(Media::kTruncatedMp4NoIndex), "mp4", Expect::kFails},
      {"empty file", folder.file("empty.mp4"), "mp4", Expect::kFails},
      {"a directory", folder.file("folder.mp4"), "mp4", Expect::kFails},
      {"no such file", folder.file("missing.mp4"), "mp4", Expect::kFails},
      {"MPEG-TS with flipped bytes", folder.file("flipped.ts"), "ts", Expect::kOpensOrFails},
      {"Matroska, second half zeros", folder.file("zeroed.mkv"), "mkv", Expect::kOpensOrFails},
      {"MPEG-TS, first 1000 bytes", folder.file("short.ts"), "ts", Expect::kOpensOrFails},
  };
  const std::string good = mediaPath(Media::kMp4H264Aac);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FFMpegDecoderCore core;
    const int result = core.init(c.path, c.extension);
    if (c.expect == Expect::kFails) {
      EXPECT_LT(result, 0);
    }
    if (result < 0) {
      host::Medium medium;
      if (result != kNoUsableStream) {
        EXPECT_EQ(core.getMediumDescription(&medium), -1);
      }
      EXPECT_TRUE(readFrames(core, 10).all.empty());
    } else {
      const Frames frames = readFrames(core, 100000);
      EXPECT_LT(frames.all.size(), 100000u);  // ended by itself
      EXPECT_TRUE(nonDecreasing(frames.video));
      for (const Frame& frame : frames.video) EXPECT_EQ(frame.size, 160u * 120u * 2u);
    }
    // A failed or damaged open leaves nothing behind that spoils the next.
    core.close();
    ASSERT_EQ(core.init(good, "mp4"), 0);
    host::StreamDescription output;
    core.getOutputStreamDescription(&output);
    EXPECT_EQ(output.video().getWidth(), 160);
    EXPECT_FALSE(readFrames(core, 20).video.empty());
  }
}

TEST(DecoderCoreCorruptTest, TruncatedFileDeliversWhatItHoldsThenStops) {
  FFMpegDecoderCore core;
  // ffprobe opens it (its index is whole), so the core must too; both stop
  // where the data ends.
  ASSERT_EQ(core.init(mediaPath(Media::kTruncatedMp4), "mp4"), 0);
  const ProbeResult& probe = probeMedia(Media::kTruncatedMp4);
  const Frames frames = readFrames(core);
  EXPECT_GT(frames.video.size(), 5u);
  EXPECT_NEAR(static_cast<double>(frames.video.size()), probe.frameCount(probe.first("video")->index), 2.0);
  EXPECT_TRUE(nonDecreasing(frames.video));
  EXPECT_TRUE(readFrames(core, 5).all.empty());  // past the end, reads stay false
}

// Inputs the demuxing fuzz target found faults with, opened the way it
// opens them (a byte stream from memory, the format named by the file's
// prefix) and read to the end. The sanitizer build is what catches a
// relapse.
TEST(DecoderCoreCorruptTest, FuzzFindingsEndCleanly) {
  for (const auto& entry : std::filesystem::directory_iterator(ZAN_FUZZ_FINDINGS)) {
    const std::string name = entry.path().filename().string();
    SCOPED_TRACE(name);
    MemoryByteSource memory(readFile(entry.path().string()));
    FFMpegDecoderCore core;
    const std::string format = name.substr(0, name.find('-'));
    if (core.initWithTransportStream(name, format, &MemoryByteSource::read, &MemoryByteSource::seek, &memory) == 0) {
      EXPECT_LT(readFrames(core, 100000).all.size(), 100000u);  // ended by itself
    }
  }
}

}  // namespace
}  // namespace zan::test
