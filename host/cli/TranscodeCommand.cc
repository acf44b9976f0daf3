// zanstream transcode: the engine's transcoding request. The input plug-in
// decodes a medium, the encoder stage ("FFMpegEncoder") encodes what it
// delivers into the requested container, and a reader thread drains the
// encoder's output into a file, as the engine's feeding and reading threads
// would: input frames -> encoder write() on this thread; encoder
// readFrame()/freeFrame() on the reader thread until PACKET_END.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "host/cli/Command.h"
#include "host/cli/FrameSummary.h"
#include "host/cli/CopyRequest.h"
#include "host/cli/HlsWriter.h"
#include "host/cli/InputSession.h"
#include "host/cli/MediaFacts.h"
#include "host/cli/Options.h"
#include "host/cli/ProgressLine.h"
#include "host/cli/RtpSender.h"
#include "host/cli/Sdp.h"
#include "host/cli/StageRun.h"
#include "host/cli/StopSignal.h"
#include "plugins/SimpleSamplePacket.h"

namespace zan::host {

const char kTranscodeUsage[] =
    "usage: zanstream transcode LOCATION -o OUT [--format flv|mpegts|mp4|mp3]\n"
    "                           [--vcodec NAME] [--acodec NAME] [--vbitrate BPS]\n"
    "                           [--abitrate BPS] [--size WxH] [--fps N]\n"
    "                           [--set KEY=VALUE]... [--json] [--duration MS]\n"
    "                           [--extension EXT] [--realtime]\n"
    "       zanstream transcode LOCATION --hls DIR [--hls-list-size N]\n"
    "                           [the options above]\n"
    "       zanstream transcode LOCATION --rtp rtp://HOST:PORT --payload-size N\n"
    "                           --sdp FILE [the options above]\n"
    "\n"
    "Decodes LOCATION with the input plug-in, encodes it with the encoder stage\n"
    "and writes the container to OUT, or sends RTP payloads over UDP.\n"
    "\n"
    "  -o, --output OUT  the file to write\n"
    "  --hls DIR         segmented MPEG-TS instead (--format mpegts and\n"
    "                    MpegTSMethod=segmented are implied): every segment and\n"
    "                    companion goes into DIR as the encoder finishes it,\n"
    "                    with a playlist per rendition (main.m3u8,\n"
    "                    low-BITRATE.m3u8) and DIR/master.m3u8 listing them;\n"
    "                    companions come from --set needLowBitrateStream=N\n"
    "                    --set lowVideoBitrate1=BPS ... (64000: 2 fps, 160x120\n"
    "                    class)\n"
    "  --hls-list-size N a live window: each media playlist lists the last N\n"
    "                    segments, and a segment's file is removed once it has\n"
    "                    been out of the playlist for its length plus the\n"
    "                    playlist's (default: every segment, kept)\n"
    "  --rtp URL         send RTP instead: video to PORT, audio to PORT + 2\n"
    "  --payload-size N  the largest RTP payload in bytes (100 to 65000): video\n"
    "                    slices and fragments are cut to it, and an AAC frame\n"
    "                    larger than N is split over several payloads (the\n"
    "                    last one marked); AMR frames always fit\n"
    "  --sdp FILE        where to write the session description a player opens\n"
    "                    (written before the first packet is sent)\n"
    "  --realtime        read the input at its own pace, as a live source\n"
    "                    delivers it (one second of media a second); with --rtp\n"
    "                    each packet also leaves at its time, as a live sender\n"
    "                    does, and the RTCP goodbye once the receiver has played\n"
    "                    the last one\n"
    "  --format NAME     the container (default flv): flv, mpegts, mp4 (fragmented)\n"
    "                    or mp3; any other FFmpeg muxer name is passed on\n"
    "  --vcodec NAME     video codec in the engine's names (h264, svq, mpeg2, ...,\n"
    "                    none); default h264, none for mp3\n"
    "  --acodec NAME     audio codec (aac, mp3, mp2, amr_nb, ..., none); default\n"
    "                    aac, mp3 for mp3\n"
    "                    copy (either or both): the source's stream as stored,\n"
    "                    without decoding; with --hls the segments are cut at\n"
    "                    the source's key frames, and where a file does not say\n"
    "                    how far apart they lie the playlists are written when\n"
    "                    the copy ends\n"
    "  --vbitrate BPS    video bit rate (default 500000)\n"
    "  --abitrate BPS    audio bit rate (default 128000); the encoder picks the\n"
    "                    nearest step of its ladder, with its sample rate\n"
    "  --size WxH        picture size of the output (default: the input's)\n"
    "  --fps N           output frame rate (default: the input's)\n"
    "  --set KEY=VALUE   an encoder setting (e.g. constantRateFactor=23, refs=2),\n"
    "                    repeatable\n"
    "  --json            print the summary as one JSON object on the last line:\n"
    "                    {\"location\", \"output\", \"format\", \"audio\", \"video\",\n"
    "                    \"bytes\", \"elapsed_ms\"}; each stream is {\"codec\",\n"
    "                    \"frames_in\", \"frames_out\"} or null: frames handed to\n"
    "                    the encoder, and frames in what was written, read back\n"
    "                    with the input plug-in (the main rendition for --hls;\n"
    "                    null for RTP or when it does not read back)\n"
    "  --duration MS     the duration the engine knows for the medium\n"
    "  --extension EXT   the medium's extension (default: taken from LOCATION)\n"
    "\n"
    "On a terminal a progress line is shown on stderr.\n"
    "\n"
    "Ctrl-C (SIGINT) or SIGTERM stops reading the input and finishes the output\n"
    "as at the medium's end: the last frames are encoded, the trailer, the last\n"
    "segment and the playlists' end are written, RTP ends with BYE, and the\n"
    "summary is printed. A second signal ends the program at once.\n"
    "\n"
    "Exit status: 0 on success, 1 when the medium does not open, the encoder\n"
    "refuses the request, the download broke off (what arrived is transcoded\n"
    "and kept) or OUT cannot be written, 2 for a usage error, and 128 + the\n"
    "signal's number (130 for Ctrl-C, 143 for SIGTERM) when a signal stopped it\n"
    "and the output was finished cleanly up to there.\n";

namespace {

struct TranscodeRequest {
  MediumOptions medium;
  std::string output;
  std::string format = "flv";
  std::string videoCodec, audioCodec;
  unsigned videoBitrate = 500000, audioBitrate = 128000;
  int width = 0, height = 0;
  double fps = 0.0;
  std::vector<std::pair<std::string, std::string>> settings;
  bool json = false;
  std::string rtp, sdp, hls;
  size_t hlsListSize = 0;  // 0: every segment
  int payloadSize = 0;
  bool realtime = false;
};

bool readRequest(std::vector<std::string> arguments, TranscodeRequest& request, std::string& error) {
  for (std::string& argument : arguments)
    if (argument == "-o") argument = "--output";
  Options options({"output", "format", "vcodec", "acodec", "vbitrate", "abitrate", "size", "fps", "set", "duration",
                   "extension", "rtp", "payload-size", "sdp", "hls", "hls-list-size"},
                  {"json", "skip-audio", "skip-video", "realtime"});
  if (!options.parse(arguments)) return error = options.error(), false;
  if (!request.medium.read(options, error)) return false;
  if (options.has("skip-audio") || options.has("skip-video"))
    return error = "the encoder takes decoded media; --skip-audio and --skip-video do not apply", false;
  request.output = options.value("output");
  request.rtp = options.value("rtp");
  request.sdp = options.value("sdp");
  request.realtime = options.has("realtime");
  request.hls = options.value("hls");
  if (options.has("hls") && request.hls.empty()) return error = "option --hls needs a folder", false;
  if (!request.hls.empty() && (!request.output.empty() || !request.rtp.empty()))
    return error = "--hls excludes -o and --rtp", false;
  long long listSize = 0;
  if (!options.number("hls-list-size", listSize, 1, 100000)) return error = options.error(), false;
  if (listSize > 0 && request.hls.empty()) return error = "--hls-list-size goes with --hls", false;
  request.hlsListSize = static_cast<size_t>(listSize);
  long long size = 0;
  if (!options.number("payload-size", size, 100, 65000)) return error = options.error(), false;
  request.payloadSize = static_cast<int>(size);
  if (request.rtp.empty()) {
    if (request.output.empty() && request.hls.empty()) return error = "missing -o OUT (or --hls DIR, --rtp URL)", false;
    if (request.payloadSize || !request.sdp.empty())
      return error = "--payload-size and --sdp go with --rtp", false;
  } else {
    if (!request.output.empty()) return error = "-o and --rtp exclude each other", false;
    if (request.payloadSize == 0 || request.sdp.empty()) return error = "--rtp needs --payload-size and --sdp", false;
  }
  request.format = options.value("format", !request.rtp.empty() ? "rtp" : !request.hls.empty() ? "mpegts" : "flv");
  if (request.format.empty()) return error = "option --format needs a name", false;
  if (!request.hls.empty() && request.format != "mpegts") return error = "--hls writes MPEG-TS segments, not " + request.format, false;
  const bool audioOnly = request.format == "mp3";
  request.videoCodec = options.value("vcodec", audioOnly ? "none" : "h264");
  request.audioCodec = options.value("acodec", audioOnly ? "mp3" : "aac");
  requestCopies(request.videoCodec, request.audioCodec, request.medium);
  long long number = 0;
  if (options.has("vbitrate")) {
    if (!options.number("vbitrate", number, 1000, INT_MAX)) return error = options.error(), false;
    request.videoBitrate = static_cast<unsigned>(number);
  }
  if (options.has("abitrate")) {
    if (!options.number("abitrate", number, 0, INT_MAX)) return error = options.error(), false;
    request.audioBitrate = static_cast<unsigned>(number);
  }
  if (options.has("size")) {
    const std::string text = options.value("size");
    char* end = nullptr;
    const long width = std::strtol(text.c_str(), &end, 10);
    const long height = *end == 'x' ? std::strtol(end + 1, &end, 10) : 0;
    if (*end != '\0' || width < 16 || height < 16 || width > 8192 || height > 8192)
      return error = "--size needs WxH with sides from 16 to 8192, not '" + text + "'", false;
    request.width = static_cast<int>(width);
    request.height = static_cast<int>(height);
  }
  if (options.has("fps")) {
    if (!options.number("fps", number, 1, 240)) return error = options.error(), false;
    request.fps = static_cast<double>(number);
  }
  for (const std::string& setting : options.values("set")) {
    const auto equals = setting.find('=');
    if (equals == std::string::npos || equals == 0) return error = "--set needs KEY=VALUE, not '" + setting + "'", false;
    request.settings.emplace_back(setting.substr(0, equals), setting.substr(equals + 1));
  }
  if (request.videoCodec == kCopyCodec)
    for (const auto& [key, value] : request.settings)
      if (key == "needLowBitrateStream" && std::atoi(value.c_str()) > 0)
        return error = "--vcodec copy: low-bitrate companions need decoded pictures; drop needLowBitrateStream", false;
  if (!request.hls.empty()) {
    request.settings.emplace_back("MpegTSMethod", "segmented");
  } else {
    for (const auto& [key, value] : request.settings)
      if (key == "MpegTSMethod" && value == "segmented")
        return error = "segmented output is files of its own: use --hls DIR", false;
  }
  request.json = options.has("json");
  return true;
}

// Drains the encoder's output on a thread of its own: container bytes into
// a file, or RTP payloads to the sender.
class OutputWriter {
 public:
  OutputWriter(streamer::TranscoderPluginInterface& encoder, FILE* file, RtpSender* sender, HlsWriter* hls)
      : encoder_(encoder), file_(file), sender_(sender), hls_(hls) {
    thread_ = std::thread([this] { run(); });
  }
  ~OutputWriter() { join(); }
  void join() {
    if (thread_.joinable()) thread_.join();
  }
  uint64_t bytes() const { return bytes_; }
  bool failed() const { return failed_; }
  bool ended() const { return ended_; }

