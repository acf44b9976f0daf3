// Throughput of the audio resampler stage, 48 kHz stereo to 44.1 kHz stereo
// (16-bit), beside libswresample called directly on the same packets.
//
// The stage's figure includes everything the engine pays per packet: the
// conversion, the new output packet and its buffer, and the hand-over
// through the packet queue (write, readFrame, freeFrame on one thread).
// Both report input samples (per channel) per second; the last lines print
// the ratio stage / direct for each packet size.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ffmpeg/FFmpegPtr.h"
#include "host/records/Records.h"
#include "plugins/SimpleSamplePacket.h"
#include "transcoders/FFMpegAudioResampler.h"

namespace {

constexpr int kInRate = 48000;
constexpr int kOutRate = 44100;
constexpr int kChannels = 2;

// |frames| stereo frames of a 1 kHz tone.
std::vector<int16_t> tone(int frames) {
  std::vector<int16_t> samples;
  for (int i = 0; i < frames; ++i) {
    const auto value = static_cast<int16_t>(std::lround(16000 * std::sin(2 * M_PI * 1000.0 * i / kInRate)));
    samples.push_back(value);
    samples.push_back(value);
  }
  return samples;
}

void BM_Stage(benchmark::State& state) {
  const int frames = static_cast<int>(state.range(0));
  zan::host::Settings settings;
  zan::host::Medium medium;
  zan::host::TranscoderInput input;
  zan::host::Requested requested;
  input.stream().audio().setCodec("raw");
  input.stream().audio().setBitsPerSample(16);
  input.stream().audio().setChannels(kChannels);
  input.stream().audio().setSampleRate(kInRate);
  requested.target().audio().setCodec("raw");
  requested.target().audio().setChannels(kChannels);
  requested.target().audio().setSampleRate(kOutRate);

  zan::FFMpegAudioResampler stage;
  if (stage.init(&medium, &input, &requested, &settings) != zan::streamer::PLUGIN_OK) {
    state.SkipWithError("init failed");
    return;
  }
  stage.start();

  const std::vector<int16_t> samples = tone(frames);
  auto* packet = new zan::streamer::SimpleSamplePacket();
  auto* data = new uint8_t[samples.size() * 2];
  std::memcpy(data, samples.data(), samples.size() * 2);
  packet->set(zan::streamer::PACKET_AUDIO, data, static_cast<unsigned>(samples.size() * 2), 0, 0, false);

  size_t produced = 0;
  for (auto _ : state) {
    packet->addRef();  // the stage releases one reference per packet
    stage.write(packet);
    zan::streamer::PACKETTYPE type;
    uint8_t* out;
    unsigned size;
    uint64_t time, duration;
    void* context;
    bool key;
    if (stage.readFrame(type, out, size, time, duration, context, key)) {
      produced += size;
      stage.freeFrame(out, context);
    }
  }
  packet->release();
  benchmark::DoNotOptimize(produced);
  state.SetItemsProcessed(state.iterations() * frames);
}

void BM_SwresampleDirect(benchmark::State& state) {
  const int frames = static_cast<int>(state.range(0));
  AVChannelLayout layout;
  av_channel_layout_default(&layout, kChannels);
  SwrContext* raw = nullptr;
  if (swr_alloc_set_opts2(&raw, &layout, AV_SAMPLE_FMT_S16, kOutRate, &layout, AV_SAMPLE_FMT_S16, kInRate, 0,
                          nullptr) < 0) {
    state.SkipWithError("swr_alloc_set_opts2 failed");
    return;
  }
  zan::ff::SwrPtr context(raw);
  if (swr_init(context.get()) < 0) {
    state.SkipWithError("swr_init failed");
    return;
  }
  const std::vector<int16_t> samples = tone(frames);
  const int capacity = swr_get_out_samples(context.get(), frames) + 64;
  std::vector<int16_t> output(static_cast<size_t>(capacity) * kChannels);
  for (auto _ : state) {
    const uint8_t* in[1] = {reinterpret_cast<const uint8_t*>(samples.data())};
    uint8_t* out[1] = {reinterpret_cast<uint8_t*>(output.data())};
    benchmark::DoNotOptimize(swr_convert(context.get(), out, capacity, in, frames));
  }
  state.SetItemsProcessed(state.iterations() * frames);
}

BENCHMARK(BM_Stage)->Arg(1024)->Arg(4096)->Arg(16384);
BENCHMARK(BM_SwresampleDirect)->Arg(1024)->Arg(4096)->Arg(16384);

// Console output plus the samples-per-second figure of every benchmark
// (the median when there are repetitions), kept to print the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const auto it = run.counters.find("items_per_second");
      if (it == run.counters.end()) continue;
      const std::string name = run.run_name.str();
      if (run.run_type == Run::RT_Aggregate) {
        if (run.aggregate_name != "median") continue;
        medians.insert(name);
      } else if (medians.count(name)) {
        continue;
      }
      rates[name] = it->second.value;
    }
  }
  std::map<std::string, double> rates;
  std::set<std::string> medians;
};

}  // namespace

int main(int argc, char** argv) {
  // The stage writes its log file; keep it out of the user's data folder.
  const std::string logs = (std::filesystem::temp_directory_path() / "zan-resampler-bench").string();
  setenv("ZAN_APPDATA", logs.c_str(), 0);

  // On a shared machine one run of each is noise: by default repeat them,
  // interleaved, and compare medians. Flags given on the command line win.
  std::vector<char*> args(argv, argv + argc);
  std::string repetitions = "--benchmark_repetitions=5";
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  std::string aggregates = "--benchmark_report_aggregates_only=true";
  args.insert(args.begin() + 1, {repetitions.data(), interleave.data(), aggregates.data()});
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  for (const char* size : {"1024", "4096", "16384"}) {
    const auto stage = reporter.rates.find(std::string("BM_Stage/") + size);
    const auto direct = reporter.rates.find(std::string("BM_SwresampleDirect/") + size);
    if (stage == reporter.rates.end() || direct == reporter.rates.end() || direct->second <= 0) continue;
    std::printf("%s frames/packet: stage %.1f Msamples/s, libswresample %.1f Msamples/s, ratio stage/direct %.3f\n",
                size, stage->second / 1e6, direct->second / 1e6, stage->second / direct->second);
  }
  return 0;
}
