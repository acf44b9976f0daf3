#include "input/FFMpegInput.h"

#include <cinttypes>

#include "support/Platform.h"

namespace zan::streamer {

namespace {
constexpr char kNotRendered[] = "FFMpeg input: File could not be rendered.";
constexpr int kNotRenderedCode = 2;
}  // namespace

std::weak_ptr<CBBLog> FFMpegInput::s_logger;
std::mutex FFMpegInput::s_loggerLock;

FFMpegInput::FFMpegInput() = default;

FFMpegInput::~FFMpegInput() { close(); }

void FFMpegInput::destroyCore() {
  PWriteGuard write(coreLock_);
  core_.reset();
}

bool FFMpegInput::failOpen(Error* error, int result) {
  destroyCore();
  if (error) {
    error->setCode(kNotRenderedCode);
    error->setMessage(kNotRendered);
  }
  logError("FFMpegInput::open(): Init() failed %d", result);
  return false;
}

bool FFMpegInput::open(const MediumDescription* medium, Error* error) {
  {
    std::lock_guard<std::mutex> guard(s_loggerLock);
    logger_ = s_logger.lock();
    if (!logger_) {
      logger_ = std::make_shared<CBBLog>("FFMpegInput.log", false, kDefaultLogFileSize);
      s_logger = logger_;
    }
  }
  setCurrentLogger(logger_);
  if (medium == nullptr || medium->getLocation() == nullptr) {
    if (error) {
      error->setCode(kNotRenderedCode);
      error->setMessage(kNotRendered);
    }
    return false;
  }
  // An input is opened once; a second open replaces what the first made.
  if (core_) close();

  url_ = medium->getLocation();
  logInfo("FFMpegInput::open(%s)", url_.c_str());
  {
    PWriteGuard write(coreLock_);
    core_ = std::make_unique<FFMpegDecoderCore>();
  }
  if (skipAudio_) core_->skipAudioDecoding();
  if (skipVideo_) core_->skipVideoDecoding();

  int result = -1;
  const std::string protocol = medium->getProtocol() ? medium->getProtocol() : "";
  const std::string extension = medium->getExtension() ? medium->getExtension() : "";
  // Progressive downloads are opened by the core itself until the
  // library's own HTTP client takes them.
  {
    PReadGuard read(coreLock_);
    if (!core_) return false;
    const auto marker = url_.find("skipTranscoding=1");
    if (marker != std::string::npos && marker > 0) {
      logDebug("FFMpegInput failed to open skipTranscoding stream");
    } else {
      logDebug("NOT using HTTPClient");
      result = core_->init(url_, extension);
    }
  }
  if (result < 0) return failOpen(error, result);

  PReadGuard read(coreLock_);
  if (!core_) return false;
  const int64_t coreDuration = core_->duration();
  const uint64_t mediumDuration = medium->getDuration();
  bool override = false;
  if (coreDuration <= 0 && mediumDuration > 0) {
    override = true;
  } else if (mediumDuration == 0) {
    // A web medium without a duration of its own is reported with none.
    const MapGeneric* properties = medium->getProperties();
    const char* mediaType = properties ? properties->get("mediatype") : nullptr;
    const std::string type = mediaType ? mediaType : "";
    const auto web = type.find(".web");
    override = web != std::string::npos && web > 0 && !platform::fileExists(url_);
  }
  if (override) {
    logDebug("FFMpegInput::open(): override duration using medium info %u", static_cast<unsigned>(mediumDuration));
    core_->setDuration(static_cast<int64_t>(mediumDuration));
  }
  return true;
}

bool FFMpegInput::updateMedium(const MediumDescription* medium, Error* error) {
  close();
  return open(medium, error);
}

bool FFMpegInput::close() {
  stop();
  {
    PReadGuard read(coreLock_);
    if (core_) core_->close();
  }
  destroyCore();
  return true;
}

bool FFMpegInput::start() {
  running_ = true;
  return true;
}

bool FFMpegInput::stop() {
  running_ = false;
  return true;
}

bool FFMpegInput::pause() { return true; }

bool FFMpegInput::resume() { return true; }

bool FFMpegInput::isSingleInstance() { return false; }

PluginErrorCodes FFMpegInput::setBytePosition(uint64_t) { return PLUGIN_UNAVAILABLE; }

bool FFMpegInput::skipAudioDecoding() {
  PReadGuard read(coreLock_);
  skipAudio_ = true;
  return core_ ? core_->skipAudioDecoding() : true;
}

bool FFMpegInput::skipVideoDecoding() {
  PReadGuard read(coreLock_);
  skipVideo_ = true;
  return core_ ? core_->skipVideoDecoding() : true;
}

bool FFMpegInput::setVideoDecodingMode(DecodingMode::DecodingMode mode) {
  PReadGuard read(coreLock_);
  return core_ ? core_->setVideoDecodingMode(static_cast<int>(mode)) : false;
}

bool FFMpegInput::isSeekable() {
  PReadGuard read(coreLock_);
  return core_ && core_->duration() > 0;
}

void FFMpegInput::getMediumDescription(MediumDescription* medium) {
  PReadGuard read(coreLock_);
  if (core_ && medium) core_->getMediumDescription(medium);
}

void FFMpegInput::getInputStreamDescription(OutputStreamDescription* description) {
  PReadGuard read(coreLock_);
  if (core_ && description) core_->getInputStreamDescription(description);
}

void FFMpegInput::getOutputStreamDescription(OutputStreamDescription* description) {
  PReadGuard read(coreLock_);
  if (core_ && description) core_->getOutputStreamDescription(description);
}

bool FFMpegInput::readFrame(PACKETTYPE& type, uint8_t*& data, unsigned& size, uint64_t& time, uint64_t& duration,
                            void*& frameContext, bool& keyFrame) {
  PReadGuard read(coreLock_);
  PLockGuard reading(readLock_);
  if (!core_ || !running_) return false;
  data = nullptr;
  const bool ok = core_->decodeFromMedium(type, data, size, time, duration, frameContext, keyFrame);
  if (ok) {
    const uint64_t now = platform::tickCount();
    const int64_t elapsed = static_cast<int64_t>(now) - static_cast<int64_t>(lastReadLogTick_.load());
    // A negative difference means the tick counter wrapped.
    if (elapsed > static_cast<int64_t>(kReadTraceIntervalMs) || elapsed < 0) {
      if (isDebugEnabled()) logDebug("FFMpegInput : read timestamp %u (ms)", static_cast<unsigned>(time / 1000));
      lastReadLogTick_ = now;
    }
  }
  return ok;
}

void FFMpegInput::freeFrame(uint8_t* data, void*) { delete[] data; }

PluginErrorCodes FFMpegInput::getPosition(uint64_t& position) {
  PReadGuard read(coreLock_);
  if (!core_) return PLUGIN_UNAVAILABLE;
  core_->getPosition(position);
  return PLUGIN_OK;
}

PluginErrorCodes FFMpegInput::setTimePosition(uint64_t position) {
  PReadGuard read(coreLock_);
  if (!core_) return PLUGIN_UNAVAILABLE;
  logInfo("FFMpegInput::setPosition(): %ums", static_cast<unsigned>(position));
  pendingSeekTime_ = static_cast<int64_t>(position);
  const bool ok = core_->setPosition(position);
  pendingSeekTime_ = -1;
  if (!ok) {
    logError("FFMpegInput::setPosition : setPosition failed!");
    return PLUGIN_FAILED;
  }
  lastReadLogTick_ = 0;
  logInfo("FFMpegInput::setPosition(): done");
  return PLUGIN_OK;
}

PluginErrorCodes FFMpegInput::resetPosition(uint64_t position) {
  PReadGuard read(coreLock_);
  PLockGuard reading(readLock_);
  if (!core_) return PLUGIN_UNAVAILABLE;
  if (isInfoEnabled()) logInfo("FFMpegInput::resetPosition(): %ums", static_cast<unsigned>(position));
  core_->flush(position);
  lastReadLogTick_ = 0;
  if (isInfoEnabled()) logInfo("FFMpegInput::resetPosition(): done");
  return PLUGIN_OK;
}

bool FFMpegInput::getInputBufferStatus(unsigned&, unsigned&, unsigned&, unsigned&) {
  // Only media read through the HTTP client have a network buffer.
  return false;
}

void FFMpegInput::setInputEventCallback(InputEventCallback callback, void* userData) {
  std::lock_guard<std::mutex> guard(eventLock_);
  eventCallback_ = callback;
  eventUserData_ = userData;
}

}  // namespace zan::streamer
