// The basic muxer against a real reader: H.264 (with B-frames) and AAC from
// a clip the ffmpeg tool made (TestMedia's kMp4H264BFrames: ffmpeg -f lavfi
// -i testsrc2=size=160x120:rate=25:duration=4 -f lavfi -i
// sine=frequency=440:sample_rate=44100:duration=4 -c:v libx264 -preset
// medium -bf 3 -g 25 -pix_fmt yuv420p -c:a aac -ac 2 -b:a 64k) are
// muxed through BasicMuxer into FLV, MPEG-TS and fragmented MP4; ffprobe
// decodes what the sink collected.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "output/BasicMuxer.h"
#include "output/FlvHeader.h"
#include "output/MuxerSink.h"
#include "tests/common/MediaProbe.h"
#include "tests/common/TestMedia.h"
#include "tests/common/TestSupport.h"
#include "tests/output/OutputRequest.h"

namespace zan {
namespace {

using test::ProbeResult;

// Every packet of the clip, demuxed once and shared read-only.
struct Source {
  ff::InputFormatPtr format;
  int video = -1, audio = -1;
  struct Packet {
    bool video;
    int64_t pts, dts;
    bool key;
    std::vector<uint8_t> data;
  };
  std::vector<Packet> packets;
};

const Source& source() {
  static const Source loaded = [] {
    Source s;
    const std::string path = test::mediaPath(test::Media::kMp4H264BFrames);
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return s;
    s.format.reset(raw);
    avformat_find_stream_info(raw, nullptr);
    s.video = av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    s.audio = av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    ff::PacketPtr packet = ff::makePacket();
    while (av_read_frame(raw, packet.get()) >= 0) {
      // The encoder's priming packet (negative time, to be discarded) is
      // left out: containers place it differently, which is FFmpeg's
      // business, not the muxer's.
      const bool priming = (packet->flags & AV_PKT_FLAG_DISCARD) != 0;
      if (!priming && (packet->stream_index == s.video || packet->stream_index == s.audio))
        s.packets.push_back({packet->stream_index == s.video, packet->pts, packet->dts, (packet->flags & AV_PKT_FLAG_KEY) != 0,
                             std::vector<uint8_t>(packet->data, packet->data + packet->size)});
      av_packet_unref(packet.get());
    }
    return s;
  }();
  return loaded;
}

struct Collector : MuxerSink {
  void headerBytes(const uint8_t* data, size_t size) override {
    ++headerCalls;
    header.assign(data, data + size);
  }
  void muxedBytes(const uint8_t* data, size_t size) override { bytes.insert(bytes.end(), data, data + size); }
  int headerCalls = 0;
  std::vector<uint8_t> header, bytes;
};

// The engine's request behind every muxed file: its medium's values end up
// in FLV's onMetaData and in the container's metadata.
struct Request : test::OutputRequest {
  explicit Request(const std::string& format) : OutputRequest(format, "aac", "h264") {
    medium.setDuration(123456);
    medium.setSize(987654);
    medium.setTitle("Grüße aus Köln");
    medium.setAuthor("Zan");
    // 30 ASCII bytes, then a two-byte character across the 31-byte limit.
    medium.setGenre("Electronic music from the 90s é");
    medium.setTrack(7);
    requested.target().setBitrate(364000);
    requested.target().video().setWidth(160);
    requested.target().video().setHeight(120);
    requested.target().video().setFrameRate(25);
  }
};

struct MuxRun {
  std::string format;
  bool interleaved = true;
  size_t suspendAt = SIZE_MAX;  // packet before which the output is suspended and resumed
};

// Muxes the whole clip; the file is the header (the library's FLV header
// for FLV) followed by every byte the sink received after it.
std::vector<uint8_t> mux(const MuxRun& run, Collector& sink) {
  const Source& src = source();
  Request request(run.format);
  const auto profile = request.compute();
  BasicMuxer muxer(&sink, profile.get());
  muxer.interleaved = run.interleaved;
  EXPECT_EQ(muxer.open(), 0);
  AVFormatContext* out = muxer.formatContext();
  if (out == nullptr) return {};
  for (const int index : {src.video, src.audio}) {
    AVStream* stream = avformat_new_stream(out, nullptr);
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
    const Source::Packet& p = src.packets[i];
    const int in = p.video ? src.video : src.audio;
    const int target = p.video ? muxer.videoStreamIndex : muxer.audioStreamIndex;
    const AVRational from = src.format->streams[in]->time_base, to = out->streams[target]->time_base;
    const uint64_t ts = av_rescale_q(p.pts, from, to);
    const unsigned size = static_cast<unsigned>(p.data.size());
    EXPECT_TRUE(p.video ? muxer.writeVideoPacket(p.data.data(), size, ts, p.key, 0, av_rescale_q(p.dts, from, to))
                        : muxer.writeAudioPacket(p.data.data(), size, ts, 0));
  }
  EXPECT_TRUE(muxer.writeTrailer());
  muxer.close();
  muxer.close();

  std::vector<uint8_t> file = sink.header;
  if (run.format == "flv") {
    FlvHeaderRecord record{sink.header.data(), static_cast<int>(sink.header.size()), {}, profile.get()};
    buildFlvHeader(record);
    file = record.output;
  }
  file.insert(file.end(), sink.bytes.begin(), sink.bytes.end());
  return file;
}

// The span of presentation times from a stream's second frame to its last,
// in µs. Fragmented MP4 starts each track's first sample at 0 whatever the
// shift that made the video's decoding times non-negative, so the first
// frame is left out everywhere.
double span(std::vector<int64_t> times) {
  if (times.size() < 2) return 0;
  std::sort(times.begin(), times.end());
  return double(times.back() - times[1]);
}

double span(const ProbeResult& probe, const char* type) {
  const auto times = probe.frameTimes(probe.first(type)->index);
  return span(std::vector<int64_t>(times.begin(), times.end()));
}

// What was fed of one kind: packet count and the span of presentation
// times in µs.
struct Fed {
  int packets = 0;
  double span = 0;
};

Fed fed(bool video) {
  const Source& src = source();
  const AVStream* stream = src.format->streams[video ? src.video : src.audio];
  std::vector<int64_t> times;
  for (const Source::Packet& p : src.packets)
    if (p.video == video) times.push_back(av_rescale_q(p.pts, stream->time_base, AVRational{1, 1000000}));
  return {static_cast<int>(times.size()), span(times)};
}

// ffprobe's format section with its tags, as "key=value" lines; its
// error output says whether the reader found anything damaged.
test::ProcessResult formatSection(const std::string& path) {
  return test::runProcess({"ffprobe", "-v", "error", "-show_entries", "format=duration:format_tags", "-of",
                           "default=noprint_wrappers=1", path});
}

class BasicMuxerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_FALSE(source().packets.empty()); }
  std::string write(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = folder_.file(name);
    test::writeFile(path, std::string(bytes.begin(), bytes.end()));
    return path;
  }
  test::TemporaryFolder folder_;
};

