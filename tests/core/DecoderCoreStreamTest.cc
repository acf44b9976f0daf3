// Opening from a byte stream served by callbacks (network input, the
// demuxer stage), and closing a core while another thread is blocked in
// FFmpeg's read of such a stream.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

extern "C" {
#include <libavutil/error.h>
}

#include "core/FFMpegDecoderCore.h"
#include "host/records/Records.h"
#include "tests/common/Harness.h"
#include "tests/common/TestMedia.h"
#include "tests/common/TestSupport.h"

namespace zan::test {
namespace {

// The same pictures, sound and times as the file opened by location. Without
// a seek callback a stream is live, its times counting from its first one
// (AAC then stamped in whole 90 kHz ticks: under 2 ms of drift).
TEST(DecoderCoreStreamTest, ByteStreamsOpenByFormatName) {
  struct Case {
    Media media;
    const char* format;
    bool withSeek;
    bool seekable;      // as the medium description reports it
    bool compareTimes;  // false: times counted from the samples (MP3)
  } cases[] = {
      {Media::kMpegTsH264Aac, "mpegts", false, false, true},
      {Media::kMpegTsH264Aac, "no-such-format", false, false, true},  // falls back to MPEG-TS
      {Media::kMkvH264Vorbis, "matroska", true, true, true},
      {Media::kMp3Audio, "mp3", true, true, false},
      {Media::kFlvSorensonMp3, "flv", true, false, true},
  };
  for (const Case& c : cases) {
    const MediaRecipe& recipe = mediaRecipe(c.media);
    SCOPED_TRACE(std::string(recipe.name) + " as " + c.format);
    const std::string path = mediaPath(c.media);
    FFMpegDecoderCore fromFile;
    ASSERT_EQ(fromFile.init(path, recipe.extension), 0);
    const Frames expected = readFrames(fromFile);

    MemoryByteSource source(readFile(path));
    FFMpegDecoderCore core;
    ASSERT_EQ(core.initWithTransportStream(path, c.format, &MemoryByteSource::read,
                                           c.withSeek ? &MemoryByteSource::seek : nullptr, &source),
              0);
    host::Medium medium;
    ASSERT_EQ(core.getMediumDescription(&medium), 0);
    EXPECT_EQ(medium.isSeekable(), c.seekable);
    EXPECT_EQ(core.isSeekable(), c.seekable);
    EXPECT_EQ(medium.isLive(), !c.withSeek);
    const Frames delivery = readFrames(core);
    ASSERT_EQ(delivery.video.size(), expected.video.size());
    for (std::size_t i = 0; i < delivery.video.size(); ++i)
      ASSERT_EQ(delivery.video[i].checksum, expected.video[i].checksum) << "picture " << i;
    EXPECT_EQ(byteCount(delivery.audio), byteCount(expected.audio));
    EXPECT_TRUE(nonDecreasing(delivery.video) && nonDecreasing(delivery.audio));
    if (!c.compareTimes) continue;
    for (auto [got, want] : {std::pair(&delivery.video, &expected.video), std::pair(&delivery.audio, &expected.audio)}) {
      if (want->empty()) continue;
      const uint64_t offset = c.withSeek ? 0 : want->front().time;
      ASSERT_EQ(got->size(), want->size());
      EXPECT_EQ(got->front().time, want->front().time - offset);
      for (std::size_t i = 0; i < got->size(); ++i)
        ASSERT_NEAR(static_cast<double>((*got)[i].time), static_cast<double>((*want)[i].time - offset),
                    c.withSeek ? 0.0 : 2000.0)
            << "frame " << i;
    }
  }
}

// Serves a file's bytes; once armed, blocks the read that reaches the
// middle until its core is closed (or the test gives up), as a network
// reader waiting for data does.
class BlockingSource {
 public:
  BlockingSource(std::string bytes, const FFMpegDecoderCore& core) : bytes_(std::move(bytes)), core_(core) {}