 private:
  void run() {
    for (;;) {
      streamer::PACKETTYPE type = streamer::PACKET_END;
      uint8_t* data = nullptr;
      unsigned size = 0;
      uint64_t time = 0, duration = 0;
      void* context = nullptr;
      bool keyFrame = false;
      if (!encoder_.readFrame(type, data, size, time, duration, context, keyFrame)) return;
      if (type == streamer::PACKET_MUXED && size > 0 && file_ && !failed_) {
        if (std::fwrite(data, 1, size, file_) != size) failed_ = true;
        bytes_ += size;
      }
      if (type == streamer::PACKET_SEGMENT && !hls_) failed_ = true;  // files nobody takes
      if (type == streamer::PACKET_SEGMENT && hls_ && !failed_) {
        const std::string path = pathFromUtf16le(data, size);
        struct stat status {};
        if (::stat(path.c_str(), &status) == 0) bytes_ += static_cast<uint64_t>(status.st_size);
        if (!hls_->add(path, time, duration)) {
          std::fprintf(stderr, "zanstream transcode: %s\n", hls_->error().c_str());
          failed_ = true;
        }
      }
      if (sender_ && (type == streamer::PACKET_AUDIO || type == streamer::PACKET_VIDEO)) {
        sender_->send(type, data, size, time, duration);
        bytes_ += size;
      }
      encoder_.freeFrame(data, context);
      if (type == streamer::PACKET_END) {
        if (sender_) sender_->finish();
        ended_ = true;
        return;
      }
    }
  }

