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

int64_t totalSize(const std::vector<Frame>& frames) {
  int64_t total = 0;
  for (const Frame& frame : frames) total += frame.size;
  return total;
}

// The same pictures, sound and times as the file opened by location. A
// stream without a seek callback is live, each stream's times counting from
// its first one; FFmpeg's MPEG-TS demuxer then stamps AAC frames in whole
// 90 kHz ticks, a drift under 2 ms over this clip.
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
    EXPECT_EQ(totalSize(delivery.audio), totalSize(expected.audio));
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

// Streams named "mp3" or "asf" are positioned by byte: the position's share
// of the duration is taken as the share of the size, and times count on
// from the position.
TEST(DecoderCoreStreamTest, ByteSeekingLandsNearTheTarget) {
  struct Case {
    Media media;
    const char* format;
    double tolerance;  // of the remaining sound; constant bit rate lands exactly
  } cases[] = {
      {Media::kMp3Audio, "mp3", 0.05},
      {Media::kAsfWmv2Wma2, "asf", 0.25},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    MemoryByteSource source(readFile(mediaPath(c.media)));
    FFMpegDecoderCore core;
    ASSERT_EQ(core.initWithTransportStream("stream", c.format, &MemoryByteSource::read, &MemoryByteSource::seek,
                                           &source),
              0);
    host::StreamDescription output;
    core.getOutputStreamDescription(&output);
    const int bytesPerSecond = output.audio().getSampleRate() * output.audio().getChannels() *
                               output.audio().getBitsPerSample() / 8;
    ASSERT_GT(bytesPerSecond, 0);
    const uint64_t target = static_cast<uint64_t>(core.duration()) * 6 / 10;
    ASSERT_TRUE(core.setPosition(target));
    const Frames delivery = readFrames(core);
    ASSERT_FALSE(delivery.audio.empty());
    EXPECT_EQ(delivery.audio.front().time, target * 1000);
    for (const Frame& frame : delivery.video) EXPECT_GE(frame.time, target * 1000);
    const double remaining = static_cast<double>(core.duration() - static_cast<int64_t>(target)) / 1000.0;
    const double delivered = static_cast<double>(totalSize(delivery.audio)) / bytesPerSecond;
    EXPECT_NEAR(delivered, remaining, remaining * c.tolerance);
  }
}

int failingRead(void*, uint8_t*, int) { return AVERROR(EIO); }
int emptyRead(void*, uint8_t*, int) { return 0; }

TEST(DecoderCoreStreamTest, StreamsThatGiveNothingFailToOpen) {
  for (FFMpegDecoderCore::ReadCallback read : {&failingRead, &emptyRead}) {
    FFMpegDecoderCore core;
    EXPECT_LT(core.initWithTransportStream("nothing", "mpegts", read, nullptr, nullptr), 0);
    host::Medium medium;
    EXPECT_EQ(core.getMediumDescription(&medium), -1);
    EXPECT_TRUE(readFrames(core, 5).all.empty());
  }
}

// Serves a file's bytes; once armed, blocks the read that reaches
// |blockAt| until released or until its decoding core is closed, as a
// network reader waiting for data does.
class BlockingSource {
 public:
  BlockingSource(std::string bytes, std::size_t blockAt) : bytes_(std::move(bytes)), blockAt_(blockAt) {}
  void setCore(const FFMpegDecoderCore* core) { core_ = core; }

  static int read(void* opaque, uint8_t* buffer, int size) {
    auto* self = static_cast<BlockingSource*>(opaque);
    if (self->armed_ && self->position_ >= self->blockAt_) {
      std::unique_lock<std::mutex> lock(self->mutex_);
      self->blocked_ = true;
      while (!self->released_) {
        if (FFMpegDecoderCore::isAborted() || (self->core_ && self->core_->abortRequested())) {
          self->sawAbort_ = true;
          return AVERROR_EXIT;
        }
        self->wake_.wait_for(lock, std::chrono::milliseconds(5));
      }
    }
    const std::size_t left = self->bytes_.size() - self->position_;
    const std::size_t count = std::min(left, static_cast<std::size_t>(size));
    std::memcpy(buffer, self->bytes_.data() + self->position_, count);
    self->position_ += count;
    return static_cast<int>(count);
  }

  void arm() { armed_ = true; }
  bool blocked() const { return blocked_; }
  bool sawAbort() const { return sawAbort_; }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    wake_.notify_all();
  }

 private:
  const std::string bytes_;
  const std::size_t blockAt_;
  const FFMpegDecoderCore* core_ = nullptr;
  std::size_t position_ = 0;  // touched only by the reading thread
  std::atomic<bool> armed_{false}, blocked_{false}, sawAbort_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
  bool released_ = false;  // guarded by mutex_
};

TEST(DecoderCoreStreamTest, CloseEndsAReadBlockedInsideFFmpeg) {
  const std::string bytes = readFile(mediaPath(Media::kMpegTsH264Aac));
  BlockingSource source(bytes, bytes.size() / 2);
  FFMpegDecoderCore core;
  source.setCore(&core);
  ASSERT_EQ(core.initWithTransportStream("blocking", "mpegts", &BlockingSource::read, nullptr, &source), 0);
  EXPECT_FALSE(core.abortRequested());
  source.arm();

  std::atomic<bool> readerDone{false};
  std::size_t framesBeforeBlock = 0;
  std::thread reader([&] {
    framesBeforeBlock = readFrames(core).all.size();
    readerDone = true;
  });
  const bool blocked = waitFor([&] { return source.blocked(); }, std::chrono::seconds(20));
  EXPECT_TRUE(blocked);
  EXPECT_FALSE(readerDone);

  // A core that cannot interrupt the read fails instead of hanging: the
  // release is never needed when close works.
  EXPECT_TRUE(returnsWithin(std::chrono::seconds(2), [&] { core.close(); }, [&] { source.release(); }));
  EXPECT_TRUE(waitFor([&] { return readerDone.load(); }, std::chrono::seconds(2)));
  source.release();
  reader.join();
  EXPECT_TRUE(source.sawAbort());
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