  static int read(void* opaque, uint8_t* buffer, int size) {
    auto* self = static_cast<BlockingSource*>(opaque);
    if (self->armed && self->position_ >= self->bytes_.size() / 2) {
      std::unique_lock<std::mutex> lock(self->mutex_);
      self->blocked = true;
      while (!self->released_) {
        if (FFMpegDecoderCore::isAborted() || self->core_.abortRequested()) {
          self->sawAbort = true;
          return AVERROR_EXIT;
        }
        self->wake_.wait_for(lock, std::chrono::milliseconds(5));
      }
    }
    const std::size_t count = std::min(self->bytes_.size() - self->position_, static_cast<std::size_t>(size));
    std::memcpy(buffer, self->bytes_.data() + self->position_, count);
    self->position_ += count;
    return static_cast<int>(count);
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    wake_.notify_all();
  }

  std::atomic<bool> armed{false}, blocked{false}, sawAbort{false};

 private:
  const std::string bytes_;
  const FFMpegDecoderCore& core_;
  std::size_t position_ = 0;  // touched only by the reading thread
  std::mutex mutex_;
  std::condition_variable wake_;
  bool released_ = false;  // guarded by mutex_
};

TEST(DecoderCoreStreamTest, CloseEndsAReadBlockedInsideFFmpeg) {
  FFMpegDecoderCore core;
  BlockingSource source(readFile(mediaPath(Media::kMpegTsH264Aac)), core);
  ASSERT_EQ(core.initWithTransportStream("blocking", "mpegts", &BlockingSource::read, nullptr, &source), 0);
  EXPECT_FALSE(core.abortRequested());
  source.armed = true;
  std::atomic<bool> readerDone{false};
  std::size_t framesBeforeBlock = 0;
  std::thread reader([&] {
    framesBeforeBlock = readFrames(core).all.size();
    readerDone = true;
  });
  EXPECT_TRUE(waitFor([&] { return source.blocked.load(); }, std::chrono::seconds(20)));
  EXPECT_FALSE(readerDone);
  // A close that cannot interrupt the read fails here instead of hanging.
  EXPECT_TRUE(returnsWithin(std::chrono::seconds(2), [&] { core.close(); }, [&] { source.release(); }));
  EXPECT_TRUE(waitFor([&] { return readerDone.load(); }, std::chrono::seconds(2)));
  source.release();
  reader.join();
  EXPECT_TRUE(source.sawAbort);
  EXPECT_GT(framesBeforeBlock, 0u);
  EXPECT_TRUE(readFrames(core, 3).all.empty());
  // The flag stays up until the core is opened again.
  EXPECT_TRUE(core.abortRequested());
  ASSERT_EQ(core.init(mediaPath(Media::kMp3Audio), "mp3"), 0);
  EXPECT_FALSE(core.abortRequested());
  EXPECT_FALSE(readFrames(core, 3).all.empty());
}

// Closing one medium must not cut another one short: each core's reads
// are stopped only by its own close.
TEST(DecoderCoreStreamTest, ClosingOneCoreLeavesTheOthersReading) {
  const std::string path = mediaPath(Media::kMpegTsH264Aac);
  FFMpegDecoderCore whole;
  ASSERT_EQ(whole.init(path, "ts"), 0);
  const std::size_t expected = readFrames(whole).all.size();

  MemoryByteSource source(readFile(path));
  FFMpegDecoderCore reading;
  ASSERT_EQ(reading.initWithTransportStream(path, "mpegts", &MemoryByteSource::read, nullptr, &source), 0);
  std::size_t delivered = readFrames(reading, 20).all.size();
  std::thread other([&] {
    FFMpegDecoderCore closing;
    if (closing.init(mediaPath(Media::kMp3Audio), "mp3") == 0) readFrames(closing, 5);
    closing.close();
  });
  other.join();
  EXPECT_FALSE(reading.abortRequested());
  delivered += readFrames(reading).all.size();
  EXPECT_EQ(delivered, expected);
}

}  // namespace
}  // namespace zan::test
