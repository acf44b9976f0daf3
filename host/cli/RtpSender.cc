#include "host/cli/RtpSender.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>

#include "host/cli/Sdp.h"

namespace zan::host {

namespace {

// A stream that holds this much media beyond its first queued payload
// sends without waiting for the other stream (one that has stopped
// producing).
constexpr uint64_t kMostHeldUs = 5000000;
// Sender reports, one per stream every second of media.
constexpr uint64_t kReportIntervalUs = 1000000;
// After the last payload's play-out time the goodbye waits this long more:
// receivers hold payloads in a jitter buffer (GStreamer 200 ms, VLC a
// second) and end the stream at the goodbye, dropping what they still hold.
constexpr auto kJitterAllowance = std::chrono::milliseconds(1200);

void put32(std::vector<uint8_t>& packet, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) packet.push_back(static_cast<uint8_t>(value >> shift));
}

// An RTCP header: version 2, |count|, |type|; the length is set by end().
size_t beginRtcp(std::vector<uint8_t>& packet, int count, int type) {
  const size_t at = packet.size();
  packet.push_back(static_cast<uint8_t>(0x80 | count));
  packet.push_back(static_cast<uint8_t>(type));
  packet.push_back(0);
  packet.push_back(0);
  return at;
}

// The length in 32-bit words minus one, once the packet (a multiple of four
// bytes) is complete.
void endRtcp(std::vector<uint8_t>& packet, size_t at) {
  const size_t words = (packet.size() - at) / 4 - 1;
  packet[at + 2] = static_cast<uint8_t>(words >> 8);
  packet[at + 3] = static_cast<uint8_t>(words);
}

}  // namespace

RtpSender::~RtpSender() {
  if (socket_ >= 0) ::close(socket_);
}

bool RtpSender::open(const std::string& url, std::string& error) {
  const std::string scheme = "rtp://";
  const size_t colon = url.rfind(':');
  if (url.compare(0, scheme.size(), scheme) != 0 || colon == std::string::npos || colon < scheme.size() + 1) {
    error = "the RTP target must be rtp://HOST:PORT, not '" + url + "'";
    return false;
  }
  address_ = url.substr(scheme.size(), colon - scheme.size());
  char* end = nullptr;
  const long port = std::strtol(url.c_str() + colon + 1, &end, 10);
  if (*end != '\0' || port <= 0 || port > 65533 || port % 2 != 0) {
    error = "the RTP port must be an even number below 65534, not '" + url.substr(colon + 1) + "'";
    return false;
  }
  port_ = static_cast<int>(port);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(address_.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    error = "cannot resolve " + address_;
    return false;
  }
  resolved_.assign(reinterpret_cast<const uint8_t*>(found->ai_addr),
                   reinterpret_cast<const uint8_t*>(found->ai_addr) + found->ai_addrlen);
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr, text, sizeof text);
  address_ = text;
  freeaddrinfo(found);
  socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (socket_ < 0) {
    error = std::string("cannot make a UDP socket: ") + std::strerror(errno);
    return false;
  }
  std::random_device random;
  for (Stream* stream : {&video_, &audio_}) {
    stream->sequence = static_cast<uint16_t>(random());
    stream->timestampBase = static_cast<uint32_t>(random());
    stream->ssrc = static_cast<uint32_t>(random());
  }
  video_.payloadType = kVideoPayloadType;
  video_.port = port_;
  audio_.payloadType = kAudioPayloadType;
  audio_.port = port_ + 2;
  // One canonical name for both streams: a receiver lines up the streams
  // that share it.
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') std::strcpy(host, "localhost");
  char name[300];
  std::snprintf(name, sizeof name, "zanstream-%08x@%s", static_cast<unsigned>(video_.ssrc), host);
  cname_ = name;
  if (cname_.size() > 255) cname_.resize(255);
  return true;
}

void RtpSender::setStreams(int videoClock, int audioClock, bool audioTalkspurts) {
  video_.present = videoClock > 0;
  video_.clock = videoClock > 0 ? videoClock : 90000;
  audio_.present = audioClock > 0;
  audio_.clock = audioClock > 0 ? audioClock : 8000;
  audio_.talkspurts = audioTalkspurts;
}

void RtpSender::pace(uint64_t time) {
  if (!started_) {
    started_ = true;
    firstTime_ = time;
    startWall_ = std::chrono::steady_clock::now();
    startSystem_ = std::chrono::system_clock::now();
    return;
  }
  if (!realtime_ || time <= firstTime_) return;
  std::this_thread::sleep_until(startWall_ + std::chrono::microseconds(time - firstTime_));
}

uint32_t RtpSender::rtpTime(const Stream& stream, uint64_t time) const {
  // Rounded: the encoder's µs times are truncated from sample counts, and
  // truncating again would make steps of one sample more or less.
  return stream.timestampBase +
         static_cast<uint32_t>((time * static_cast<uint64_t>(stream.clock) + 500000) / 1000000);
}

uint64_t RtpSender::earliest(const Stream& stream) const {
  uint64_t time = UINT64_MAX;
  for (const Payload& payload : stream.queue) time = std::min(time, payload.time);
  return time;
}

void RtpSender::send(streamer::PACKETTYPE type, const uint8_t* payload, size_t size, uint64_t time,
                     uint64_t duration) {
  if (socket_ < 0 || size == 0) return;
  Stream* stream = type == streamer::PACKET_VIDEO ? &video_ : type == streamer::PACKET_AUDIO ? &audio_ : nullptr;
  if (stream == nullptr) return;
  stream->present = true;
  stream->queue.push_back(Payload{std::vector<uint8_t>(payload, payload + size), time, duration});
  drain(false);
}

