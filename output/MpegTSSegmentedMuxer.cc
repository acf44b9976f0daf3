// The segmented MPEG-TS muxer; see MpegTSSegmentedMuxer.h.
#include "output/MpegTSSegmentedMuxer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cinttypes>
#include <cmath>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavutil/opt.h>
}

#include "encoder/profile/FFMpegStreamingProfile.h"
#include "output/InternalSamplePacket.h"
#include "output/MuxerSink.h"
#include "support/CBBLog.h"

namespace zan {

namespace {

// How many later ticks are tried when a base is taken by another muxer.
constexpr int kBaseAttempts = 1000;

uint32_t tickCount() {
  return static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

// The code points of |text| when it is strict UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF); false otherwise.
bool decodeUtf8(const std::string& text, std::vector<uint32_t>& codes) {
  static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  codes.clear();
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || i + length > text.size()) return false;
    uint32_t code = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    codes.push_back(code);
    i += length;
  }
  return true;
}

// A path (strict UTF-8: the cache folder is only used when it is) as
// UTF-16LE bytes.
std::vector<uint8_t> utf16le(const std::string& text) {
  std::vector<uint32_t> codes;
  std::vector<uint8_t> bytes;
  if (!decodeUtf8(text, codes)) return bytes;
  auto put = [&](uint32_t unit) {
    bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  };
  for (const uint32_t code : codes) {
    if (code >= 0x10000) {
      put(0xD800 + ((code - 0x10000) >> 10));
      put(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      put(code);
    }
  }
  return bytes;
}

}  // namespace

MpegTSSegmentedMuxer::MpegTSSegmentedMuxer(MuxerSink* sink, const FFMpegStreamingProfile* profile)
    : BasicMuxer(sink, profile) {}

MpegTSSegmentedMuxer::~MpegTSSegmentedMuxer() { close(); }

int64_t MpegTSSegmentedMuxer::segmentLength(AVRational timeBase, int seconds) {
  // Seconds of stream time, whatever the stream's clock: the factor on the
  // time base is 1, so a segment is as long for video as for audio and does
  // not depend on the frame rate.
  return av_rescale_q(seconds, AVRational{1, 1}, timeBase);
}

std::string MpegTSSegmentedMuxer::cacheFolder() {
  const char* variable = std::getenv("TMPDIR");
  std::string temporary = variable != nullptr && variable[0] != '\0' ? variable : "/tmp";
  // Paths are announced as UTF-16 text: a folder whose name is no UTF-8
  // could not be named to the engine.
  std::vector<uint32_t> codes;
  if (!decodeUtf8(temporary, codes)) temporary = "/tmp";
  while (temporary.size() > 1 && temporary.back() == '/') temporary.pop_back();
  const std::string cache = temporary + "/ZanStreamCache";
  ::mkdir(cache.c_str(), 0700);
  // Only a real folder of this user's: a link or someone else's folder
  // could send the files anywhere.
  struct stat status {};
  if (::lstat(cache.c_str(), &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == ::geteuid())
    return cache + "/";
  return temporary + "/";
}

ff::FormatPtr MpegTSSegmentedMuxer::newContext() {
  ff::FormatPtr context = initFFMpegContext();
  // One clock for every output: FFmpeg would otherwise shift each output's
  // times by its own first decoding time, and the outputs' cuts, equal in
  // the encoders' times, would no longer line up in the files. MPEG-TS's
  // own delay keeps reordered decoding times above zero.
  if (context) context->avoid_negative_ts = AVFMT_AVOID_NEG_TS_DISABLED;
  return context;
}

int MpegTSSegmentedMuxer::open() {
  close();
  formatContext_ = newContext();
  if (!formatContext_) return -1;
  auto main = std::make_unique<Output>();
  main->context = formatContext_.get();
  outputs_.push_back(std::move(main));
  for (const int bitrate : profile_->companionBitrates()) {
    auto low = std::make_unique<Output>();
    low->lowBitrate = bitrate;
    low->ownContext = newContext();
    if (!low->ownContext) return -1;
    low->context = low->ownContext.get();
    outputs_.push_back(std::move(low));
  }
  return createIOContext();
}

int MpegTSSegmentedMuxer::createIOContext() {
  if (outputs_.empty() || !chooseBasePath()) {
    logError("MpegTSSegmentedMuxer::init : could not open temp file");
    return -1;
  }
  for (auto& output : outputs_) {
    if (!openFile(*output, 1)) {
      logError("MpegTSSegmentedMuxer::init : could not open temp file");
      return -1;
    }
  }
  return 0;
}

bool MpegTSSegmentedMuxer::chooseBasePath() {
  const std::string folder = cacheFolder();
  uint32_t tick = tickCount();
  for (int attempt = 0; attempt < kBaseAttempts; ++attempt, ++tick) {
    const std::string base = folder + "segment-" + std::to_string(tick);
    SegmentFile marker;
    if (marker.create(base)) {
      markers_.push_back(marker.identity());
      marker.close();
      basePath_ = base;
      return true;
    }
    if (errno != EEXIST) {
      logError("MpegTSSegmentedMuxer::init : cannot create %s: %s", base.c_str(), std::strerror(errno));
      return false;
    }
  }
  return false;
}

bool MpegTSSegmentedMuxer::openFile(Output& output, uint32_t number) {
  auto pathFor = [&] {
    std::string path = basePath_ + "-" + std::to_string(number);
    if (output.lowBitrate != 0) path += "-low-" + std::to_string(output.lowBitrate);
    return path + ".ts";
  };
  std::string path = pathFor();
  logDebug("MpegTSSegmentedMuxer::openNextTSFile %s", path.c_str());
  bool created = output.file.create(path);
  // A file of that name left by someone else (an earlier run whose clock
  // gave the same base, say): the numbering goes on under a new base.
  if (!created && errno == EEXIST && chooseBasePath()) {
    path = pathFor();
    created = output.file.create(path);
  }
  if (!created) {
    logError("MpegTSSegmentedMuxer::openNextTSFile : cannot create %s: %s", path.c_str(), std::strerror(errno));
    return false;
  }
  // Files the engine has taken away (moved or removed) need no removal at
  // close: the oldest are dropped from the list, so that it does not grow
  // without end on a long stream.
  while (!written_.empty() && !SegmentFile::exists(written_.front())) written_.pop_front();
  written_.push_back(output.file.identity());
  output.number = number;
  output.hasMedia = false;
  output.context->pb = output.file.io();
  output.context->flags |= AVFMT_FLAG_CUSTOM_IO;
  // A file after the first of a running muxer starts with the program
  // tables of its own, so that it can be read alone.
  if (output.headerWritten) av_opt_set(output.context->priv_data, "mpegts_flags", "+resend_headers", 0);
  return true;
}

void MpegTSSegmentedMuxer::finishFile(Output& output, int64_t duration) {
  if (output.file.io() == nullptr) return;
  // The audio before the cut belongs to this file (at the end: all of it).
  if (output.headerWritten) releaseAudio(output, duration == 0 ? INT64_MAX : output.segmentStart + duration);
  // Everything accepted for this file goes into it: the interleaving queue
  // and the PES data MPEG-TS buffers per stream (a trailer did both).
  if (output.headerWritten) {
    av_interleaved_write_frame(output.context, nullptr);
    av_write_frame(output.context, nullptr);
  }
  const SegmentFile::Identity identity = output.file.identity();
  const bool written = output.file.close();
  output.context->pb = nullptr;
  if (!written) {
    // Not announced: a torn file is no segment. The next one is tried.
    logError("MpegTSSegmentedMuxer : writing %s failed, the segment is dropped", identity.path.c_str());
    SegmentFile::remove(identity);
    return;
  }
  if (!output.hasMedia) {
    SegmentFile::remove(identity);
    return;
  }
  const std::vector<uint8_t> path = utf16le(identity.path);
  auto announcement = std::make_unique<InternalSamplePacket>();
  const int64_t start = (output.segmentStart == kNotSet ? 0 : output.segmentStart) + (output.lowBitrate != 0 ? 1 : 0);
  announcement->set(streamer::PACKET_SEGMENT, path.data(), static_cast<unsigned>(path.size()),
                    static_cast<uint64_t>(start), static_cast<uint64_t>(duration), true);
  if (sink_ != nullptr) sink_->segmentFinished(std::move(announcement));
}

bool MpegTSSegmentedMuxer::checkSegmentation(Output& output, int64_t ts) {
  if (output.file.io() == nullptr) {
    // The last cut found no file to go on in: a new one is tried at every
    // chance to cut, so that a passing fault (a full disk) costs segments,
    // not the rest of the stream.
    if (!openFile(output, output.number + 1)) return false;
    output.segmentStart = ts;
    return true;
  }
  if (output.segmentStart == kNotSet) {
    // An audio encoder's priming samples lie before zero: the first segment
    // is counted from zero, where playback begins.
    output.segmentStart = std::max<int64_t>(ts, 0);
    return true;
  }
  if (ts > output.segmentStart && ts - output.segmentStart > segmentDuration_) {
    finishFile(output, ts - output.segmentStart);
    if (!openFile(output, output.number + 1)) {
      logError("MpegTSSegmentedMuxer::checkTSSegmentation : could not open next temp file!!!");
      return false;
    }
    output.segmentStart = ts;
  }
  return true;
}

MpegTSSegmentedMuxer::Output* MpegTSSegmentedMuxer::find(int lowBitrate) const {
  for (const auto& output : outputs_)
    if (output->lowBitrate == lowBitrate) return output.get();
  return nullptr;
}

AVFormatContext* MpegTSSegmentedMuxer::lowContext(int lowBitrate) const {
  const Output* output = lowBitrate != 0 ? find(lowBitrate) : nullptr;
  return output ? output->context : nullptr;
}

void MpegTSSegmentedMuxer::setSegmentLength(int streamIndex) {
  if (segmentDuration_ != 0 || streamIndex < 0 || !formatContext_ ||
      streamIndex >= static_cast<int>(formatContext_->nb_streams))
    return;
  segmentDuration_ = segmentLength(formatContext_->streams[streamIndex]->time_base, profile_->segmentSeconds);
}

bool MpegTSSegmentedMuxer::writeHeader() {
  if (outputs_.empty() || headerWritten_) return headerWritten_;
  // A companion that got no stream (no video to vary) has nothing to write.
  for (size_t i = 1; i < outputs_.size();) {
    if (outputs_[i]->context->nb_streams > 0) {
      ++i;
      continue;
    }
    outputs_[i]->file.discard();
    outputs_[i]->context->pb = nullptr;
    outputs_.erase(outputs_.begin() + static_cast<ptrdiff_t>(i));
  }
  for (auto& output : outputs_) {
    const int result = avformat_write_header(output->context, nullptr);
    if (result < 0) {
      logWarn(output->lowBitrate == 0 ? "av_write_header returned %d" : "av_write_header on low bitrate returned %d",
              result);
      return false;
    }
    output->headerWritten = true;
    if (output->lowBitrate == 0) headerWritten_ = true;
    avio_flush(output->file.io());
  }
  return true;
}

bool MpegTSSegmentedMuxer::writeTrailer() {
  if (!headerWritten_) return true;
  headerWritten_ = false;
  trailerWritten_ = true;
  for (auto& output : outputs_) {
    if (!output->headerWritten) continue;
    // Audio the video did not pass may still cut files (audio-led), each
    // finished whole: before the output stops counting as written.
    releaseAudio(*output, INT64_MAX);
    output->headerWritten = false;
    if (output->file.io() == nullptr) continue;
    av_write_trailer(output->context);
    finishFile(*output, 0);
  }
  return true;
}

bool MpegTSSegmentedMuxer::writeVideoPacket(const uint8_t* data, const unsigned& size, const uint64_t& ts,
                                            bool keyFrame, int lowBitrate, int64_t dts) {
  setSegmentLength(videoStreamIndex);
  Output* output = find(lowBitrate);
  if (output == nullptr || !output->headerWritten || suspended_) return false;
  if (output->audioLed && output->segmentStart != kNotSet && static_cast<int64_t>(ts) < output->segmentStart) {
    // A picture that comes after its audio was cut past it (a decoder's
    // last pictures that came only at the end of the file) has no file
    // left to go into in its order.
    logWarn("MpegTSSegmentedMuxer : a picture before the segment under way is dropped");
    return false;
  }
  if (keyFrame && !checkSegmentation(*output, static_cast<int64_t>(ts))) return false;
  if (output->file.io() == nullptr) return false;
  if (!BasicMuxer::writeVideoPacket(output->context, data, size, ts, keyFrame, dts)) return false;
  output->hasMedia = true;
  output->audioLed = false;
  // Audio up to the pictures written so far can go: a later key frame,
  // where a cut may come, lies after every picture before it.
  output->videoReached = std::max(output->videoReached, static_cast<int64_t>(ts));
  releaseAudio(*output, output->videoReached);
  return true;
}

void MpegTSSegmentedMuxer::releaseAudio(Output& output, int64_t videoTs) {
  if (output.heldAudio.empty()) return;
  const AVRational videoBase = output.context->streams[videoStreamIndex]->time_base;
  const AVRational audioBase = output.context->streams[audioStreamIndex]->time_base;
  while (!output.heldAudio.empty()) {
    if (videoTs != INT64_MAX && av_compare_ts(output.heldAudio.front()->pts, audioBase, videoTs, videoBase) >= 0) break;
    // Taken off first: a cut finishes the file, which releases audio too.
    ff::PacketPtr packet = std::move(output.heldAudio.front());
    output.heldAudio.pop_front();
    if (output.audioLed &&
        !checkSegmentation(output, av_rescale_q(packet->pts, audioBase, videoBase))) {
      logWarn("MpegTSSegmentedMuxer::writeAudioPacket - no file to write audio into");
      continue;
    }
    if (output.file.io() == nullptr) continue;
    // FFmpeg takes the packet's reference.
    if (av_interleaved_write_frame(output.context, packet.get()) < 0)
      logWarn("MpegTSSegmentedMuxer::writeAudioPacket - can't write to %s output context",
              output.lowBitrate == 0 ? "the main" : "a low bitrate");
    else output.hasMedia = true;
  }
}

bool MpegTSSegmentedMuxer::writeAudioPacket(const uint8_t* data, const unsigned& size, const uint64_t& ts, int) {
  if (outputs_.empty() || !headerWritten_ || audioStreamIndex < 0) return false;
  if (videoStreamIndex < 0) {
    // Without pictures the audio clock cuts every output.
    setSegmentLength(audioStreamIndex);
    bool written = true;
    for (auto& output : outputs_) {
      if (!output->headerWritten || suspended_ || !checkSegmentation(*output, static_cast<int64_t>(ts)))
        return false;
      if (BasicMuxer::writeAudioPacket(output->context, data, size, ts)) output->hasMedia = true;
      else written = false;
    }
    return written;
  }
  // With pictures, the audio waits until each output's video has passed it
  // (the video encoders run behind the audio one): only then is it known
  // on which side of a cut it falls. Past one segment length without a
  // picture the output is audio-led (see the header), cut on the video's
  // clock even before the first picture came.
  setSegmentLength(videoStreamIndex);
  for (auto& output : outputs_) {
    if (!output->headerWritten || suspended_) continue;
    ff::PacketPtr packet = audioPacket(data, size, ts);
    if (!packet) return false;
    output->heldAudio.push_back(std::move(packet));
    const AVRational videoBase = output->context->streams[videoStreamIndex]->time_base;
    const AVRational audioBase = output->context->streams[audioStreamIndex]->time_base;
    const int64_t newest = av_rescale_q(static_cast<int64_t>(ts), audioBase, videoBase);
    const int64_t oldest = av_rescale_q(output->heldAudio.front()->pts, audioBase, videoBase);
    const int64_t pictures = output->videoReached == INT64_MIN ? oldest : std::max(output->videoReached, oldest);
    // At least ten seconds, whatever the segments' aim: a video encoder's
    // look-ahead keeps its pictures a second or more behind the sound, and
    // that is no stall.
    const int64_t bound = segmentLength(videoBase, std::max(profile_->segmentSeconds, 10));
    if (!output->audioLed && newest - pictures > bound) {
      logInfo("MpegTSSegmentedMuxer : %s output has no picture for a segment length, its audio goes on alone",
              output->lowBitrate == 0 ? "the main" : "a low bitrate");
      output->audioLed = true;
    }
    releaseAudio(*output, output->audioLed ? std::max(output->videoReached, newest - bound) : output->videoReached);
  }
  return true;
}

void MpegTSSegmentedMuxer::flush() {
  for (auto& output : outputs_)
    if (output->file.io() != nullptr) avio_flush(output->file.io());
}

void MpegTSSegmentedMuxer::suspendOutput() {
  // After the end (trailer written) the stream may go on as well.
  if ((!headerWritten_ && !trailerWritten_) || suspended_) return;
  // The files in progress were never announced: nobody knows them, they go.
  for (auto& output : outputs_) {
    output->file.discard();
    output->context->pb = nullptr;
    output->heldAudio.clear();
    output->videoReached = INT64_MIN;
    output->audioLed = false;
  }
  suspended_ = true;
}

bool MpegTSSegmentedMuxer::resumeOutput(const uint64_t& position) {
  if (!suspended_) return headerWritten_;
  suspended_ = false;
  const double segments = std::floor(static_cast<double>(position) / 10000.0);
  const auto number = static_cast<uint32_t>(std::min(segments, static_cast<double>(UINT32_MAX - 1)));
  // A new base: the numbers from the position on may be taken by files of
  // the old one that are still on their way to the engine.
  if (!chooseBasePath()) return false;
  for (auto& output : outputs_) {
    // FFmpeg's state of the old position (queued packets, buffered PES
    // data) goes with the old context.
    ff::FormatPtr fresh = newContext();
    if (!fresh || !copyStreams(*output->context, *fresh)) {
      logError("MpegTSSegmentedMuxer::resumeOutput : could not rebuild the output context");
      return false;
    }
    if (output->lowBitrate == 0) formatContext_ = std::move(fresh);
    else output->ownContext = std::move(fresh);
    output->context = output->lowBitrate == 0 ? formatContext_.get() : output->ownContext.get();
    output->headerWritten = false;
    output->segmentStart = kNotSet;
    if (!openFile(*output, number)) return false;
    if (avformat_write_header(output->context, nullptr) < 0) {
      logError("MpegTSSegmentedMuxer::resumeOutput : av_write_header failed");
      return false;
    }
    output->headerWritten = true;
  }
  headerWritten_ = true;
  trailerWritten_ = false;
  return true;
}

void MpegTSSegmentedMuxer::close() {
  // Files still open were never finished by an end of stream: announcing
  // them now would hand the engine files that are removed right after.
  for (auto& output : outputs_) {
    output->file.discard();
    output->context->pb = nullptr;
  }
  outputs_.clear();
  formatContext_.reset();
  headerWritten_ = false;
  trailerWritten_ = false;
  suspended_ = false;
  for (auto file = written_.rbegin(); file != written_.rend(); ++file) SegmentFile::remove(*file);
  for (auto marker = markers_.rbegin(); marker != markers_.rend(); ++marker) SegmentFile::remove(*marker);
  written_.clear();
  markers_.clear();
}

}  // namespace zan
