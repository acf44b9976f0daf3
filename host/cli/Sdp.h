// The session description a player needs to receive the encoder's RTP
// payloads: one media line per stream (video on the given port, audio two
// ports above), with the payload format and the codec configuration the
// encoder published as hexadecimal text (H.264 parameter sets, the AAC
// configuration as LATM StreamMuxConfig or MPEG-4 generic config, AMR in
// octet-aligned mode).
#pragma once

#include <string>

#include "host/records/Records.h"

namespace zan::host {

inline constexpr int kVideoPayloadType = 96;
inline constexpr int kAudioPayloadType = 97;

// The RTP clock of a stream: 90 kHz for video, the sample rate for audio.
int rtpClockRate(const StreamDescription& produced, bool video);

// The SDP text, or empty with |error| set when a stream's codec has no RTP
// payload format here. |latm|: AAC payloads are LATM (else MPEG-4 generic).
std::string buildSdp(const StreamDescription& produced, const std::string& address, int videoPort, bool latm,
                     std::string& error);

}  // namespace zan::host
