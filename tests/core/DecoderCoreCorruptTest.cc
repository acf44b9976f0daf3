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
  kOpens,         // and delivers the pictures ffprobe decodes, then stops
};

TEST(DecoderCoreCorruptTest, DamagedInputGivesAnErrorOrEndsCleanly) {
  TemporaryFolder folder;
  writeFile(folder.file("empty.mp4"), "");
  std::filesystem::create_directory(folder.file("folder.mp4"));
  std::string flipped = readFile(mediaPath(Media::kMpegTsH264Aac)), zeroed = readFile(mediaPath(Media::kMkvH264Vorbis));
  for (std::size_t i = 4096; i < flipped.size(); i += 97) flipped[i] = static_cast<char>(~flipped[i]);
  std::fill(zeroed.begin() + static_cast<std::ptrdiff_t>(zeroed.size() / 2), zeroed.end(), '\0');
  writeFile(folder.file("flipped.ts"), flipped);
  writeFile(folder.file("zeroed.mkv"), zeroed);
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
      {"MP4 cut in half, index kept", mediaPath(Media::kTruncatedMp4), "mp4", Expect::kOpens},
  };
  const std::string good = mediaPath(Media::kMp4H264Aac);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FFMpegDecoderCore core;
    const int result = core.init(c.path, c.extension);
    EXPECT_TRUE(c.expect == Expect::kOpensOrFails || (result < 0) == (c.expect == Expect::kFails)) << result;
    if (result < 0) {
      host::Medium medium;
      EXPECT_TRUE(result == kNoUsableStream || core.getMediumDescription(&medium) == -1);
      EXPECT_TRUE(readFrames(core, 10).all.empty());
    } else {
      const Frames frames = readFrames(core, 100000);
      EXPECT_LT(frames.all.size(), 100000u);  // ended by itself
      EXPECT_TRUE(nonDecreasing(frames.video));
      for (const Frame& frame : frames.video) EXPECT_EQ(frame.size, 160u * 120u * 2u);
      EXPECT_TRUE(readFrames(core, 5).all.empty());  // past the end, reads stay false
      if (c.expect == Expect::kOpens) {
        const ProbeResult probe = probeMedia(c.path);
        EXPECT_NEAR(static_cast<double>(frames.video.size()), probe.frameCount(probe.first("video")->index), 2.0);
      }
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

// Inputs the demuxing fuzz target found faults with, opened as it opens
// them (from memory, the format named by the file's prefix) and read to
// the end; the sanitizer build catches a relapse.
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
