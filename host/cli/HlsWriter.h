// HLS for a segmented transcode: every segment file the encoder announces
// is moved into the output folder, and each rendition (the main output and
// each low-bitrate companion) gets a media playlist with the segment's exact
// length from its announcement; a master playlist lists the renditions,
// highest measured peak bit rate first, with that rate, their codecs (RFC
// 6381 names read from the segments), resolution and picture rate. Every
// segment begins with a key frame, so both kinds of playlist say the
// segments are independent.
//
// A growing playlist's target duration is fixed when it is first written
// (players keep the first one they read): the segment length the encoder
// aims at, or more when a longer segment is already there. A finished
// playlist keeps it and says it will not change (VOD). Where no target can
// be known ahead, the playlists may be held back until finish().
//
// Every playlist is rewritten whole into a temporary file that then
// replaces the old one, so that a player reading the folder while it grows
// never sees half a playlist. finish() ends the media playlists.
//
// A live window (listSize > 0) keeps the last listSize segments in each
// media playlist, counting the ones that left in #EXT-X-MEDIA-SEQUENCE, and
// removes a segment's file once it has been out of the playlist for its
// own length plus the playlist's (a player that read the playlist just
// before may still ask for it), so a stream of days holds a bounded folder
// and bounded memory.
//
// Not thread-safe: the thread that reads the encoder's output drives it.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "host/cli/MediaFacts.h"

namespace zan::host {

class HlsWriter {
 public:
  // |facts| reads a file back: each rendition's picture size, rate and
  // codecs, and the main rendition's frames. |targetSeconds|: the segment
  // length the encoder aims at, or the longest a segment can get where that
  // is known to be more (a copy cut on its source's key frames): the
  // target duration announced from the first playlist on. |listSize| 0 lists every segment (a file's
  // whole medium); more is a live window of that many segments.
  HlsWriter(std::string folder, double targetSeconds, std::function<MediaFacts(const std::string&)> facts,
            size_t listSize = 0);

  // Moves the segment at |path| (UTF-8) into the folder and adds it to its
  // rendition's playlist. |start| and |duration| are the announcement's,
  // in 90 kHz units (MPEG-TS time) from the first picture (or sample); a
  // duration of 0 (the last segment) is known only at finish(). False with
  // error() set when the file cannot be moved or a playlist not written, or
  // when the segment does not begin where the rendition's last one ended,
  // or, for the first, at 0 (see acceptAnyFirstStart; a segment went missing: the playlist would
  // skip a piece of the medium). A segment under a new name base that does
  // not begin there follows a reset of the stream's position (the encoder
  // starts a new base then): it is marked as a discontinuity.
  bool add(const std::string& path, uint64_t start, uint64_t duration);
  // A copied stream keeps its source's clock: its first segment may begin
  // wherever the first picture stands (after sound that came first, or
  // past the start of a source cut inside a group of pictures).
  void acceptAnyFirstStart() { anyFirstStart_ = true; }
  // Writes no playlist before finish(): for a copy whose source does not
  // say how far apart its key frames lie, no target duration can be
  // announced that every later segment keeps to, and a published one may
  // not change. Meant for a file, copied far faster than it plays.
  void publishAtFinish() { publishAtFinish_ = true; }
  // After a failure, instead of finish(): writes the held-back playlists
  // as they stand, without their end (the output is incomplete).
  bool publishHeld();
  // Ends the segments announced without a length at |endSeconds| (the end
  // of the last frame fed, on the same clock), then writes every media
  // playlist with its end tag, and the master playlist.
  bool finish(double endSeconds);

  const std::string& error() const { return error_; }
  // Frames in the main rendition's segments (read back once each).
  uint64_t audioFrames() const { return audioFrames_; }
  uint64_t videoFrames() const { return videoFrames_; }

 private:
  struct Segment {
    std::string name;
    uint64_t start;     // 90 kHz units
    uint64_t duration;  // 90 kHz units; 0: not known yet
    uint64_t bytes;
    bool discontinuity;  // the timeline jumps before it
    double seconds() const { return static_cast<double>(duration) / 90000.0; }
  };
  struct Retired {
    std::string name;
    uint64_t removeAt;  // 90 kHz units: the stream time after which no player can still want it
  };
  struct Rendition {
    std::deque<Segment> segments;  // listed, the last perhaps without a length yet
    uint64_t sequence = 0;         // segments that left the window
    uint64_t discontinuities = 0;  // discontinuity tags that left the window
    uint64_t elapsed = 0;          // 90 kHz units: the finished segments' lengths, jumps aside
    std::string base;              // the file names' base of the current timeline
    std::deque<Retired> retired;   // out of the window, files kept a while
    double peakBitsPerSecond = 0.0;
    int width = 0, height = 0;
    double frameRate = 0.0;
    std::string codecs;  // the CODECS attribute's value; empty: not known
    long long targetDuration = 0;  // 0: no playlist written yet
  };

  bool writeMediaPlaylist(const std::string& name, Rendition& rendition, bool ended);
  static void addPeak(Rendition& rendition, const Segment& segment);
  // Moves segments beyond the window out of it and removes the files of
  // those out long enough, as of stream time |now|.
  void slideWindow(Rendition& rendition, uint64_t now);
  bool writeMasterPlaylist();
  bool replaceFile(const std::string& name, const std::string& text);

  std::string folder_;
  double targetSeconds_;
  bool anyFirstStart_ = false;
  bool publishAtFinish_ = false;
  std::function<MediaFacts(const std::string&)> facts_;
  size_t listSize_;
  // Key: the companion's bit rate; 0 is the main output.
  std::map<int, Rendition> renditions_;
  uint64_t audioFrames_ = 0, videoFrames_ = 0;
  std::string error_;
};

// A segment announcement's path (UTF-16LE, no terminator) as UTF-8.
std::string pathFromUtf16le(const uint8_t* data, size_t size);

// The rendition of a segment file name: 0 for the main output, or the bit
// rate of "...-low-BITRATE.ts".
int renditionOf(const std::string& path);

}  // namespace zan::host