TEST_F(BasicMuxerTest, ContainersCarryEveryFrame) {
  const Fed video = fed(true), audio = fed(false);
  struct Case {
    MuxRun run;
    const char* extension;
    std::vector<const char*> formatLines;  // expected in ffprobe's format section
  } cases[] = {
      // Our onMetaData: duration and the rest from the engine's records.
      {{"flv"}, "flv", {"duration=123.456000", "TAG:totalduration=123", "TAG:bytelength=987654", "TAG:totaldatarate=364"}},
      {{"mpegts"}, "ts", {}},
      {{"mpegts", false}, "ts", {}},
      // Metadata as UTF-8, the genre cut before the character that would
      // not fit.
      {{"mp4"}, "mp4", {"TAG:title=Grüße aus Köln", "TAG:artist=Zan", "TAG:genre=Electronic music from the 90s ", "TAG:track=7"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.run.format + (c.run.interleaved ? " interleaved" : " direct"));
    Collector sink;
    const std::string path = write(std::string("out.") + c.extension, mux(c.run, sink));
    EXPECT_LE(sink.headerCalls, 1);  // MPEG-TS has no header
    const ProbeResult probe = test::probeMedia(path);
    ASSERT_NE(probe.first("video"), nullptr);
    ASSERT_NE(probe.first("audio"), nullptr);
    EXPECT_EQ(probe.first("video")->codec, "h264");
    EXPECT_EQ(probe.first("audio")->codec, "aac");
    EXPECT_EQ(probe.frameCount(probe.first("video")->index), video.packets);
    EXPECT_EQ(probe.frameCount(probe.first("audio")->index), audio.packets);
    EXPECT_NEAR(span(probe, "video"), video.span, 40000);
    EXPECT_NEAR(span(probe, "audio"), audio.span, 1024 * 1e6 / 44100);
    const test::ProcessResult read = formatSection(path);
    EXPECT_EQ(read.err, "");
    const std::string& format = read.out;
    for (const char* line : c.formatLines) EXPECT_NE(format.find(line), std::string::npos) << line << "\n" << format;
  }
}

// Walks the FLV tags after the file header; false when a tag's size or its
// previous-tag size does not line up.
struct FlvWalk {
  bool wellFormed = false;
  int videoTags = 0;
  int endOfSequence = 0;  // AVC end-of-sequence tags (what FFmpeg's trailer writes)
  bool endIsLast = false;
};

FlvWalk walkFlv(const std::vector<uint8_t>& file) {
  FlvWalk walk;
  size_t at = kFlvFileHeaderSize;
  bool lastWasEnd = false;
  while (at + 11 <= file.size()) {
    const uint8_t* tag = &file[at];
    const size_t size = (tag[1] << 16) | (tag[2] << 8) | tag[3];
    if (at + 11 + size + 4 > file.size()) return walk;
    const uint8_t* end = tag + 11 + size;
    if (static_cast<size_t>((end[0] << 24) | (end[1] << 16) | (end[2] << 8) | end[3]) != 11 + size) return walk;
    if (tag[0] == 9) {
      ++walk.videoTags;
      lastWasEnd = size >= 2 && tag[12] == 2;
      walk.endOfSequence += lastWasEnd;
    }
    at += 11 + size + 4;
  }
  walk.wellFormed = at == file.size();
  walk.endIsLast = lastWasEnd;
  return walk;
}

TEST_F(BasicMuxerTest, SuspendAndResumeLeaveOneHeaderAndOneTrailer) {
  const size_t total = source().packets.size();
  Collector sink;
  const std::vector<uint8_t> file = mux({"flv", false, total / 2}, sink);
  EXPECT_EQ(sink.headerCalls, 1);
  const FlvWalk walk = walkFlv(file);
  EXPECT_TRUE(walk.wellFormed);
  EXPECT_EQ(walk.endOfSequence, 1);
  EXPECT_TRUE(walk.endIsLast);

  const ProbeResult probe = test::probeMedia(write("resumed.flv", file));
  EXPECT_EQ(probe.frameCount(probe.first("video")->index), fed(true).packets);
  EXPECT_EQ(probe.frameCount(probe.first("audio")->index), fed(false).packets);
}

TEST_F(BasicMuxerTest, EdgesOfTheLifecycle) {
  Collector sink;
  Request request("flv");
  const auto profile = request.compute();
  {
    BasicMuxer muxer(&sink, profile.get());
    EXPECT_TRUE(muxer.writeTrailer());  // nothing opened
    ASSERT_EQ(muxer.open(), 0);
    EXPECT_TRUE(muxer.writeTrailer());  // no header yet
    const uint8_t byte = 0;
    EXPECT_FALSE(muxer.writeAudioPacket(&byte, 1, 0, 0));
    muxer.close();
    muxer.close();
    EXPECT_EQ(muxer.formatContext(), nullptr);
  }  // and the destructor after two closes
  EXPECT_EQ(sink.headerCalls, 0);
  EXPECT_TRUE(sink.bytes.empty());

  Request unknown("no-such-container");
  const auto unknownProfile = unknown.compute();
  BasicMuxer muxer(&sink, unknownProfile.get());
  EXPECT_EQ(muxer.open(), -1);
}

// Two muxers on two threads: each output is byte for byte what the same
// muxer writes alone.
TEST_F(BasicMuxerTest, MuxersOnTwoThreadsKeepTheirBytes) {
  const MuxRun runs[] = {{"flv"}, {"mpegts"}};
  std::vector<uint8_t> alone[2], together[2];
  for (int i = 0; i < 2; ++i) {
    Collector sink;
    alone[i] = mux(runs[i], sink);
  }
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i)
    threads.emplace_back([&, i] {
      Collector sink;
      together[i] = mux(runs[i], sink);
    });
  for (auto& thread : threads) thread.join();
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(alone[i].empty());
    EXPECT_TRUE(alone[i] == together[i]) << runs[i].format;
  }
}

}  // namespace
}  // namespace zan