void RtpSender::drain(bool ending) {
  for (;;) {
    // A payload's marker depends on the one after it: until the end, a
    // stream is ready with two payloads queued.
    Stream* next = nullptr;
    bool waiting = false;
    for (Stream* stream : {&video_, &audio_}) {
      if (!stream->present) continue;
      if (stream->queue.size() < (ending ? 1u : 2u)) {
        waiting = true;
        continue;
      }
      if (next == nullptr || earliest(*stream) < earliest(*next)) next = stream;
    }
    if (next == nullptr) return;
    // The stream that has nothing queued may still bring an earlier
    // payload, unless it lags by more than a stream is held.
    if (waiting && !ending && next->queue.back().time < earliest(*next) + kMostHeldUs) return;
    transmitNext(*next);
  }
}

void RtpSender::transmitNext(Stream& stream) {
  const uint64_t due = earliest(stream);
  pace(due);
  Payload payload = std::move(stream.queue.front());
  stream.queue.pop_front();
  if (!stream.reported || payload.time >= stream.nextReport) {
    sendReport(stream, payload.time, false);
    stream.reported = true;
    stream.nextReport = payload.time + kReportIntervalUs;
  }
  const bool marker = stream.talkspurts ? !stream.started
                                        : stream.queue.empty() || stream.queue.front().time != payload.time;
  std::vector<uint8_t> packet(12 + payload.bytes.size());
  const uint32_t timestamp = rtpTime(stream, payload.time);
  packet[0] = 0x80;
  packet[1] = static_cast<uint8_t>((marker ? 0x80 : 0) | stream.payloadType);
  packet[2] = static_cast<uint8_t>(stream.sequence >> 8);
  packet[3] = static_cast<uint8_t>(stream.sequence);
  for (int i = 0; i < 4; ++i) {
    packet[4 + i] = static_cast<uint8_t>(timestamp >> (24 - 8 * i));
    packet[8 + i] = static_cast<uint8_t>(stream.ssrc >> (24 - 8 * i));
  }
  std::memcpy(packet.data() + 12, payload.bytes.data(), payload.bytes.size());
  ++stream.sequence;
  stream.started = true;
  // Errors (no receiver yet, a full socket buffer) lose this datagram
  // only, as UDP does anyway.
  if (sendTo(stream.port, packet)) {
    ++stream.packets;
    stream.bytes += payload.bytes.size();
  }
  lastEnd_ = std::max(lastEnd_, payload.time + payload.duration);
}

bool RtpSender::sendTo(int port, const std::vector<uint8_t>& packet) {
  sockaddr_in target;
  std::memcpy(&target, resolved_.data(), sizeof target);
  target.sin_port = htons(static_cast<uint16_t>(port));
  return ::sendto(socket_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&target), sizeof target) >= 0;
}

void RtpSender::sendReport(const Stream& stream, uint64_t time, bool bye) {
  std::vector<uint8_t> packet;
  // Sender report: the wall-clock instant at which media time |time| is
  // due (NTP format), the RTP time of that instant, packets and bytes so
  // far.
  size_t at = beginRtcp(packet, 0, 200);
  put32(packet, stream.ssrc);
  const auto since = std::chrono::microseconds(static_cast<int64_t>(time) - static_cast<int64_t>(firstTime_));
  const int64_t unixUs =
      std::chrono::duration_cast<std::chrono::microseconds>((startSystem_ + since).time_since_epoch()).count();
  constexpr uint64_t kNtpFromUnix = 2208988800ULL;
  const uint64_t seconds = static_cast<uint64_t>(unixUs / 1000000) + kNtpFromUnix;
  const uint64_t fraction = (static_cast<uint64_t>(unixUs % 1000000) << 32) / 1000000;
  put32(packet, static_cast<uint32_t>(seconds));
  put32(packet, static_cast<uint32_t>(fraction));
  put32(packet, rtpTime(stream, time));
  put32(packet, static_cast<uint32_t>(stream.packets));
  put32(packet, static_cast<uint32_t>(stream.bytes));
  endRtcp(packet, at);
  // Source description: one chunk, the CNAME item, then a zero item end
  // padded to a 32-bit boundary.
  at = beginRtcp(packet, 1, 202);
  put32(packet, stream.ssrc);
  packet.push_back(1);
  packet.push_back(static_cast<uint8_t>(cname_.size()));
  packet.insert(packet.end(), cname_.begin(), cname_.end());
  do packet.push_back(0);
  while (packet.size() % 4 != 0);
  endRtcp(packet, at);
  if (bye) {
    at = beginRtcp(packet, 1, 203);
    put32(packet, stream.ssrc);
    endRtcp(packet, at);
  }
  sendTo(stream.port + 1, packet);
}

void RtpSender::finish() {
  drain(true);
  if (!started_) return;
  // Receivers play the last payload at its time after the first one's, and
  // end the stream at the goodbye: it waits until they have played it.
  if (realtime_)
    std::this_thread::sleep_until(startWall_ + std::chrono::microseconds(lastEnd_ > firstTime_ ? lastEnd_ - firstTime_ : 0) +
                                  kJitterAllowance);
  for (const Stream* stream : {&video_, &audio_})
    if (stream->started) sendReport(*stream, std::max(lastEnd_, firstTime_), true);
}

}  // namespace zan::host