  streamer::TranscoderPluginInterface& encoder_;
  FILE* file_;
  RtpSender* sender_;
  HlsWriter* hls_;
  std::atomic<uint64_t> bytes_{0};
  std::atomic<bool> failed_{false}, ended_{false};
  std::thread thread_;
};

// Frames between the thread that decodes (the input) and the one that
// encodes, a few at a time, so that decoding the next pictures overlaps
// encoding the last ones, as with the engine's separate threads. A
// PACKET_END packet ends the feed.
class FrameFeed {
 public:
  void push(streamer::SamplePacket* packet) {
    std::unique_lock<std::mutex> lock(mutex_);
    notFull_.wait(lock, [this] { return packets_.size() < kDepth; });
    packets_.push_back(packet);
    notEmpty_.notify_one();
  }
  // Null when nothing came within |wait|.
  streamer::SamplePacket* pop(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!notEmpty_.wait_for(lock, wait, [this] { return !packets_.empty(); })) return nullptr;
    streamer::SamplePacket* packet = packets_.front();
    packets_.pop_front();
    notFull_.notify_one();
    return packet;
  }

 private:
  static constexpr size_t kDepth = 8;
  std::mutex mutex_;
  std::condition_variable notEmpty_, notFull_;
  std::deque<streamer::SamplePacket*> packets_;
};

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};

