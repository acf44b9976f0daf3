// Writes the decoded audio that an input delivers (interleaved integer PCM:
// unsigned 8-bit, or signed 16- or 32-bit little-endian) into a WAV file.
//
// The header is written first with zero sizes and rewritten with the real
// sizes by finish(), so a file whose writer never finished is still
// recognisably a WAV file. Formats of more than 16 bits or more than two
// channels use the WAVE_FORMAT_EXTENSIBLE header that readers expect for
// them; the others the plain PCM header.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace zan::host {

class WavWriter {
 public:
  WavWriter() = default;
  ~WavWriter();  // finishes a file still open
  WavWriter(const WavWriter&) = delete;
  WavWriter& operator=(const WavWriter&) = delete;

  // False with error() for a format WAV cannot hold (bits other than 8, 16
  // or 32, no channels, no rate) or a file that cannot be created.
  bool open(const std::string& path, int sampleRate, int channels, int bitsPerSample);
  // Appends sample bytes. False with error() on a write failure, or when
  // the file would pass the 4 GiB that WAV's 32-bit sizes can describe
  // (nothing more is written then).
  bool write(const uint8_t* data, size_t size);
  // Pads the data to an even length, fixes the sizes and closes. False with
  // error() on a write failure.
  bool finish();

  uint64_t dataBytes() const { return dataBytes_; }
  int blockAlign() const { return blockAlign_; }
  const std::string& error() const { return error_; }

  // The size of the header that open() writes for this format.
  static size_t headerSize(int channels, int bitsPerSample);

 private:
  struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
  };
  bool writeHeader();
  bool fail(const std::string& message);

  std::unique_ptr<FILE, FileCloser> file_;
  std::string path_, error_;
  int sampleRate_ = 0, channels_ = 0, bitsPerSample_ = 0, blockAlign_ = 0;
  uint64_t dataBytes_ = 0;
  bool extensible_ = false;
};

}  // namespace zan::host
