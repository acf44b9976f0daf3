#include "host/cli/RtpSender.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <thread>

#include "host/cli/Sdp.h"

namespace zan::host {

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
  return true;
}

void RtpSender::pace(uint64_t time) {
  if (!realtime_) return;
  const auto now = std::chrono::steady_clock::now();
  if (!started_) {
    started_ = true;
    firstTime_ = time;
    startWall_ = now;
    return;
  }
  if (time <= firstTime_) return;
  std::this_thread::sleep_until(startWall_ + std::chrono::microseconds(time - firstTime_));
}

void RtpSender::transmit(Stream& stream, const uint8_t* payload, size_t size, uint64_t time, bool marker) {
  pace(time);
  std::vector<uint8_t> packet(12 + size);
  const uint32_t timestamp =
      stream.timestampBase + static_cast<uint32_t>(time * static_cast<uint64_t>(stream.clock) / 1000000);
  packet[0] = 0x80;
  packet[1] = static_cast<uint8_t>((marker ? 0x80 : 0) | stream.payloadType);
  packet[2] = static_cast<uint8_t>(stream.sequence >> 8);
  packet[3] = static_cast<uint8_t>(stream.sequence);
  for (int i = 0; i < 4; ++i) {
    packet[4 + i] = static_cast<uint8_t>(timestamp >> (24 - 8 * i));
    packet[8 + i] = static_cast<uint8_t>(stream.ssrc >> (24 - 8 * i));
  }
  if (size > 0) std::memcpy(packet.data() + 12, payload, size);
  ++stream.sequence;
  sockaddr_in target;
  std::memcpy(&target, resolved_.data(), sizeof target);
  target.sin_port = htons(static_cast<uint16_t>(stream.port));
  // Errors (no receiver yet, a full socket buffer) lose this datagram
  // only, as UDP does anyway.
  if (::sendto(socket_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&target), sizeof target) >= 0) {
    ++stream.packets;
    stream.bytes += size;
  }
}

void RtpSender::send(streamer::PACKETTYPE type, const uint8_t* payload, size_t size, uint64_t time) {
  if (socket_ < 0 || size == 0) return;
  if (type == streamer::PACKET_AUDIO) {
    transmit(audio_, payload, size, time, true);
    return;
  }
  if (type != streamer::PACKET_VIDEO) return;
  // The held payload was the last of its picture when this one is of
  // another picture.
  if (holding_) transmit(video_, held_.data(), held_.size(), heldTime_, heldTime_ != time);
  held_.assign(payload, payload + size);
  heldTime_ = time;
  holding_ = true;
}

void RtpSender::finish() {
  if (holding_) transmit(video_, held_.data(), held_.size(), heldTime_, true);
  holding_ = false;
  // An RTCP BYE on each stream's control port (one above its data port)
  // tells the receiver that the stream has ended. RTCP packets travel in
  // compounds that begin with a report: an empty receiver report, then the
  // BYE.
  for (const Stream* stream : {&video_, &audio_}) {
    if (stream->packets == 0) continue;
    const uint8_t s0 = static_cast<uint8_t>(stream->ssrc >> 24), s1 = static_cast<uint8_t>(stream->ssrc >> 16),
                  s2 = static_cast<uint8_t>(stream->ssrc >> 8), s3 = static_cast<uint8_t>(stream->ssrc);
    const uint8_t bye[16] = {0x80, 201, 0, 1, s0, s1, s2, s3, 0x81, 203, 0, 1, s0, s1, s2, s3};
    sockaddr_in target;
    std::memcpy(&target, resolved_.data(), sizeof target);
    target.sin_port = htons(static_cast<uint16_t>(stream->port + 1));
    ::sendto(socket_, bye, sizeof bye, 0, reinterpret_cast<sockaddr*>(&target), sizeof target);
  }
}

}  // namespace zan::host