// Frames of one stream in what was written; -1: not known.
void writeStreamJson(JsonWriter& json, const char* name, bool present, const std::string& codec,
                     const StreamSummary& in, long long out) {
  json.key(name);
  if (!present) {
    json.null();
    return;
  }
  json.beginObject();
  json.key("codec").value(codec);
  json.key("frames_in").value(static_cast<unsigned long long>(in.frames));
  json.key("frames_out");
  if (out < 0) json.null();
  else json.value(out);
  json.endObject();
}

// Holds the reading back to the media's own pace: a frame of time T leaves
// T - T0 after the first one did (T0 its time), as frames arrive from a live
// source. Waits in short steps so that a stop request is heard at once.
class LivePace {
 public:
  // False when a stop was requested while waiting.
  bool wait(uint64_t timeUs, const StopSignal& stop) {
    if (timeUs == streamer::kNoTime) return !stop.requested();
    const auto now = std::chrono::steady_clock::now();
    if (firstUs_ == streamer::kNoTime) {
      firstUs_ = timeUs;
      start_ = now;
    }
    const auto due = start_ + std::chrono::microseconds(timeUs > firstUs_ ? timeUs - firstUs_ : 0);
    while (!stop.requested()) {
      const auto left = due - std::chrono::steady_clock::now();
      if (left <= std::chrono::steady_clock::duration::zero()) return true;
      std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(50)));
    }
    return false;
  }

 private:
  uint64_t firstUs_ = streamer::kNoTime;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace

