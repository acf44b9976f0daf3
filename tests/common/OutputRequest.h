// An encoder request made of the host's engine records, and the streaming
// profile computed from it. Raw input (nothing passes through) unless a
// test changes it; every record lives as long as the request.
#pragma once

#include <memory>
#include <string>

#include "encoder/profile/FFMpegStreamingProfile.h"
#include "host/records/Records.h"

namespace zan::test {

struct OutputRequest {
  OutputRequest(const std::string& format, const std::string& audioCodec, const std::string& videoCodec) {
    input.stream().audio().setCodec(audioCodec == "none" ? "none" : "raw");
    input.stream().video().setCodec(videoCodec == "none" ? "none" : "raw");
    requested.target().setFormat(format.c_str());
    requested.target().audio().setCodec(audioCodec.c_str());
    requested.target().video().setCodec(videoCodec.c_str());
  }
  std::unique_ptr<FFMpegStreamingProfile> compute() {
    return computeStreamingProfile(&settings, &medium, &input, &requested);
  }

  host::Settings settings;
  host::Medium medium;
  host::TranscoderInput input;
  host::Requested requested;
};

}  // namespace zan::test
