// Sends the encoder's RTP payload packets over UDP, as the engine does:
// it builds the 12-byte RTP header of each payload (version 2, the
// stream's payload type, a sequence number, the stream's clock, one
// synchronisation source per stream) and sends video to PORT and audio to
// PORT + 2, with RTCP on the port above each (PORT + 1, PORT + 3).
//
// Order and pace. The encoders hand their payloads over late by their own
// delays, and by different amounts (the video encoder looks ahead by up to
// a second or more), so payloads arrive out of media order across the
// streams. Each stream's payloads wait in a queue of their own until every
// stream has a next payload queued (or one stream holds more than a few
// seconds); then the payload with the earliest media time leaves. With
// realtime pacing it leaves at its media time on a clock that starts with
// the first payload sent, so that sound and pictures of one moment leave
// together and no stream comes in a burst. Video is paced by the earliest
// picture time still queued (the pictures' decoding order), audio by its
// frame times.
//
// Markers. A payload is the last of its picture or audio frame when the
// next one of its stream has another time (a frame cut into several
// payloads); video and AAC mark that last payload. AMR marks the first
// payload of a talkspurt only: the stream is one talkspurt.
//
// RTCP. Each stream sends a sender report (wall clock and RTP time of one
// instant, on the same wall clock for both streams, so a receiver can line
// them up) with an SDES CNAME before its first payload and then every
// second of media. At the end, once the last payload's play-out time plus a
// jitter-buffer allowance has passed (realtime), each stream says goodbye:
// sender report, SDES and BYE in one compound packet.
//
// A receiver that is not listening yet is not an error: UDP datagrams to a
// closed port are simply lost.
//
// Not thread-safe: one thread sends.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "zan/streamer/Types.h"

namespace zan::host {

class RtpSender {
 public:
  RtpSender() = default;
  ~RtpSender();
  RtpSender(const RtpSender&) = delete;
  RtpSender& operator=(const RtpSender&) = delete;

  // "rtp://HOST:PORT" (an IPv4 address or name, an even port); false with
  // |error| set.
  bool open(const std::string& url, std::string& error);
  const std::string& address() const { return address_; }
  int port() const { return port_; }

  // The streams that will send and their RTP clocks (0: no such stream).
  // |audioTalkspurts|: the audio payload format marks the first payload of
  // a talkspurt (AMR) rather than the last of a frame.
  void setStreams(int videoClock, int audioClock, bool audioTalkspurts);
  void setRealtime(bool realtime) { realtime_ = realtime; }

  // |time| and |duration| in µs on the encoder's clock.
  void send(streamer::PACKETTYPE type, const uint8_t* payload, size_t size, uint64_t time, uint64_t duration);
  // Sends what is still queued, then the goodbyes.
  void finish();

  uint64_t packets(bool video) const { return video ? video_.packets : audio_.packets; }
  uint64_t bytes() const { return video_.bytes + audio_.bytes; }

 private:
  struct Payload {
    std::vector<uint8_t> bytes;
    uint64_t time, duration;
  };
  struct Stream {
    bool present = false;
    int payloadType = 0;
    int clock = 90000;
    bool talkspurts = false;
    uint16_t sequence = 0;
    uint32_t timestampBase = 0;
    uint32_t ssrc = 0;
    int port = 0;
    uint64_t packets = 0, bytes = 0;
    std::deque<Payload> queue;
    bool started = false;  // a payload has been sent
    bool reported = false;
    uint64_t nextReport = 0;  // µs of media
  };
  void drain(bool ending);
  void transmitNext(Stream& stream);
  uint64_t earliest(const Stream& stream) const;
  uint32_t rtpTime(const Stream& stream, uint64_t time) const;
  // RTCP to the stream's control port: a sender report for media time
  // |time| and the SDES, and a BYE when |bye|.
  void sendReport(const Stream& stream, uint64_t time, bool bye);
  bool sendTo(int port, const std::vector<uint8_t>& packet);
  // Waits, when pacing, until media time |time| is due.
  void pace(uint64_t time);

  int socket_ = -1;
  std::string address_;
  int port_ = 0;
  std::vector<uint8_t> resolved_;  // sockaddr_in
  std::string cname_;
  bool realtime_ = false;
  Stream video_, audio_;
  // The clock: media time |firstTime_| is due at |startWall_| and stands at
  // |startSystem_| on the wall clock the sender reports give.
  bool started_ = false;
  uint64_t firstTime_ = 0;
  uint64_t lastEnd_ = 0;  // the end of the latest payload sent, µs of media
  std::chrono::steady_clock::time_point startWall_;
  std::chrono::system_clock::time_point startSystem_;
};

}  // namespace zan::host
