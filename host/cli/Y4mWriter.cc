#include "host/cli/Y4mWriter.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <numeric>

namespace zan::host {

Y4mWriter::~Y4mWriter() {
  if (file_) finish();
}

bool Y4mWriter::fail(const std::string& message) {
  if (error_.empty()) error_ = message;
  return false;
}

void Y4mWriter::frameRateFraction(double framesPerSecond, unsigned& numerator, unsigned& denominator) {
  if (!std::isfinite(framesPerSecond) || framesPerSecond <= 0 || framesPerSecond > 1e6) {
    numerator = 25;
    denominator = 1;
    return;
  }
  const double whole = std::round(framesPerSecond);
  if (whole >= 1 && std::fabs(framesPerSecond - whole) < 1e-6) {
    numerator = static_cast<unsigned>(whole);
    denominator = 1;
    return;
  }
  const double ntsc = std::round(framesPerSecond * 1.001);
  if (ntsc >= 1 && std::fabs(framesPerSecond - ntsc * 1000.0 / 1001.0) < 1e-6) {
    numerator = static_cast<unsigned>(ntsc) * 1000;
    denominator = 1001;
    return;
  }
  unsigned thousandths = static_cast<unsigned>(std::llround(framesPerSecond * 1000.0));
  if (thousandths == 0) thousandths = 1;
  const unsigned divisor = std::gcd(thousandths, 1000u);
  numerator = thousandths / divisor;
  denominator = 1000 / divisor;
}

size_t Y4mWriter::inputFrameSize() const {
  const size_t pixels = static_cast<size_t>(width_) * static_cast<size_t>(height_);
  if (pixelFormat_ == kYUYV422) return pixels * 2;
  const size_t chroma = static_cast<size_t>((width_ + 1) / 2) * static_cast<size_t>((height_ + 1) / 2);
  return pixels + 2 * chroma;
}

bool Y4mWriter::open(const std::string& path, int width, int height, double frameRate, int pixelFormat) {
  path_ = path;
  if (pixelFormat != kYUYV422 && pixelFormat != kYUV420P)
    return fail("cannot write pictures of pixel format " + std::to_string(pixelFormat) + " as Y4M");
  // Y4M readers take at most 16384 per side; packed 4:2:2 needs whole pixel
  // pairs.
  if (width < 1 || height < 1 || width > 16384 || height > 16384 || (pixelFormat == kYUYV422 && width % 2 != 0))
    return fail("cannot write " + std::to_string(width) + "x" + std::to_string(height) + " pictures as Y4M");
  width_ = width;
  height_ = height;
  pixelFormat_ = pixelFormat;
  unsigned numerator = 0, denominator = 0;
  frameRateFraction(frameRate, numerator, denominator);
  // Pixel aspect 0:0 is Y4M's "unknown": the delivered size may be scaled
  // from a picture whose shape the writer does not know.
  header_ = "YUV4MPEG2 W" + std::to_string(width) + " H" + std::to_string(height) + " F" +
            std::to_string(numerator) + ":" + std::to_string(denominator) + " Ip A0:0 " +
            (pixelFormat == kYUYV422 ? "C422" : "C420jpeg") + "\n";
  file_.reset(std::fopen(path.c_str(), "wb"));
  if (!file_) return fail("cannot create " + path + ": " + std::strerror(errno));
  if (std::fwrite(header_.data(), 1, header_.size(), file_.get()) != header_.size())
    return fail("cannot write to " + path + ": " + std::strerror(errno));
  if (pixelFormat == kYUYV422) planes_.resize(inputFrameSize());
  return true;
}

bool Y4mWriter::write(const uint8_t* data, size_t size) {
  if (!file_ || !error_.empty()) return false;
  if (data == nullptr || size != inputFrameSize()) {
    ++skipped_;
    return false;
  }
  const uint8_t* picture = data;
  if (pixelFormat_ == kYUYV422) {
    // Each pixel pair is Y0 U Y1 V; the planes get Y0 Y1, U and V.
    const size_t width = static_cast<size_t>(width_), height = static_cast<size_t>(height_);
    const size_t pairs = width / 2;
    uint8_t* y = planes_.data();
    uint8_t* u = y + width * height;
    uint8_t* v = u + pairs * height;
    for (size_t row = 0; row < height; ++row) {
      const uint8_t* packed = data + row * width * 2;
      for (size_t pair = 0; pair < pairs; ++pair) {
        *y++ = packed[0];
        *u++ = packed[1];
        *y++ = packed[2];
        *v++ = packed[3];
        packed += 4;
      }
    }
    picture = planes_.data();
  }
  static const char kFrameMarker[] = "FRAME\n";
  if (std::fwrite(kFrameMarker, 1, sizeof kFrameMarker - 1, file_.get()) != sizeof kFrameMarker - 1 ||
      std::fwrite(picture, 1, size, file_.get()) != size)
    return fail("cannot write to " + path_ + ": " + std::strerror(errno));
  ++frames_;
  return true;
}

bool Y4mWriter::finish() {
  if (!file_) return error_.empty();
  FILE* file = file_.release();
  if (std::fclose(file) != 0) fail("cannot close " + path_ + ": " + std::strerror(errno));
  return error_.empty();
}

}  // namespace zan::host
