// The profile's choice of audio packet. It lives beside the packet classes
// so that the profile's library does not depend on the output library.
#include "encoder/profile/CodecTables.h"
#include "encoder/profile/FFMpegStreamingProfile.h"
#include "output/InternalSamplePacket.h"

namespace zan {

std::unique_ptr<InternalSamplePacket> FFMpegStreamingProfile::createAudioSamplePacket(bool plain) const {
  if (!plain) {
    const std::string codec = audioCodecName();
    if (codecs::equalsIgnoreCase(codec, "libamr_wb") || codecs::equalsIgnoreCase(codec, "libamr_nb"))
      return std::make_unique<AMRSamplePacket>();
    if (codecs::equalsIgnoreCase(codec, "libfaac")) {
      if (audioUseLATM()) return std::make_unique<MP4ALATMSamplePacket>();
      return std::make_unique<MP4AGENSamplePacket>();
    }
  }
  return std::make_unique<InternalSamplePacket>();
}

}  // namespace zan