int runTranscode(PluginLibrary& library, const std::vector<std::string>& arguments) {
  TranscodeRequest request;
  std::string error;
  if (!readRequest(arguments, request, error)) return usageError("transcode", error, kTranscodeUsage);

  // Declared before the session: the input may raise events until it is
  // closed.
  EventLog events;
  InputSession session(library);
  if (!session.available()) return inputUnavailable("transcode");
  streamer::InputPluginInterface& input = session.input();
  input.setInputEventCallback(EventLog::record, &events);
  if (!session.open(request.medium)) return 1;
  Descriptions descriptions;
  session.describe(descriptions);

  for (const bool video : {true, false}) {
    const streamer::TrackDescription* track =
        video ? static_cast<const streamer::TrackDescription*>(descriptions.output.getVideo())
              : descriptions.output.getAudio();
    const bool present = video ? descriptions.output.hasVideo() : descriptions.output.hasAudio();
    std::string& codec = video ? request.videoCodec : request.audioCodec;
    if (!resolveCopy(codec, present ? track->getCodec() : "", request.format, video, codec, error)) {
      std::fprintf(stderr, "zanstream transcode: %s\n", error.c_str());
      return 1;
    }
  }

  // What the input delivers is what the encoder receives.
  TranscoderInput source;
  descriptions.output.copyTo(&source.stream());
  Requested requested;
  StreamDescription& target = requested.target();
  target.setFormat(request.format.c_str());
  target.video().setCodec(descriptions.output.hasVideo() ? request.videoCodec.c_str() : "none");
  target.video().setBitrate(request.videoBitrate);
  target.video().setFrameRate(request.fps > 0 ? request.fps : descriptions.output.getVideo()->getFrameRate());
  target.video().setWidth(request.width);
  target.video().setHeight(request.height);
  target.audio().setCodec(descriptions.output.hasAudio() ? request.audioCodec.c_str() : "none");
  target.audio().setBitrate(request.audioBitrate);
  Settings settings;
  for (const auto& [key, value] : request.settings) settings.put(key.c_str(), value.c_str());
  RtpSender sender;
  if (!request.rtp.empty()) {
    if (!sender.open(request.rtp, error)) return usageError("transcode", error, kTranscodeUsage);
    target.setRTP(true, request.payloadSize);
  }

  StagePtr encoder = makeStage(library, "FFMpegEncoder", "transcode");
  if (!encoder) return 1;
  const streamer::PluginErrorCodes code = encoder->init(descriptions.medium.get(), &source, &requested, &settings);
  if (code != streamer::PLUGIN_OK) {
    std::fprintf(stderr, "zanstream transcode: the encoder refused the request (result %d); see FFMpegEncoder.log\n",
                 static_cast<int>(code));
    return 1;
  }
  StreamDescription produced;
  encoder->getOutputStreamDescription(&produced);

  const bool rtp = !request.rtp.empty();
  const bool hls = !request.hls.empty();
  const std::string destination = rtp ? request.rtp : hls ? request.hls : request.output;
  std::unique_ptr<HlsWriter> playlists;
  // The medium's length as the input knows it; 0: a live source.
  const uint64_t durationMs = descriptions.medium->getDuration();
  if (hls) {
    struct stat status {};
    if ((::mkdir(request.hls.c_str(), 0755) != 0 && errno != EEXIST) || ::stat(request.hls.c_str(), &status) != 0 ||
        !S_ISDIR(status.st_mode)) {
      std::fprintf(stderr, "zanstream transcode: cannot use %s as a folder: %s\n", request.hls.c_str(),
                   std::strerror(errno != 0 ? errno : ENOTDIR));
      return 1;
    }
    // The segmented muxer cuts at the first picture the segments' aim or
    // more into a segment: "segmentDuration" whole seconds from 1 to 60,
    // else ten.
    const char* aim = settings.get("segmentDuration");
    const int aimSeconds = aim ? std::atoi(aim) : 0;
    double target = aimSeconds >= 1 && aimSeconds <= 60 ? aimSeconds : 10.0;
    // A copied stream is cut at its source's first key frame past the aim:
    // a segment runs at most one key-frame run longer. Where the input
    // knows the longest run, the playlists announce that length from the
    // first one on (their target duration may never change).
    const char* run = descriptions.input.get("longestKeyFrameRunMs");
    if (run && request.medium.skipVideo) target = std::round(target + std::atof(run) / 1000.0);
    playlists = std::make_unique<HlsWriter>(
        request.hls, target, [&library](const std::string& path) { return readMediaFacts(library, path); },
        request.hlsListSize);
    if (request.medium.skipVideo) playlists->acceptAnyFirstStart();
    // Without the run, a file's whole list is published once, when every
    // segment's length is known; a live source or window is published as
    // it goes, and its target grows where a segment outgrows it.
    if (request.medium.skipVideo && !run && request.hlsListSize == 0 && !request.realtime &&
        durationMs > 0) {
      playlists->publishAtFinish();
      std::fprintf(stderr,
                   "zanstream transcode: the source does not say how far apart its key frames lie: the playlists "
                   "are written when the copy ends\n");
    }
  }
  const std::string written = rtp ? request.sdp : request.output;
  // Declared before the file: it is in use until the file is closed.
  std::vector<char> fileBuffer;
  std::unique_ptr<FILE, FileCloser> file(hls ? nullptr : std::fopen(written.c_str(), "wb"));
  if (!file && !hls) {
    std::fprintf(stderr, "zanstream transcode: cannot write %s: %s\n", written.c_str(), std::strerror(errno));
    return 1;
  }
  // The muxer hands over every packet as it is made: a large buffer turns
  // a write call per page into one per megabyte (glibc takes no size
  // without a buffer). Only for a file of a medium with an end, read as
  // fast as it goes: whoever reads a live output as it grows (a pipe, a
  // player following the file) gets each packet soon.
  struct stat opened {};
  if (!hls && !rtp && !request.realtime && durationMs > 0 &&
      ::fstat(fileno(file.get()), &opened) == 0 && S_ISREG(opened.st_mode)) {
    fileBuffer.resize(1 << 20);
    std::setvbuf(file.get(), fileBuffer.data(), _IOFBF, fileBuffer.size());
  }
  if (rtp) {
    // The session description goes out before any packet.
    const char* latm = settings.get("audioUseLATM");
    const std::string sdp = buildSdp(produced, sender.address(), sender.port(), !latm || std::atoi(latm) != 0, error);
    if (sdp.empty()) {
      std::fprintf(stderr, "zanstream transcode: %s\n", error.c_str());
      return 1;
    }
    if (std::fwrite(sdp.data(), 1, sdp.size(), file.get()) != sdp.size() || std::fflush(file.get()) != 0) {
      std::fprintf(stderr, "zanstream transcode: cannot write %s\n", written.c_str());
      return 1;
    }
    const bool amr = produced.hasAudio() && std::strstr(produced.getAudio()->getCodec(), "amr") != nullptr;
    sender.setStreams(produced.hasVideo() ? rtpClockRate(produced, true) : 0,
                      produced.hasAudio() ? rtpClockRate(produced, false) : 0, amr);
    sender.setRealtime(request.realtime);
  }
  if (!encoder->start()) {
    std::fprintf(stderr, "zanstream transcode: the encoder could not start the container; see FFMpegEncoder.log\n");
    return 1;
  }

  const auto started = std::chrono::steady_clock::now();
  OutputWriter writer(*encoder, rtp ? nullptr : file.get(), rtp ? &sender : nullptr, playlists.get());
  FrameSummary summary(produced.hasAudio(), produced.hasVideo());
  ProgressLine progress(true);
  uint64_t positionMs = 0;
  uint64_t endUs = 0;  // the end of the last frame of either stream
  StopSignal stop;
  input.start();
  FrameFeed feed;
  std::thread decoder([&] {
    LivePace pace;
    for (;;) {
      if (stop.requested()) break;
      streamer::PACKETTYPE type = streamer::PACKET_END;
      uint8_t* data = nullptr;
      unsigned size = 0;
      uint64_t time = streamer::kNoTime, duration = 0;
      void* context = nullptr;
      bool keyFrame = false;
      if (!input.readFrame(type, data, size, time, duration, context, keyFrame)) break;
      if (request.realtime && !pace.wait(time, stop)) {
        input.freeFrame(data, context);
        break;
      }
      const bool wanted = (type == streamer::PACKET_AUDIO && produced.hasAudio()) ||
                          (type == streamer::PACKET_VIDEO && produced.hasVideo());
      if (wanted) {
        auto* copy = new uint8_t[size > 0 ? size : 1];
        if (size > 0) std::memcpy(copy, data, size);
        auto* packet = new streamer::SimpleSamplePacket();
        packet->set(type, copy, size, time, duration, keyFrame);
        feed.push(packet);
      }
      input.freeFrame(data, context);
    }
    feed.push(new streamer::SimpleSamplePacket());  // PACKET_END: nothing more comes
  });
  for (;;) {
    streamer::SamplePacket* packet = feed.pop(std::chrono::milliseconds(100));
    if (packet == nullptr) {
      // A stop is heard between frames; a read waiting for a silent
      // source is released by closing the input, and what was read before
      // is finished as at the medium's end.
      if (stop.requested()) session.close();
      continue;
    }
    const streamer::PACKETTYPE type = packet->getType();
    const uint64_t time = packet->getTime();
    // A copied stream's time-less codec header is no frame of the medium.
    if (type != streamer::PACKET_END && time != streamer::kNoTime)
      summary.add(type, time, packet->getSize(), packet->isKeyFrame());
    if (time != streamer::kNoTime) endUs = std::max(endUs, time + packet->getDuration());
    encoder->write(packet);
    if (type == streamer::PACKET_END) break;
    if (time != streamer::kNoTime) positionMs = std::max(positionMs, time / 1000);
    progress.update(positionMs, durationMs, summary.totalFrames());
  }
  decoder.join();
  writer.join();
  progress.clear();
  events.waitForDownloadEnd(input);
  input.stop();
  session.close();
  encoder->stop();
  const auto elapsedMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();

  int result = 0;
  if (stop.requested()) {
    std::fprintf(stderr, "zanstream transcode: stopped by signal %d at %.3f s of the medium\n", stop.received(),
                 static_cast<double>(positionMs) / 1e3);
  }
  const bool closed = !file || std::fclose(file.release()) == 0;
  // The segments' clock starts at the first picture (or, without video, the
  // first sample) fed to the encoder; the last segment ends with the later
  // stream (sound that outlasts the pictures is cut by its own time).
  const StreamSummary& clock = produced.hasVideo() ? summary.video() : summary.audio();
  const double endSeconds = clock.firstUs == streamer::kNoTime || endUs < clock.firstUs
                                ? 0.0
                                : static_cast<double>(endUs - clock.firstUs) / 1e6;
  if (!closed || writer.failed() || (playlists && !playlists->finish(endSeconds))) {
    std::fprintf(stderr, "zanstream transcode: writing %s failed%s%s\n", destination.c_str(),
                 playlists && !playlists->error().empty() ? ": " : "", playlists ? playlists->error().c_str() : "");
    // Playlists held back for the end list what was written, unfinished.
    if (playlists) playlists->publishHeld();
    result = 1;
  }
  if (!writer.ended()) {
    std::fprintf(stderr, "zanstream transcode: the encoder stopped without its end marker\n");
    result = 1;
  }
  if (events.downloadBroke()) {
    std::fprintf(stderr, "zanstream transcode: the download broke off; what arrived was transcoded into %s\n",
                 destination.c_str());
    result = 1;
  }
  // What was written, read back: frames per stream (-1: unknown).
  long long audioOut = -1, videoOut = -1;
  if (playlists) {
    audioOut = static_cast<long long>(playlists->audioFrames());
    videoOut = static_cast<long long>(playlists->videoFrames());
  } else if (!rtp && result == 0) {
    const MediaFacts facts = readMediaFacts(library, request.output);
    if (facts.opened) {
      audioOut = static_cast<long long>(facts.audioFrames);
      videoOut = static_cast<long long>(facts.videoFrames);
    }
  }
  auto framesOut = [](long long count) {
    return count < 0 ? std::string() : ", " + std::to_string(count) + " frames out";
  };

  // A copied stream is named as asked: the encoder's name for it is that
  // of an encoder that never ran.
  const std::string videoCodec = !produced.hasVideo()        ? "none"
                                 : request.medium.skipVideo ? kCopyCodec
                                                            : produced.getVideo()->getCodec();
  const std::string audioCodec = !produced.hasAudio()        ? "none"
                                 : request.medium.skipAudio ? kCopyCodec
                                                            : produced.getAudio()->getCodec();
  if (request.json) {
    JsonWriter json;
    json.beginObject();
    json.key("location").value(request.medium.location);
    json.key("output").value(destination);
    json.key("format").value(produced.getFormat());
    writeStreamJson(json, "audio", produced.hasAudio(), audioCodec, summary.audio(), audioOut);
    writeStreamJson(json, "video", produced.hasVideo(), videoCodec, summary.video(), videoOut);
    json.key("bytes").value(static_cast<unsigned long long>(writer.bytes()));
    if (rtp) {
      json.key("rtp_packets").beginObject();
      json.key("audio").value(static_cast<unsigned long long>(sender.packets(false)));
      json.key("video").value(static_cast<unsigned long long>(sender.packets(true)));
      json.endObject();
    }
    json.key("elapsed_ms").value(static_cast<long long>(elapsedMs));
    json.endObject();
    std::printf("%s\n", json.text().c_str());
  } else {
    std::printf("transcoded %s -> %s (%s)\n", request.medium.location.c_str(), destination.c_str(),
                produced.getFormat());
    if (produced.hasAudio())
      std::printf("  audio: %s, %llu frames in%s\n", audioCodec.c_str(),
                  static_cast<unsigned long long>(summary.audio().frames), framesOut(audioOut).c_str());
    if (produced.hasVideo())
      std::printf("  video: %s, %llu frames in%s\n", videoCodec.c_str(),
                  static_cast<unsigned long long>(summary.video().frames), framesOut(videoOut).c_str());
    std::printf("  %llu bytes, elapsed %lld ms\n", static_cast<unsigned long long>(writer.bytes()),
                static_cast<long long>(elapsedMs));
  }
  if (result == 0 && stop.requested()) result = 128 + stop.received();
  return result;
}

}  // namespace zan::host
