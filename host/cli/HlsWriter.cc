// HLS playlists for a segmented transcode; see HlsWriter.h.
#include "host/cli/HlsWriter.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace zan::host {

namespace {

constexpr double kTsClock = 90000.0;

std::string baseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string playlistName(int rendition) {
  return rendition == 0 ? "main.m3u8" : "low-" + std::to_string(rendition) + ".m3u8";
}

// rename(), or a copy and a removal when the folder is on another file
// system.
bool moveFile(const std::string& from, const std::string& to, std::string& error) {
  if (std::rename(from.c_str(), to.c_str()) == 0) return true;
  if (errno != EXDEV) return error = "cannot move " + from + " to " + to + ": " + std::strerror(errno), false;
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  out << in.rdbuf();
  out.flush();
  if (!in || !out) return error = "cannot copy " + from + " to " + to, false;
  std::remove(from.c_str());
  return true;
}

}  // namespace

std::string pathFromUtf16le(const uint8_t* data, size_t size) {
  std::string text;
  for (size_t i = 0; i + 1 < size; i += 2) {
    uint32_t code = data[i] | (static_cast<uint32_t>(data[i + 1]) << 8);
    if (code >= 0xD800 && code < 0xDC00 && i + 3 < size) {
      const uint32_t low = data[i + 2] | (static_cast<uint32_t>(data[i + 3]) << 8);
      if (low >= 0xDC00 && low < 0xE000) {
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    if (code < 0x80) {
      text += static_cast<char>(code);
    } else if (code < 0x800) {
      text += static_cast<char>(0xC0 | (code >> 6));
      text += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      text += static_cast<char>(0xE0 | (code >> 12));
      text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      text += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      text += static_cast<char>(0xF0 | (code >> 18));
      text += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      text += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return text;
}

int renditionOf(const std::string& path) {
  const std::string name = baseName(path);
  const size_t low = name.rfind("-low-");
  if (low == std::string::npos) return 0;
  return std::atoi(name.c_str() + low + 5);
}

HlsWriter::HlsWriter(std::string folder, double targetSeconds, std::function<MediaFacts(const std::string&)> facts,
                     size_t listSize)
    : folder_(std::move(folder)), targetSeconds_(targetSeconds), facts_(std::move(facts)), listSize_(listSize) {
  while (folder_.size() > 1 && folder_.back() == '/') folder_.pop_back();
}

bool HlsWriter::add(const std::string& path, uint64_t start, uint64_t duration) {
  const int key = renditionOf(path);
  const std::string name = baseName(path);
  const std::string target = folder_ + "/" + name;
  if (!moveFile(path, target, error_)) return false;
  Rendition& rendition = renditions_[key];
  if (key == 0 || rendition.segments.empty()) {
    const MediaFacts facts = facts_(target);
    if (!facts.opened) return error_ = "segment " + target + " does not open", false;
    if (rendition.segments.empty()) {
      rendition.width = facts.width;
      rendition.height = facts.height;
      // The pictures the segment holds over its length: a reduced-rate
      // companion keeps its main output's time grid, which is what the
      // stream declares.
      rendition.frameRate = facts.pictureRate > 0 ? facts.pictureRate : facts.frameRate;
      // CODECS names every codec of the rendition, or it is left out.
      const bool video = facts.width > 0, audio = !facts.audioCodec.empty() || facts.audioFrames > 0;
      if ((!video || !facts.videoCodec.empty()) && (!audio || !facts.audioCodec.empty()))
        rendition.codecs = facts.videoCodec + (video && audio ? "," : "") + facts.audioCodec;
    }
    if (key == 0) {
      audioFrames_ += facts.audioFrames;
      videoFrames_ += facts.videoFrames;
    }
  }
  struct stat status {};
  const uint64_t bytes = ::stat(target.c_str(), &status) == 0 ? static_cast<uint64_t>(status.st_size) : 0;
  // A companion's announcement starts one tick after the main output's.
  if (key != 0 && start > 0) --start;
  // The first segment begins with the first picture (or sample), at 0,
  // unless a copied stream's clock is kept; every other where the one
  // before it ended.
  const Segment* last = rendition.segments.empty() ? nullptr : &rendition.segments.back();
  const uint64_t expected = last ? last->start + last->duration : anyFirstStart_ ? start : 0;
  const std::string base = name.substr(0, name.find('-', name.find('-') + 1));
  const bool jump = last && last->duration > 0 && start != expected && base != rendition.base;
  rendition.base = base;
  if (!jump && (start != expected || (last && last->duration == 0))) {
    char text[200];
    std::snprintf(text, sizeof text, "%s: %s begins at %.3f s, not where the segment before it ended (%.3f s)",
                  playlistName(key).c_str(), name.c_str(), static_cast<double>(start) / kTsClock,
                  static_cast<double>(expected) / kTsClock);
    error_ = text;
    return false;
  }
  rendition.segments.push_back(Segment{name, start, duration, bytes, jump});
  addPeak(rendition, rendition.segments.back());
  // The stream stands at the end of the segment just finished.
  rendition.elapsed += duration;
  slideWindow(rendition, rendition.elapsed);
  if (publishAtFinish_) return true;
  return writeMediaPlaylist(playlistName(key), rendition, false) && writeMasterPlaylist();
}

void HlsWriter::slideWindow(Rendition& rendition, uint64_t now) {
  if (listSize_ == 0) return;
  // Segments with a length count; the one still open is listed once known.
  auto listed = [&] {
    size_t count = 0;
    for (const Segment& segment : rendition.segments) count += segment.duration > 0 ? 1 : 0;
    return count;
  };
  while (listed() > listSize_) {
    const Segment& leaving = rendition.segments.front();
    uint64_t playlist = 0;  // what the playlist still holding it spanned
    for (const Segment& segment : rendition.segments) playlist += segment.duration;
    rendition.retired.push_back(Retired{leaving.name, now + leaving.duration + playlist});
    if (leaving.discontinuity) ++rendition.discontinuities;
    rendition.segments.pop_front();
    ++rendition.sequence;
  }
  while (!rendition.retired.empty() && rendition.retired.front().removeAt <= now) {
    const std::string path = folder_ + "/" + rendition.retired.front().name;
    // Gone already (a user cleaning up) is as good as removed.
    if (std::remove(path.c_str()) != 0 && errno != ENOENT)
      std::fprintf(stderr, "zanstream transcode: cannot remove %s: %s\n", path.c_str(), std::strerror(errno));
    rendition.retired.pop_front();
  }
}

void HlsWriter::addPeak(Rendition& rendition, const Segment& segment) {
  if (segment.duration > 0)
    rendition.peakBitsPerSecond =
        std::max(rendition.peakBitsPerSecond, static_cast<double>(segment.bytes) * 8.0 / segment.seconds());
}

bool HlsWriter::finish(double endSeconds) {
  for (auto& [key, rendition] : renditions_) {
    // The last segment comes when the stream ends, without a length; one
    // with a length was followed by none, and the end of the medium is
    // missing.
    if (!rendition.segments.empty() && rendition.segments.back().duration > 0) {
      error_ = playlistName(key) + ": the segments after " + rendition.segments.back().name + " are missing";
      return false;
    }
    for (Segment& segment : rendition.segments) {
      if (segment.duration > 0) continue;
      const double end = std::round(endSeconds * kTsClock);
      segment.duration = end > static_cast<double>(segment.start) ? static_cast<uint64_t>(end) - segment.start : 0;
      addPeak(rendition, segment);
    }
    // The last segment's length is known now: the window slides once more.
    if (!rendition.segments.empty()) rendition.elapsed += rendition.segments.back().duration;
    slideWindow(rendition, rendition.elapsed);
    if (!writeMediaPlaylist(playlistName(key), rendition, true)) return false;
    // Nobody serves the folder's removals after the end: what left the
    // window goes now.
    slideWindow(rendition, UINT64_MAX);
  }
  return writeMasterPlaylist();
}

bool HlsWriter::publishHeld() {
  if (!publishAtFinish_) return true;
  for (auto& [key, rendition] : renditions_)
    if (!writeMediaPlaylist(playlistName(key), rendition, false)) return false;
  return writeMasterPlaylist();
}

bool HlsWriter::writeMediaPlaylist(const std::string& name, Rendition& rendition, bool ended) {
  // A segment whose length is not known yet (the last, until the end) is
  // listed once it is. Every segment's length, rounded to the nearest
  // second, fits the target duration; the encoder cuts a segment at the
  // first picture after its aimed length, so that rounding keeps them in
  // the first target, which then never changes unless a segment outgrows it
  // (a picture rate below one a second).
  double longest = 0.0;
  for (const Segment& segment : rendition.segments) longest = std::max(longest, segment.seconds());
  rendition.targetDuration = std::max({rendition.targetDuration, static_cast<long long>(std::ceil(targetSeconds_)),
                                       static_cast<long long>(std::round(longest))});
  std::string text = "#EXTM3U\n#EXT-X-VERSION:3\n";
  text += "#EXT-X-TARGETDURATION:" + std::to_string(rendition.targetDuration) + "\n";
  text += "#EXT-X-MEDIA-SEQUENCE:" + std::to_string(rendition.sequence) + "\n";
  if (rendition.discontinuities > 0)
    text += "#EXT-X-DISCONTINUITY-SEQUENCE:" + std::to_string(rendition.discontinuities) + "\n";
  // A live window dropped its first segments: the list was never the
  // whole, unchanging one a VOD list is.
  if (ended && listSize_ == 0) text += "#EXT-X-PLAYLIST-TYPE:VOD\n";
  text += "#EXT-X-INDEPENDENT-SEGMENTS\n";
  char line[64];
  for (const Segment& segment : rendition.segments) {
    if (segment.duration == 0) continue;
    if (segment.discontinuity) text += "#EXT-X-DISCONTINUITY\n";
    std::snprintf(line, sizeof line, "#EXTINF:%.6f,\n", segment.seconds());
    text += line;
    text += segment.name + "\n";
  }
  if (ended) text += "#EXT-X-ENDLIST\n";
  return replaceFile(name, text);
}

bool HlsWriter::writeMasterPlaylist() {
  // Players take the first entry to start with and rank the others by
  // their bandwidth: the highest measured rate comes first, whatever the
  // rendition was asked for (a companion may come out above the main
  // output).
  std::vector<std::pair<int, const Rendition*>> ladder;
  for (const auto& [key, rendition] : renditions_) ladder.emplace_back(key, &rendition);
  std::stable_sort(ladder.begin(), ladder.end(), [](const auto& a, const auto& b) {
    return a.second->peakBitsPerSecond > b.second->peakBitsPerSecond;
  });
  std::string text = "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-INDEPENDENT-SEGMENTS\n";
  char rate[32];
  for (const auto& [key, rendition] : ladder) {
    text += "#EXT-X-STREAM-INF:BANDWIDTH=" + std::to_string(static_cast<long long>(std::ceil(rendition->peakBitsPerSecond)));
    if (!rendition->codecs.empty()) text += ",CODECS=\"" + rendition->codecs + "\"";
    if (rendition->width > 0 && rendition->height > 0)
      text += ",RESOLUTION=" + std::to_string(rendition->width) + "x" + std::to_string(rendition->height);
    if (rendition->frameRate > 0) {
      std::snprintf(rate, sizeof rate, ",FRAME-RATE=%.3f", rendition->frameRate);
      text += rate;
    }
    // Appended piece by piece: GCC 12 at -O3 mistakes "\n" + a temporary
    // string for an overlapping copy (-Wrestrict).
    text += '\n';
    text += playlistName(key);
    text += '\n';
  }
  return replaceFile("master.m3u8", text);
}

bool HlsWriter::replaceFile(const std::string& name, const std::string& text) {
  const std::string path = folder_ + "/" + name;
  const std::string temporary = folder_ + "/." + name + ".tmp";
  FILE* file = std::fopen(temporary.c_str(), "wb");
  bool ok = file != nullptr && std::fwrite(text.data(), 1, text.size(), file) == text.size();
  if (file != nullptr) ok = std::fclose(file) == 0 && ok;
  if (ok && std::rename(temporary.c_str(), path.c_str()) == 0) return true;
  error_ = "cannot write " + path + ": " + std::strerror(errno);
  std::remove(temporary.c_str());
  return false;
}

}  // namespace zan::host
