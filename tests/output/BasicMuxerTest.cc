// The basic muxer against a real reader: the H.264 (with B-frames) and AAC
// packets of a test clip muxed through BasicMuxer, and what the sink
// collected decoded by ffprobe.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <tuple>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "output/BasicMuxer.h"
#include "output/FlvHeader.h"
#include "output/InternalSamplePacket.h"
#include "output/MuxerSink.h"
#include "tests/common/MediaProbe.h"
#include "tests/common/OutputRequest.h"
#include "tests/common/TestMedia.h"
#include "tests/common/TestSupport.h"

namespace zan {
namespace {

using Bytes = std::vector<uint8_t>;

// Every packet of the clip, read once. The encoder's priming packet
// (negative time, marked for discarding) is left out: containers place it
// differently, which is FFmpeg's business, not the muxer's.
struct Source {
  ff::InputFormatPtr format;
  int video = -1, audio = -1;
  std::vector<ff::PacketPtr> packets;

  Source() {
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, test::mediaPath(test::Media::kMp4H264BFrames).c_str(), nullptr, nullptr) < 0)
      return;
    format.reset(raw);
    avformat_find_stream_info(raw, nullptr);
    video = av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    audio = av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    for (ff::PacketPtr p = ff::makePacket(); av_read_frame(raw, p.get()) >= 0; p = ff::makePacket())
      if (!(p->flags & AV_PKT_FLAG_DISCARD)) packets.push_back(std::move(p));
  }
  // Packet count and span of presentation times (second to last, µs).
  std::pair<int, double> fed(int stream) const {
    std::vector<int64_t> times;
    for (const ff::PacketPtr& p : packets)
      if (p->stream_index == stream)
        times.push_back(av_rescale_q(p->pts, format->streams[stream]->time_base, {1, 1000000}));
    std::sort(times.begin(), times.end());
    return {static_cast<int>(times.size()), double(times.back() - times[1])};
  }
};

const Source& source() {
  static const Source loaded;
  return loaded;
}

struct Collector : MuxerSink {
  void headerBytes(const uint8_t* data, size_t size) override {
    ++headerCalls;
    header.assign(data, data + size);
  }
  void muxedBytes(const uint8_t* data, size_t size) override { bytes.insert(bytes.end(), data, data + size); }
  void segmentFinished(std::unique_ptr<InternalSamplePacket>) override { ADD_FAILURE() << "a single output announced a file"; }
  int headerCalls = 0;
  Bytes header, bytes;
};

struct MuxRun {
  // A view, not a string: GCC 12 at -O3 warns that a string inside the
  // table of cases below may be used uninitialised (it cannot be).
  std::string_view format;
  bool interleaved = true;
  size_t suspendAt = SIZE_MAX;  // packet before which the output is suspended and resumed
};

// Muxes the clip and returns the file: the header (for FLV the library's
// own) followed by every byte the sink received after it.
Bytes mux(const MuxRun& run, Collector& sink) {
  const Source& src = source();
  test::OutputRequest request(std::string(run.format), "aac", "h264");
  request.medium.setDuration(123456);
  request.medium.setSize(987654);
  request.medium.setTitle("Grüße aus Köln");
  request.medium.setGenre("Electronic music from the 90s é");  // é crosses the 31-byte limit
  request.medium.setTrack(7);
  request.requested.target().setBitrate(364000);
  const auto profile = request.compute();
  BasicMuxer muxer(&sink, profile.get());
  muxer.interleaved = run.interleaved;
  EXPECT_EQ(muxer.open(), 0);
  for (AVFormatContext* out = muxer.formatContext(); const int index : {src.video, src.audio}) {
    AVStream* stream = avformat_new_stream(out, nullptr);  // the encoder's part
    avcodec_parameters_copy(stream->codecpar, src.format->streams[index]->codecpar);
    stream->codecpar->codec_tag = 0;
    stream->time_base = src.format->streams[index]->time_base;
    (index == src.video ? muxer.videoStreamIndex : muxer.audioStreamIndex) = stream->index;
  }
  EXPECT_TRUE(muxer.writeHeader());
  for (size_t i = 0; i < src.packets.size(); ++i) {
    if (i == run.suspendAt) {
      muxer.suspendOutput();
      muxer.resumeOutput(0);
    }
    const AVPacket& p = *src.packets[i];
    const bool video = p.stream_index == src.video;
    const AVRational from = src.format->streams[p.stream_index]->time_base,
                     to = muxer.formatContext()->streams[video ? muxer.videoStreamIndex : muxer.audioStreamIndex]->time_base;
    const unsigned size = static_cast<unsigned>(p.size);
    const uint64_t ts = av_rescale_q(p.pts, from, to);
    const bool key = (p.flags & AV_PKT_FLAG_KEY) != 0;
    EXPECT_TRUE(video ? muxer.writeVideoPacket(p.data, size, ts, key, 0, av_rescale_q(p.dts, from, to))
                      : muxer.writeAudioPacket(p.data, size, ts, 0));
  }
  EXPECT_TRUE(muxer.writeTrailer());
  muxer.close();
  muxer.close();

  FlvHeaderRecord flv{sink.header.data(), static_cast<int>(sink.header.size()), {}, profile.get()};
  if (run.format == "flv") buildFlvHeader(flv);
  Bytes file = run.format == "flv" ? flv.output : sink.header;
  file.insert(file.end(), sink.bytes.begin(), sink.bytes.end());
  return file;
}

