#include "host/cli/Sdp.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The audio lines of the session description for copied AAC whose
// configuration is |config| (hexadecimal), or the error.
std::string audioLines(const char* config, bool latm = true) {
  zan::host::StreamDescription produced;
  produced.setFormat("rtp");
  produced.video().setCodec("none");
  produced.audio().setCodec("aac");
  produced.audio().setCodecData(config);
  produced.audio().setSampleRate(48000);
  produced.audio().setChannels(2);
  std::string error;
  const std::string sdp = zan::host::buildSdp(produced, "127.0.0.1", 5000, latm, error);
  return sdp.empty() ? error : sdp.substr(sdp.find("m=audio"));
}

// HE-AAC said two ways (SBR in front of the core, or in a sync extension
// after it, as many encoders write it) is one LATM configuration, with SBR
// in front: a StreamMuxConfig has no room after the core's configuration.
// Channels laid out in a program configuration element have no LATM form
// here, and are refused rather than described without it.
TEST(SdpTest, LatmCarriesHeAacEitherWayItIsSaidAndRefusesWhatItCannotDescribe) {
  const std::string explicitSbr = audioLines("2b098800");
  EXPECT_NE(explicitSbr.find("profile-level-id=44;"), std::string::npos) << explicitSbr;
  EXPECT_EQ(audioLines("130856e598"), explicitSbr);
  // A sync extension that says "no SBR" (FFmpeg's encoder writes one) is
  // plain AAC-LC.
  EXPECT_EQ(audioLines("130856e500"), audioLines("1308"));
  EXPECT_NE(audioLines("1308").find("profile-level-id=15;"), std::string::npos);
  const std::string pce = audioLines("12000504010020000d4c61766335392e33372e31303056e500");
  EXPECT_NE(pce.find("has no LATM form"), std::string::npos) << pce;
  EXPECT_NE(audioLines("12000504010020", false).find("config=12000504010020"), std::string::npos);
}

}  // namespace
