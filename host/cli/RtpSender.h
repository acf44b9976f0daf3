// Sends the encoder's RTP payload packets over UDP, as the engine does:
// it builds the 12-byte RTP header of each payload (version 2, the
// stream's payload type, a sequence number, the stream's clock, one
// synchronisation source per stream) and sends video to PORT and audio to
// PORT + 2. A video payload is held back until the next one arrives, so
// that the last payload of each picture carries the marker bit.
//
// At the end each stream says goodbye with an RTCP BYE on its control port
// (PORT + 1, PORT + 3).
//
// A receiver that is not listening yet is not an error: UDP datagrams to a
// closed port are simply lost. With realtime pacing, a packet leaves no
// earlier than its time after the first packet's.
//
// Not thread-safe: one thread sends.
#pragma once

#include <chrono>
#include <cstdint>
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

  void setClocks(int videoClock, int audioClock) {
    video_.clock = videoClock;
    audio_.clock = audioClock;
  }
  void setRealtime(bool realtime) { realtime_ = realtime; }

  void send(streamer::PACKETTYPE type, const uint8_t* payload, size_t size, uint64_t time);
  // Sends the video payload still held back, then an RTCP BYE per stream.
  void finish();

  uint64_t packets(bool video) const { return video ? video_.packets : audio_.packets; }
  uint64_t bytes() const { return video_.bytes + audio_.bytes; }

 private:
  struct Stream {
    int payloadType = 0;
    int clock = 90000;
    uint16_t sequence = 0;
    uint32_t timestampBase = 0;
    uint32_t ssrc = 0;
    int port = 0;
    uint64_t packets = 0, bytes = 0;
  };
  void transmit(Stream& stream, const uint8_t* payload, size_t size, uint64_t time, bool marker);
  void pace(uint64_t time);

  int socket_ = -1;
  std::string address_;
  int port_ = 0;
  std::vector<uint8_t> resolved_;  // sockaddr_in
  bool realtime_ = false;
  Stream video_, audio_;
  std::vector<uint8_t> held_;  // the video payload held back
  uint64_t heldTime_ = 0;
  bool holding_ = false;
  bool started_ = false;
  uint64_t firstTime_ = 0;
  std::chrono::steady_clock::time_point startWall_;
};

}  // namespace zan::host