size_t occurrences(const Bytes& bytes, const Bytes& pattern) {
  size_t count = 0;
  for (auto at = bytes.begin(); (at = std::search(at, bytes.end(), pattern.begin(), pattern.end())) != bytes.end(); ++at)
    ++count;
  return count;
}

class BasicMuxerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_FALSE(source().packets.empty()); }
  test::TemporaryFolder folder_;
};

// Every muxer runs at once, each on a thread of its own with its own sink:
// a byte reaching the wrong sink would break a file. Suspending and resuming
// halfway must lose no frame (media waiting in FFmpeg's queues goes out
// first) and let no trailer or second header through: an FLV file has one
// file header and one end-of-sequence tag (FFmpeg's trailer), the last one.
// MPEG-TS resumes behind a bitstream filter FFmpeg inserted for the first
// context.
TEST_F(BasicMuxerTest, ContainersCarryEveryFrame) {
  const size_t half = source().packets.size() / 2;
  const struct {
    MuxRun run;
    std::vector<const char*> formatLines;  // expected in ffprobe's format section
  } cases[] = {
      // Our onMetaData, with the values of the engine's records.
      {{"flv"}, {"duration=123.456000", "TAG:totalduration=123", "TAG:bytelength=987654", "TAG:totaldatarate=364"}},
      {{"flv", true, half}, {}},
      {{"mpegts"}, {}},
      {{"mpegts", false}, {}},
      {{"mpegts", true, half}, {}},
      // UTF-8 metadata; the genre is cut before the character that would not fit.
      {{"mp4"}, {"TAG:title=Grüße aus Köln", "TAG:genre=Electronic music from the 90s \n", "TAG:track=7"}},
  };
  constexpr size_t kRuns = std::size(cases);
  Collector sinks[kRuns];
  Bytes files[kRuns];
  std::vector<std::thread> threads;
  for (size_t i = 0; i < kRuns; ++i) threads.emplace_back([&, i] { files[i] = mux(cases[i].run, sinks[i]); });
  for (auto& thread : threads) thread.join();

  const auto [videoPackets, videoSpan] = source().fed(source().video);
  const auto [audioPackets, audioSpan] = source().fed(source().audio);
  const Bytes flvSignature = {'F', 'L', 'V', 1};
  const Bytes endOfSequence = {0x17, 0x02, 0, 0, 0, 0, 0, 0, 0x10};  // tag data and previous-tag size 16
  for (size_t i = 0; i < kRuns; ++i) {
    const MuxRun& run = cases[i].run;
    const bool suspended = run.suspendAt != SIZE_MAX;
    SCOPED_TRACE(std::string(run.format) + (run.interleaved ? " interleaved" : " direct") + (suspended ? " suspended" : ""));
    EXPECT_LE(sinks[i].headerCalls, 1);  // MPEG-TS has no header
    if (run.format == "flv") {
      EXPECT_EQ(occurrences(files[i], flvSignature), 1u);
      EXPECT_EQ(occurrences(files[i], endOfSequence), 1u);
      EXPECT_TRUE(std::equal(endOfSequence.rbegin(), endOfSequence.rend(), files[i].rbegin()));
    }
    const std::string path = folder_.file(std::to_string(i) + "." + std::string(run.format));
    test::writeFile(path, std::string(files[i].begin(), files[i].end()));
    const test::ProbeResult probe = test::probeMedia(path);
    const test::ProbeStream *video = probe.first("video"), *audio = probe.first("audio");
    ASSERT_TRUE(video && audio);
    EXPECT_EQ(video->codec + "+" + audio->codec, "h264+aac");
    EXPECT_EQ(probe.frameCount(video->index), videoPackets);
    EXPECT_EQ(probe.frameCount(audio->index), audioPackets);
    // A resumed muxer starts its timeline afresh (FLV shifts the first
    // decoding time to 0 again), so only uninterrupted runs keep the span.
    for (const auto& [stream, fedSpan, frame] : {std::tuple{video, videoSpan, 40000.0}, {audio, audioSpan, 23220.0}}) {
      auto times = probe.frameTimes(stream->index);
      std::sort(times.begin(), times.end());
      EXPECT_TRUE(suspended || std::abs(double(times.back() - times[1]) - fedSpan) <= frame) << stream->type;
    }
    const test::ProcessResult read = test::runProcess(
        {"ffprobe", "-v", "error", "-show_entries", "format=duration:format_tags", "-of", "default=nw=1", path});
    EXPECT_EQ(read.err, "");  // nothing the reader finds damaged
    for (const char* line : cases[i].formatLines) EXPECT_NE(read.out.find(line), std::string::npos) << line << read.out;
  }
}

TEST_F(BasicMuxerTest, EdgesOfTheLifecycle) {
  Collector sink;
  test::OutputRequest request("flv", "aac", "h264"), unknown("no-such-container", "aac", "h264");
  const auto profile = request.compute(), unknownProfile = unknown.compute();
  {
    BasicMuxer muxer(&sink, profile.get());
    EXPECT_TRUE(muxer.writeTrailer());  // nothing opened
    ASSERT_EQ(muxer.open(), 0);
    EXPECT_TRUE(muxer.writeTrailer());  // no header yet
    const uint8_t byte = 0;
    EXPECT_FALSE(muxer.writeAudioPacket(&byte, 1, 0, 0));
    muxer.close();
    muxer.close();
  }  // and the destructor after two closes
  EXPECT_EQ(sink.headerCalls + sink.bytes.size(), 0u);
  EXPECT_EQ(BasicMuxer(&sink, unknownProfile.get()).open(), -1);
}

}  // namespace
}  // namespace zan
