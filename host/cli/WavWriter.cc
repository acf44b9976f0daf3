#include "host/cli/WavWriter.h"

#include <cerrno>
#include <cstring>

namespace zan::host {

namespace {

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatExtensible = 0xFFFE;
// KSDATAFORMAT_SUBTYPE_PCM, the sub-format of an extensible PCM header.
constexpr uint8_t kPcmSubFormat[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                       0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
constexpr uint64_t kMaxRiffSize = 0xFFFFFFFFu;
constexpr int kMaxChannels = 1024;  // keeps the block alignment within 16 bits

void put16(std::string& out, uint16_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>(value >> 8));
}

void put32(std::string& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

}  // namespace

WavWriter::~WavWriter() {
  if (file_) finish();
}

size_t WavWriter::headerSize(int channels, int bitsPerSample) {
  const bool extensible = bitsPerSample > 16 || channels > 2;
  return 12 + 8 + (extensible ? 40 : 16) + 8;
}

bool WavWriter::fail(const std::string& message) {
  if (error_.empty()) error_ = message;
  return false;
}

bool WavWriter::open(const std::string& path, int sampleRate, int channels, int bitsPerSample) {
  path_ = path;
  if (bitsPerSample != 8 && bitsPerSample != 16 && bitsPerSample != 32)
    return fail("cannot write " + std::to_string(bitsPerSample) + "-bit samples as WAV");
  if (channels < 1 || channels > kMaxChannels) return fail("cannot write " + std::to_string(channels) + " channels as WAV");
  if (sampleRate < 1) return fail("cannot write a sample rate of " + std::to_string(sampleRate) + " Hz as WAV");
  sampleRate_ = sampleRate;
  channels_ = channels;
  bitsPerSample_ = bitsPerSample;
  blockAlign_ = channels * bitsPerSample / 8;
  extensible_ = bitsPerSample > 16 || channels > 2;
  file_.reset(std::fopen(path.c_str(), "wb"));
  if (!file_) return fail("cannot create " + path + ": " + std::strerror(errno));
  return writeHeader();
}

bool WavWriter::writeHeader() {
  const size_t header = headerSize(channels_, bitsPerSample_);
  const uint64_t pad = dataBytes_ & 1;
  std::string out;
  out.reserve(header);
  out += "RIFF";
  put32(out, static_cast<uint32_t>(header - 8 + dataBytes_ + pad));
  out += "WAVE";
  out += "fmt ";
  put32(out, extensible_ ? 40 : 16);
  put16(out, extensible_ ? kFormatExtensible : kFormatPcm);
  put16(out, static_cast<uint16_t>(channels_));
  put32(out, static_cast<uint32_t>(sampleRate_));
  put32(out, static_cast<uint32_t>(sampleRate_) * static_cast<uint32_t>(blockAlign_));
  put16(out, static_cast<uint16_t>(blockAlign_));
  put16(out, static_cast<uint16_t>(bitsPerSample_));
  if (extensible_) {
    put16(out, 22);
    put16(out, static_cast<uint16_t>(bitsPerSample_));
    // Speaker positions only where they are unambiguous; 0 leaves the
    // assignment to the reader.
    put32(out, channels_ == 1 ? 0x4 : channels_ == 2 ? 0x3 : 0);
    out.append(reinterpret_cast<const char*>(kPcmSubFormat), sizeof kPcmSubFormat);
  }
  out += "data";
  put32(out, static_cast<uint32_t>(dataBytes_));
  if (std::fseek(file_.get(), 0, SEEK_SET) != 0 || std::fwrite(out.data(), 1, out.size(), file_.get()) != out.size())
    return fail("cannot write the WAV header of " + path_ + ": " + std::strerror(errno));
  return true;
}

bool WavWriter::write(const uint8_t* data, size_t size) {
  if (!file_) return fail("the WAV file is not open");
  if (!error_.empty()) return false;
  const uint64_t header = headerSize(channels_, bitsPerSample_);
  if (header - 8 + dataBytes_ + size + 1 > kMaxRiffSize)
    return fail("the audio passes the 4 GiB a WAV file can hold; the rest is not written");
  if (size > 0 && std::fwrite(data, 1, size, file_.get()) != size)
    return fail("cannot write to " + path_ + ": " + std::strerror(errno));
  dataBytes_ += size;
  return true;
}

bool WavWriter::finish() {
  if (!file_) return error_.empty();
  bool ok = true;
  // RIFF chunks are padded to an even size; the pad byte is not counted in
  // the data chunk's size.
  if (dataBytes_ & 1) {
    if (std::fseek(file_.get(), 0, SEEK_END) != 0 || std::fputc(0, file_.get()) == EOF)
      ok = fail("cannot write to " + path_ + ": " + std::strerror(errno));
  }
  if (ok) ok = writeHeader();
  FILE* file = file_.release();
  if (std::fclose(file) != 0 && ok) ok = fail("cannot close " + path_ + ": " + std::strerror(errno));
  return ok && error_.empty();
}

}  // namespace zan::host
