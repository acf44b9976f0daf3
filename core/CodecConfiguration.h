// The codec configuration bytes of a stream as a stage that copies the
// stream needs them (H.264's avcC record or its Annex B parameter sets,
// AAC's AudioSpecificConfig), as the lowercase hexadecimal text the
// engine's track descriptions carry. Pure functions; no state.
//
// AAC read from ADTS (MPEG-TS, .aac) has no configuration record: the
// frame headers carry its fields instead, and the demuxer's probe has
// read them (and, for HE-AAC, found the SBR layer and the doubled rate).
// The record is then written from those fields, so an HE-AAC source
// stays HE-AAC (explicit SBR signalling) and nothing is assumed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/codec_par.h>
}

namespace zan {

// Empty when the stream has no configuration bytes and none can be made.
std::string codecConfigurationHex(const AVCodecParameters& parameters);

// An AudioSpecificConfig for AAC of |profile| (FF_PROFILE_AAC_*), the
// output |sampleRate| and |channels| as a decoder reports them (HE-AAC:
// twice the core's rate; v2: two channels of a mono core); empty when the
// rate or channel count has no code in the record.
std::vector<uint8_t> aacConfigFromFields(int profile, int sampleRate, int channels);

}  // namespace zan
