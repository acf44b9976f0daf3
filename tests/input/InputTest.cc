// The input plug-in as the engine drives it, on local media made at test
// time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/records/Records.h"
#include "input/FFMpegInput.h"
#include "support/CRegistry.h"
#include "tests/common/FrameReading.h"
#include "tests/common/TestMedia.h"
#include "tests/common/TestSupport.h"

namespace zan::streamer {
namespace {

using host::ErrorRecord;
using host::Medium;
using host::StreamDescription;
using test::Media;
using test::mediaPath;

using Frame = test::ReadFrame;

std::vector<Frame> readFrames(FFMpegInput& input, size_t limit = SIZE_MAX) { return test::readFrames(input, limit); }

Medium localMedium(Media media) {
  Medium medium(mediaPath(media));
  return medium;
}

TEST(InputOpenTest, MissingFileIsCodeTwoWithTheMessage) {
  FFMpegInput input;
  Medium medium("/nonexistent/folder/clip.flv");
  ErrorRecord error;
  EXPECT_FALSE(input.open(&medium, &error));
  EXPECT_EQ(error.getCode(), 2);
  EXPECT_STREQ(error.getMessage(), "FFMpeg input: File could not be rendered. (no such file)");
  uint64_t position = 7;
  EXPECT_EQ(input.getPosition(position), PLUGIN_UNAVAILABLE);
  EXPECT_EQ(position, 7u);
  EXPECT_EQ(input.setTimePosition(10), PLUGIN_UNAVAILABLE);
  EXPECT_EQ(input.resetPosition(10), PLUGIN_UNAVAILABLE);
  EXPECT_FALSE(input.isSeekable());
}

TEST(InputOpenTest, OpenFailuresByInput) {
  struct Case {
    const char* what;
    std::string location;
  } cases[] = {
      {"random bytes", mediaPath(Media::kRandomBytes)},
      {"a folder", test::mediaFolder()},
      {"skipTranscoding marker after other text", mediaPath(Media::kMp4H264Aac) + "?skipTranscoding=1"},
  };
  for (const Case& c : cases) {
    FFMpegInput input;
    Medium medium(c.location);
    ErrorRecord error;
    EXPECT_FALSE(input.open(&medium, &error)) << c.what;
    EXPECT_EQ(error.getCode(), 2) << c.what;
    EXPECT_TRUE(readFrames(input).empty()) << c.what;
  }
}

TEST(InputOpenTest, DescribesTheMedium) {
  FFMpegInput input;
  Medium medium = localMedium(Media::kFlvSorensonMp3);
  ErrorRecord error;
  ASSERT_TRUE(input.open(&medium, &error)) << error.getMessage();
  Medium described;
  input.getMediumDescription(&described);
  EXPECT_NEAR(static_cast<double>(described.getDuration()), 4000.0, 100.0);
  EXPECT_TRUE(described.isSeekable());
  EXPECT_FALSE(described.isLive());
  EXPECT_GT(described.getSize(), 0u);
  EXPECT_TRUE(input.isSeekable());
  StreamDescription stored, delivered;
  input.getInputStreamDescription(&stored);
  input.getOutputStreamDescription(&delivered);
  EXPECT_STREQ(stored.getFormat(), "flv");
  EXPECT_STREQ(stored.getVideo()->getCodec(), "svq");
  EXPECT_STREQ(stored.getAudio()->getCodec(), "mp3");
  EXPECT_TRUE(stored.isEncoded());
  EXPECT_FALSE(delivered.isEncoded());
  EXPECT_STREQ(delivered.getVideo()->getCodec(), "raw");
  EXPECT_EQ(delivered.getVideo()->getPixelFormat(), 5);
  EXPECT_EQ(delivered.getVideo()->getFrameSize(),
            static_cast<unsigned>(delivered.getVideo()->getWidth() * delivered.getVideo()->getHeight() * 2));
  EXPECT_STREQ(delivered.getAudio()->getCodec(), "raw");
  EXPECT_FALSE(input.isSingleInstance());
  EXPECT_EQ(input.setBytePosition(100), PLUGIN_UNAVAILABLE);
  unsigned read = 1, history = 2, end = 3, length = 4;
  EXPECT_FALSE(input.getInputBufferStatus(read, history, end, length));
  EXPECT_EQ(read + history + end + length, 10u);  // untouched
}

TEST(InputOpenTest, DurationOverrides) {
  // A raw H.264 stream carries no duration of its own.
  const std::string raw = test::generateMedia(
      "raw-h264", "h264", "-f lavfi -i testsrc2=size=64x48:rate=25:duration=2 -c:v libx264 -pix_fmt yuv420p -f h264");
  {
    FFMpegInput input;
    Medium medium(raw);
    medium.setDuration(5000);
    ErrorRecord error;
    ASSERT_TRUE(input.open(&medium, &error));
    Medium described;
    input.getMediumDescription(&described);
    EXPECT_EQ(described.getDuration(), 5000u);
  }
  {
    // A medium that knows its duration keeps it against the engine's.
    FFMpegInput input;
    Medium medium = localMedium(Media::kMp4H264Aac);
    medium.setDuration(123456);
    ErrorRecord error;
    ASSERT_TRUE(input.open(&medium, &error));
    Medium described;
    input.getMediumDescription(&described);
    EXPECT_NEAR(static_cast<double>(described.getDuration()), 4000.0, 100.0);
  }
  {
    // A ".web" media type for a location that is no file: no duration.
    FFMpegInput input;
    Medium medium = localMedium(Media::kMp4H264Aac);
    medium.properties().put("mediatype", "video.web");
    ErrorRecord error;
    ASSERT_TRUE(input.open(&medium, &error));
    Medium described;
    input.getMediumDescription(&described);
    EXPECT_GT(described.getDuration(), 0u);  // the file exists: no override
  }
}

TEST(InputLifecycleTest, FramesFlowOnlyWhileStartedAndCloseIsRepeatable) {
  FFMpegInput input;
  Medium medium = localMedium(Media::kMp4H264Aac);
  ErrorRecord error;
  ASSERT_TRUE(input.open(&medium, &error));
  EXPECT_TRUE(readFrames(input, 1).empty());  // not started
  ASSERT_TRUE(input.start());
  EXPECT_EQ(readFrames(input, 5).size(), 5u);
  ASSERT_TRUE(input.stop());
  EXPECT_TRUE(readFrames(input, 1).empty());
  input.freeFrame(nullptr, reinterpret_cast<void*>(0x1));  // ignored
  EXPECT_TRUE(input.close());
  EXPECT_TRUE(input.close());
  EXPECT_TRUE(readFrames(input, 1).empty());
  // Reopening after close works, and skip requests survive it.
  EXPECT_TRUE(input.skipVideoDecoding());
  ASSERT_TRUE(input.open(&medium, &error));
  input.start();
  const auto frames = readFrames(input);
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.front().type, PACKET_VIDEO);
  EXPECT_EQ(frames.front().time, kNoTime);  // the H.264 codec header first
}

TEST(InputPositionTest, SeekLandsAtTheTargetAndResetReadsOn) {
  FFMpegInput input;
  Medium medium = localMedium(Media::kMp4H264Aac);
  ErrorRecord error;
  ASSERT_TRUE(input.open(&medium, &error));
  input.start();
  readFrames(input, 10);
  ASSERT_EQ(input.setTimePosition(2000), PLUGIN_OK);
  const auto afterSeek = readFrames(input, 20);
  ASSERT_FALSE(afterSeek.empty());
  for (const Frame& frame : afterSeek) {
    EXPECT_GE(frame.time, 2000000u);
    EXPECT_LE(frame.time, 2000000u + 6000000u);
  }
  uint64_t position = 0;
  EXPECT_EQ(input.getPosition(position), PLUGIN_OK);
  EXPECT_GE(position, 2000u);

  // A reset drops what lies outside the new window and reads on.
  ASSERT_EQ(input.resetPosition(0), PLUGIN_OK);
  const auto afterReset = readFrames(input);
  EXPECT_FALSE(afterReset.empty());
}

TEST(InputPositionTest, ReadTraceAtMostOncePer30SecondsAndAgainAfterAReset) {
  test::TemporaryFolder folder;
  test::ScopedEnvironment appData("ZAN_APPDATA", folder.file("appdata"));
  test::ScopedEnvironment registry("ZAN_REGISTRY_ROOT", folder.file("registry"));
  ASSERT_TRUE(CRegistry::instance()->setDword("Software\\ZAN Networks\\Zan", "LogLevel", 4));
  {
    FFMpegInput input;
    Medium medium = localMedium(Media::kMp4H264Aac);
    ErrorRecord error;
    ASSERT_TRUE(input.open(&medium, &error));
    input.start();
    readFrames(input, 30);
    input.resetPosition(0);
    readFrames(input, 30);
  }
  const std::string log = test::readFile(folder.file("appdata") + "/ZanNetworks/Logs/FFMpegInput.log");
  size_t traces = 0;
  for (auto at = log.find("read timestamp"); at != std::string::npos; at = log.find("read timestamp", at + 1))
    ++traces;
  EXPECT_EQ(traces, 2u) << log;
}

// The engine's threads at once: one pulls frames while another seeks,
// resets and finally closes. No crash, no leak (the sanitizer builds run
// this), and every frame handed out is handed back.
TEST(InputConcurrencyTest, ReadingWhileSeekingResettingAndClosing) {
  for (int round = 0; round < 3; ++round) {
    FFMpegInput input;
    Medium medium = localMedium(Media::kMkvH264Vorbis);
    ErrorRecord error;
    ASSERT_TRUE(input.open(&medium, &error));
    input.start();
    std::atomic<bool> done{false};
    std::atomic<int> outstanding{0};
    std::thread reader([&] {
      while (!done) {
        PACKETTYPE type;
        uint8_t* data = nullptr;
        unsigned size = 0;
        uint64_t time = 0, duration = 0;
        void* context = nullptr;
        bool key = false;
        if (input.readFrame(type, data, size, time, duration, context, key)) {
          ++outstanding;
          input.freeFrame(data, context);
          --outstanding;
        } else {
          std::this_thread::yield();
        }
      }
    });
    for (int i = 0; i < 10; ++i) {
      input.setTimePosition(static_cast<uint64_t>((i * 700) % 3500));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      input.resetPosition(static_cast<uint64_t>((i * 300) % 3500));
      uint64_t position;
      input.getPosition(position);
    }
    input.close();
    done = true;
    reader.join();
    EXPECT_EQ(outstanding, 0);
  }
}

}  // namespace
}  // namespace zan::streamer
