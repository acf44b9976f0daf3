// The "FFMpegAudioResampler" stage as the engine drives it: created by the
// built plug-in's factory, fed by a writer thread and drained by a reader
// thread. Signals are 1 kHz tones, checked against a fitted sinusoid.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/records/Records.h"
#include "plugins/SimpleSamplePacket.h"
#include "tests/common/Harness.h"

namespace zan::test {
namespace {

using streamer::PACKET_AUDIO;
using streamer::PACKET_END;
using streamer::PACKET_VIDEO;
using streamer::PLUGIN_OK;
using streamer::SamplePacket;
using streamer::TranscoderPluginInterface;

constexpr double kPi = 3.14159265358979323846;
constexpr double kTone = 1000.0;

struct PcmFormat {
  int bits, channels, rate;
};

std::vector<int16_t> samplesOf(const std::vector<uint8_t>& bytes) {
  std::vector<int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

// |count| packets of |frames| stereo frames of a 1 kHz tone, amplitude 0.5
// left and 0.25 right (so a channel swap shows), as |bits|-bit samples
// (8-bit unsigned), time-stamped in microseconds from 0.
std::vector<SamplePacket*> tonePackets(int rate, int count, int frames, std::vector<Frame>* stamps, int bits = 16) {
  std::vector<SamplePacket*> packets;
  for (int p = 0; p < count; ++p) {
    std::vector<uint8_t> bytes;
    for (int i = 0; i < frames; ++i) {
      const double phase = 2 * kPi * kTone * (static_cast<double>(p) * frames + i) / rate;
      for (double amplitude : {16384.0, 8192.0}) {
        const int sample = static_cast<int>(std::lround(amplitude * std::sin(phase)));
        if (bits == 8) bytes.push_back(static_cast<uint8_t>((sample >> 8) + 128));
        if (bits == 24) bytes.push_back(0);
        if (bits >= 16) bytes.insert(bytes.end(), {static_cast<uint8_t>(sample), static_cast<uint8_t>(sample >> 8)});
      }
    }
    Frame stamp;
    stamp.time = static_cast<uint64_t>(p) * frames * 1000000 / rate;
    stamp.duration = static_cast<uint64_t>(p + 1) * frames * 1000000 / rate - stamp.time;
    stamps->push_back(stamp);
    packets.push_back(makePacket(PACKET_AUDIO, bytes, stamp.time, stamp.duration));
  }
  return packets;
}

class AudioResamplerTest : public ::testing::Test {
 protected:
  // A new stage for raw audio |in| -> 16 bits, |outChannels|, |outRate|.
  // The records outlive it: they are members.
  std::unique_ptr<TranscoderPluginInterface> makeStage(PcmFormat in, int outChannels, int outRate) {
    const TranscoderPluginFactoryFn factory = transcoderFactory(ZAN_PLUGIN_PATH);
    EXPECT_NE(factory, nullptr);
    std::unique_ptr<TranscoderPluginInterface> stage(factory ? factory("FFMpegAudioResampler") : nullptr);
    if (!stage) return stage;
    host::Audio& audio = input_.stream().audio();
    audio.setCodec("raw");
    audio.setBitsPerSample(in.bits);
    audio.setChannels(in.channels);
    audio.setSampleRate(in.rate);
    input_.output().setFormat("raw");
    input_.output().audio().setCodec("raw");
    requested_.target().setFormat("raw");
    requested_.target().audio().setCodec("raw");
    requested_.target().audio().setChannels(outChannels);
    requested_.target().audio().setSampleRate(outRate);
    EXPECT_EQ(stage->init(&medium_, &input_, &requested_, &settings_), PLUGIN_OK);
    stage->start();
    host::StreamDescription out;
    stage->getOutputStreamDescription(&out);
    EXPECT_TRUE(out.audio().getChannels() == outChannels && out.audio().getSampleRate() == outRate &&
                out.audio().getBitsPerSample() == 16);
    return stage;
  }

  // Writes |packets|, then whatever |more| writes, then the end marker, and
  // reads everything that comes out.
  static Frames run(TranscoderPluginInterface& stage, const std::vector<SamplePacket*>& packets,
                    const std::function<void()>& more = {}) {
    return pump(
        stage,
        [&] {
          for (SamplePacket* packet : packets) stage.write(packet);
          if (more) more();
          stage.write(makePacket(PACKET_END));
        },
        [&] { stage.stop(); }, true);
  }

  host::Settings settings_;
  host::Medium medium_;
  host::TranscoderInput input_;
  host::Requested requested_;
};

TEST_F(AudioResamplerTest, PacketsThatNeedNoWorkComeOutThemselves) {
  auto stage = makeStage({16, 2, 44100}, 2, 44100);
  SamplePacket* audio = makePacket(PACKET_AUDIO, {1, 0, 255, 255}, 1000, 2000, true);
  SamplePacket* video = makePacket(PACKET_VIDEO, {1, 2, 3}, 5000, 40000, true);
  audio->addRef();  // kept alive so the pointers stay comparable
  video->addRef();
  const Frames frames = run(*stage, {audio, video});
  ASSERT_EQ(frames.all.size(), 2u);
  EXPECT_TRUE(frames.all[0].context == audio && frames.all[0].data == audio->getData());
  EXPECT_TRUE(frames.all[0].time == 1000u && frames.all[0].duration == 2000u && frames.all[0].key);
  EXPECT_TRUE(frames.all[1].context == video && frames.all[1].type == PACKET_VIDEO);
  audio->release();
  video->release();
}

// A packet that cannot be converted is dropped; when the format itself is
// sound, the next packet passes, and the end always does.
TEST_F(AudioResamplerTest, UnconvertiblePacketsAreDropped) {
  struct Case {
    PcmFormat in;
    std::vector<uint8_t> bytes;
    bool laterPacketsPass;
  } cases[] = {
      {{16, 3, 44100}, {1, 0, 2, 0, 3, 0}, false},  // no rule for three channels
      {{16, 0, 44100}, {1, 0, 2, 0}, false},
      {{12, 2, 44100}, {1, 2, 3, 4, 5, 6}, false},
      {{16, 2, 0}, {1, 0, 2, 0}, false},
      {{16, 2, 44100}, {}, true},
      {{16, 2, 44100}, {1, 2, 3, 4, 5, 6}, true},  // not whole sample frames
      {{24, 2, 44100}, {1, 2, 3}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.in.bits) + " bits, " + std::to_string(c.in.channels) + " channels, " +
                 std::to_string(c.bytes.size()) + " bytes");
    auto stage = makeStage(c.in, 2, 44100);
    std::vector<SamplePacket*> packets = {makePacket(PACKET_AUDIO, c.bytes)};
    if (c.bytes.empty()) {
      auto* claiming = new streamer::SimpleSamplePacket();
      claiming->set(PACKET_AUDIO, nullptr, 8, 0, 0, false);  // claims bytes it does not have
      packets.push_back(claiming);
    }
    if (c.laterPacketsPass)
      packets.push_back(makePacket(PACKET_AUDIO, std::vector<uint8_t>(static_cast<size_t>(c.in.bits / 8 * 8), 0x80), 42));
    const Frames frames = run(*stage, packets);
    ASSERT_EQ(frames.all.size(), c.laterPacketsPass ? 1u : 0u);
    EXPECT_TRUE(frames.all.empty() || frames.all[0].time == 42u);
  }
}

// Least-squares fit of a kTone sinusoid to |x| over [from, to): amplitude
// and the largest deviation from the fit.
struct ToneFit {
  double amplitude;
  double worstError;
};

ToneFit fitTone(const std::vector<double>& x, int rate, size_t from, size_t to) {
  double ss = 0, sc = 0, cc = 0, xs = 0, xc = 0;
  const double w = 2 * kPi * kTone / rate;
  for (size_t n = from; n < to; ++n) {
    const double s = std::sin(w * n), c = std::cos(w * n);
    ss += s * s;
    sc += s * c;
    cc += c * c;
    xs += x[n] * s;
    xc += x[n] * c;
  }
  const double det = ss * cc - sc * sc;
  const double a = (xs * cc - xc * sc) / det, b = (xc * ss - xs * sc) / det;
  double worst = 0;
  for (size_t n = from; n < to; ++n) worst = std::max(worst, std::fabs(x[n] - a * std::sin(w * n) - b * std::cos(w * n)));
  return {std::hypot(a, b), worst};
}

struct RateCase {
  int inRate;
  int outRate;
  int bits;  // of the input; the output has 16
  int outChannels;
};

class ToneTest : public AudioResamplerTest, public ::testing::WithParamInterface<RateCase> {};

TEST_P(ToneTest, ToneSurvivesAndPacketsJoinSeamlessly) {
  const RateCase rates = GetParam();
  constexpr int kPackets = 150;
  constexpr int kFrames = 997;  // prime: the joins fall at every phase
  auto stage = makeStage({rates.bits, 2, rates.inRate}, rates.outChannels, rates.outRate);
  std::vector<Frame> stamps;
  const Frames frames = run(*stage, tonePackets(rates.inRate, kPackets, kFrames, &stamps, rates.bits));

  // One converted packet per written packet, with its time stamps, then the
  // samples the filter held back.
  ASSERT_EQ(frames.audio.size(), static_cast<size_t>(kPackets) + 1);
  std::vector<double> left, right;
  for (size_t i = 0; i < frames.audio.size(); ++i) {
    const auto samples = samplesOf(frames.audio[i].bytes);
    for (size_t n = 0; n < samples.size(); ++n) (n % rates.outChannels ? right : left).push_back(samples[n]);
    if (i < stamps.size()) {
      EXPECT_TRUE(frames.audio[i].time == stamps[i].time && frames.audio[i].duration == stamps[i].duration) << i;
    }
  }
  // Nothing lost or invented at the joins: the output is as long as the
  // input at the new rate, and the held-back tail ends where it ended.
  EXPECT_NEAR(static_cast<double>(left.size()), static_cast<double>(kPackets) * kFrames * rates.outRate / rates.inRate,
              2.0);
  const Frame& tail = frames.audio.back();
  EXPECT_NEAR(static_cast<double>(tail.time + tail.duration),
              static_cast<double>(static_cast<uint64_t>(kPackets) * kFrames * 1000000 / rates.inRate), 50.0);

  // One fitted 1 kHz sinusoid per channel explains every sample: a gap or
  // repeat at a join leaves errors of thousands, a wrong rate fails the fit.
  // Mono is the mean of the two channels.
  const double worst = rates.bits == 8 ? 600.0 : 20.0;
  for (auto [channel, amplitude] : {std::pair(&left, rates.outChannels == 2 ? 16384.0 : 12288.0), {&right, 8192.0}}) {
    if (channel->empty()) continue;
    const ToneFit fit = fitTone(*channel, rates.outRate, 64, channel->size() - 64);
    EXPECT_NEAR(fit.amplitude, amplitude, amplitude * 0.02);
    EXPECT_LT(fit.worstError, worst);
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, ToneTest,
                         ::testing::Values(RateCase{44100, 22050, 16, 2}, RateCase{48000, 44100, 24, 2},
                                           RateCase{22050, 44100, 8, 2}, RateCase{44100, 22050, 16, 1}));

TEST_F(AudioResamplerTest, ResetPositionForgetsSamplesFromBeforeTheJump) {
  auto stage = makeStage({16, 2, 44100}, 2, 22050);
  std::vector<Frame> stamps;
  // The writer repositions between the tone and the silence.
  const Frames frames = run(*stage, tonePackets(44100, 4, 1000, &stamps), [&] {
    stage->resetPosition(0);
    stage->write(makePacket(PACKET_AUDIO, std::vector<uint8_t>(4000, 0), 777));
  });
  // Four tone packets, the silence, what the filter held of the silence.
  ASSERT_EQ(frames.audio.size(), 6u);
  EXPECT_EQ(frames.audio[4].time, 777u);
  for (size_t i : {4, 5}) {
    const auto after = samplesOf(frames.audio[i].bytes);
    ASSERT_FALSE(after.empty());
    for (int16_t s : after) ASSERT_EQ(s, 0) << "tone leaked across the reposition";
  }
}

}  // namespace
}  // namespace zan::test
