// Writes the decoded pictures that an input delivers into a YUV4MPEG2
// (.y4m) file, which players and ffmpeg open without being told the
// picture format.
//
// The input delivers packed YUYV 4:2:2 (engine pixel-format code 5, width x
// height x 2 bytes per picture); Y4M has no packed layout, so each picture
// is split losslessly into its Y, U and V planes and written as planar
// 4:2:2 ("C422"). Planar 4:2:0 pictures (code 4) are written unchanged as
// "C420jpeg". A picture whose size does not match the format is not written
// and counted in skipped().
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace zan::host {

class Y4mWriter {
 public:
  // The engine's pixel-format codes this writer takes.
  static constexpr int kYUV420P = 4;
  static constexpr int kYUYV422 = 5;

  Y4mWriter() = default;
  ~Y4mWriter();
  Y4mWriter(const Y4mWriter&) = delete;
  Y4mWriter& operator=(const Y4mWriter&) = delete;

  // False with error() for a pixel format or size it cannot write, or a
  // file that cannot be created. A frame rate that is not positive is
  // written as 25 fps.
  bool open(const std::string& path, int width, int height, double frameRate, int pixelFormat);
  // Writes one delivered picture. False when it was skipped (wrong size)
  // or on a write failure (error() set; nothing more is written).
  bool write(const uint8_t* data, size_t size);
  bool finish();

  // Bytes of one delivered picture in the input's layout.
  size_t inputFrameSize() const;
  uint64_t frames() const { return frames_; }
  uint64_t skipped() const { return skipped_; }
  const std::string& header() const { return header_; }
  const std::string& error() const { return error_; }

  // |framesPerSecond| as the exact fraction Y4M wants: whole rates as N:1,
  // the NTSC family (23.976, 29.97, 59.94 ...) as N*1000:1001, anything else
  // to a thousandth.
  static void frameRateFraction(double framesPerSecond, unsigned& numerator, unsigned& denominator);

 private:
  struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
  };
  bool fail(const std::string& message);

  std::unique_ptr<FILE, FileCloser> file_;
  std::string path_, header_, error_;
  int width_ = 0, height_ = 0, pixelFormat_ = 0;
  std::vector<uint8_t> planes_;
  uint64_t frames_ = 0, skipped_ = 0;
};

}  // namespace zan::host
