// The demuxer stage ("FFMpegDemuxer") driven as the engine drives it: a
// writer thread writes a file's bytes as packets, a reader pulls frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "host/records/Records.h"
#include "plugins/SimpleSamplePacket.h"
#include "tests/common/Harness.h"
#include "tests/common/TestMedia.h"
#include "tests/common/TestSupport.h"
#include "transcoders/FFMpegDemuxer.h"

namespace zan::test {
namespace {

using namespace std::chrono_literals;
using streamer::PACKET_AUDIO;
using streamer::PACKET_END;
using streamer::PLUGIN_OK;
using streamer::PLUGIN_UNAVAILABLE;

constexpr size_t kTransportChunk = 188 * 7;

std::vector<uint8_t> bytesOf(const std::string& text, size_t at = 0, size_t count = std::string::npos) {
  const std::string part = text.substr(at, count);
  return std::vector<uint8_t>(part.begin(), part.end());
}

// A multiplexed stream of the given FFmpeg format, from |location|.
struct StreamInput {
  host::Medium medium;
  host::TranscoderInput input;
  StreamInput(const std::string& location, const std::string& format) : medium(location) {
    input.setStreamType(1);  // multiplexed
    input.stream().setFormat(format.c_str());
  }
};

// Writes |bytes| in packets of |chunk| bytes (the packet type does not
// matter to the stage), then a PACKET_END packet.
void writeBytes(FFMpegDemuxer& stage, const std::string& bytes, size_t chunk, size_t limit = std::string::npos) {
  const size_t end = std::min(bytes.size(), limit);
  for (size_t at = 0; at < end; at += chunk)
    stage.write(makePacket(PACKET_AUDIO, bytesOf(bytes, at, std::min(chunk, end - at))));
  if (limit == std::string::npos) stage.write(makePacket(PACKET_END));
}

TEST(DemuxerStageTest, TransportStreamInPacketsGivesTheFramesOfTheFile) {
  const std::string path = mediaPath(Media::kMpegTsH264Aac);
  const std::string bytes = readFile(path);

  // What FFmpeg makes of the same bytes with no stage in between.
  MemoryByteSource memory(bytes);
  FFMpegDecoderCore onStream;
  ASSERT_EQ(onStream.initWithTransportStream(path, "mpegts", &MemoryByteSource::read, nullptr, &memory), 0);
  const Frames streamFrames = readFrames(onStream);
  ASSERT_GT(streamFrames.video.size(), 50u);

  // 1000-byte packets cut through transport packets.
  FFMpegDemuxer stage;
  StreamInput stream(path, "mpegts");
  ASSERT_EQ(stage.init(&stream.medium, &stream.input, nullptr, nullptr), PLUGIN_OK);
  stage.start();
  std::thread writer([&] { writeBytes(stage, bytes, 1000); });
  host::StreamDescription output;
  stage.getOutputStreamDescription(&output);
  const Frames frames = readFrames(stage);
  writer.join();
  EXPECT_EQ(output.video().getWidth(), 160);
  EXPECT_EQ(output.audio().getSampleRate(), 44100);
  EXPECT_TRUE(sameFrames(frames.video, streamFrames.video));
  EXPECT_TRUE(sameFrames(frames.audio, streamFrames.audio));
}

TEST(DemuxerStageTest, ReadCallbackFillsWholeRequestsInOrder) {
  struct Case {
    const char* name;
    size_t packetSize;
    int packets;
    int request;
  } cases[] = {
      {"10000-byte packets, 4096-byte requests", 10000, 3, 4096},
      {"188 x 7-byte packets, 32768-byte requests", kTransportChunk, 60, 32768},
      {"request larger than the whole stream", 500, 4, 4096},
      {"packets exactly as large as requests", 4096, 3, 4096},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t total = c.packetSize * static_cast<size_t>(c.packets);
    std::string pattern(total, '\0');
    for (size_t i = 0; i < total; ++i) pattern[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);

    FFMpegDemuxer stage;  // the callback needs no open
    std::thread writer([&] {
      for (int p = 0; p < c.packets; ++p) {
        stage.write(makePacket(PACKET_AUDIO, bytesOf(pattern, p * c.packetSize, c.packetSize)));
        auto* hollow = new streamer::SimpleSamplePacket();  // claims bytes, holds none: dropped
        hollow->set(PACKET_AUDIO, nullptr, 4096, 0, 0, false);
        stage.write(hollow);
      }
      stage.write(makePacket(PACKET_END));
    });
    std::string received;
    std::vector<int> answers;
    std::vector<uint8_t> buffer(static_cast<size_t>(c.request));
    for (;;) {
      const int got = stage.demuxerReadCallback(buffer.data(), c.request);
      answers.push_back(got);
      if (got <= 0) break;
      received.append(reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(got));
    }
    writer.join();

    // Whole requests until the end marker, then the rest, then nothing.
    std::vector<int> expected(total / static_cast<size_t>(c.request), c.request);
    if (total % static_cast<size_t>(c.request)) expected.push_back(static_cast<int>(total % c.request));
    expected.push_back(0);
    EXPECT_EQ(answers, expected);
    EXPECT_TRUE(received == pattern) << "bytes out of order or lost";
    EXPECT_EQ(stage.demuxerReadCallback(buffer.data(), c.request), 0);  // the end stays
  }
}

// A failed open stops the stage: later packets are dropped, so the writer
// never blocks, and nothing is described or read.
TEST(DemuxerStageTest, FailedOpenStopsTheStage) {
  for (auto [format, bytes] : {std::pair<std::string, std::string>("nosuchformat", readFile(mediaPath(Media::kRandomBytes))),
                               {"mpegts", ""}}) {
    SCOPED_TRACE(format);
    FFMpegDemuxer stage;
    StreamInput stream("stream", format);
    ASSERT_EQ(stage.init(&stream.medium, &stream.input, nullptr, nullptr), PLUGIN_OK);
    stage.start();
    // A reference: clang before 16 cannot capture a structured binding.
    std::thread writer([&, &written = bytes] { writeBytes(stage, written, kTransportChunk); });
    const Frames frames = readFrames(stage);
    writer.join();
    EXPECT_TRUE(frames.all.empty() && frames.ends == 0);
    host::StreamDescription output;
    stage.getOutputStreamDescription(&output);
    EXPECT_FALSE(output.hasAudio() || output.hasVideo());
  }
}

TEST(DemuxerStageTest, ASecondInitIsRefusedAndCallsBeforeInitNeverWait) {
  const std::string path = mediaPath(Media::kMpegTsH264Aac);
  {
    FFMpegDemuxer stage;
    StreamInput stream(path, "mpegts");
    ASSERT_EQ(stage.init(&stream.medium, &stream.input, nullptr, nullptr), PLUGIN_OK);
    EXPECT_EQ(stage.init(&stream.medium, &stream.input, nullptr, nullptr), PLUGIN_UNAVAILABLE);  // a second one
  }
  // Nothing was opened: neither call may wait for an open.
  FFMpegDemuxer stage;
  Frames frames;
  EXPECT_TRUE(returnsWithin(2s, [&] { frames = readFrames(stage, 1); }, [&] { stage.stop(); }));
  EXPECT_TRUE(frames.all.empty() && frames.ends == 0);
  host::StreamDescription output;
  EXPECT_TRUE(returnsWithin(2s, [&] { stage.getOutputStreamDescription(&output); }, [&] { stage.stop(); }));
  EXPECT_FALSE(output.hasAudio() || output.hasVideo());
}

// stop() while the open or a reader waits for bytes returns at once, so do
// the waiting reader and describer, and the stage can be deleted.
TEST(DemuxerStageTest, StopReturnsPromptlyWhateverTheStageWaitsFor) {
  const std::string path = mediaPath(Media::kMpegTsH264Aac);
  const std::string bytes = readFile(path);
  struct Case {
    const char* name;
    size_t written;  // bytes written before the stop, no end marker
    bool opens;      // enough for the open to finish
  } cases[] = {
      {"open waiting for the first byte", 0, false},
      {"open waiting after a few packets", 3 * kTransportChunk, false},
      {"reader waiting in the middle of the stream", bytes.size() / 2, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto stage = std::make_unique<FFMpegDemuxer>();
    StreamInput stream(path, "mpegts");
    ASSERT_EQ(stage->init(&stream.medium, &stream.input, nullptr, nullptr), PLUGIN_OK);
    stage->start();
    std::atomic<int> frames{0};
    std::atomic<bool> readerDone{false}, describerDone{false};
    std::thread writer([&] { writeBytes(*stage, bytes, kTransportChunk, c.written); });
    std::thread reader([&] {
      frames = static_cast<int>(readFrames(*stage).video.size());
      readerDone = true;
    });
    std::thread describer([&] {
      host::StreamDescription output;
      stage->getOutputStreamDescription(&output);
      describerDone = true;
    });
    writer.join();
    if (c.opens) {
      EXPECT_TRUE(waitFor([&] { return describerDone.load(); }, 10s));
    } else {
      std::this_thread::sleep_for(200ms);
      EXPECT_FALSE(describerDone.load());  // still opening
    }
    std::this_thread::sleep_for(100ms);  // the reader is waiting for more bytes now
    EXPECT_FALSE(readerDone.load());

    // A stop() that waits for the open or the reader is freed by an end
    // marker after a second: the test fails instead of hanging.
    EXPECT_TRUE(returnsWithin(1s, [&] { stage->stop(); }, [&] { stage->write(makePacket(PACKET_END)); }));
    EXPECT_TRUE(waitFor([&] { return readerDone.load() && describerDone.load(); }, 2s));
    reader.join();
    describer.join();
    EXPECT_TRUE(!c.opens || frames.load() > 0);
    // Later writes are dropped, later reads are false at once.
    stage->write(makePacket(PACKET_AUDIO, bytesOf(bytes, 0, kTransportChunk)));
    EXPECT_TRUE(readFrames(*stage, 1).video.empty());
    stage.reset();
  }
}

// A stage started again after stop has no core left: writes are dropped
// at once and reads are false, whatever was going on at the stop.
TEST(DemuxerStageTest, StartAfterStopNeitherBlocksNorLeaks) {
  const std::string path = mediaPath(Media::kMpegTsH264Aac);
  const std::string bytes = readFile(path);
  PacketLedger ledger;
  {
    FFMpegDemuxer stage;
    StreamInput stream(path, "mpegts");
    ASSERT_EQ(stage.init(&stream.medium, &stream.input, nullptr, nullptr), PLUGIN_OK);
    stage.start();
    std::thread writer([&] {
      for (size_t at = 0; at < bytes.size() / 2; at += kTransportChunk)
        stage.write(ledger.make(PACKET_AUDIO, bytesOf(bytes, at, kTransportChunk)));
    });
    EXPECT_FALSE(readFrames(stage, 20).video.empty());
    stage.stop();
    writer.join();
    stage.start();
    EXPECT_TRUE(returnsWithin(
        5s, [&] { for (int i = 0; i < 20; ++i) stage.write(ledger.make(PACKET_AUDIO, bytesOf(bytes, 0, 188))); },
        [&] { stage.stop(); }));
    EXPECT_TRUE(returnsWithin(2s, [&] { EXPECT_TRUE(readFrames(stage, 1).all.empty()); }, [&] { stage.stop(); }));
  }
  EXPECT_EQ(ledger.deleted(), ledger.made());
}

}  // namespace
}  // namespace zan::test
