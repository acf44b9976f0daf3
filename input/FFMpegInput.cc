#include "input/FFMpegInput.h"

#include <cinttypes>

#include "support/Platform.h"

namespace zan::streamer {

namespace {
constexpr char kNotRendered[] = "FFMpeg input: File could not be rendered.";
constexpr int kNotRenderedCode = 2;
constexpr char kUnreachable[] = "FFMpeg input: URL could not be reached.";
constexpr int kUnreachableCode = 404;

// The engine's message with the cause after it, for whoever shows it to a
// user: "FFMpeg input: File could not be rendered. (HTTP 404)".
std::string withCause(const char* message, const std::string& cause) {
  return cause.empty() ? std::string(message) : std::string(message) + " (" + cause + ")";
}
}  // namespace

std::weak_ptr<CBBLog> FFMpegInput::s_logger;
std::mutex FFMpegInput::s_loggerLock;

FFMpegInput::FFMpegInput() = default;

FFMpegInput::~FFMpegInput() { close(); }

// Both are closed under the shared lock before they are destroyed under the
// exclusive one. Closing the client waits for its network thread, and that
// thread may be in the connection-event callback, which takes the shared
// lock (getInputBufferStatus): with the exclusive lock held, each would
// wait for the other. Closing the client also releases a core read
// blocked on the download.
void FFMpegInput::destroyCore() {
  {
    PReadGuard read(coreLock_);
    if (httpClient_) httpClient_->close();
    if (core_) core_->close();
  }
  PWriteGuard write(coreLock_);
  httpClient_.reset();
  core_.reset();
}

void FFMpegInput::dropClient() {
  {
    PReadGuard read(coreLock_);
    if (httpClient_) httpClient_->close();
  }
  PWriteGuard write(coreLock_);
  httpClient_.reset();
}

bool FFMpegInput::failOpen(Error* error, int result, const std::string& cause) {
  close();
  if (error) {
    error->setCode(kNotRenderedCode);
    error->setMessage(withCause(kNotRendered, cause).c_str());
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
  bool usedHttp = false;
  unsigned headerDuration = 0;
  std::string forcedExtension;
  const std::string protocol = medium->getProtocol() ? medium->getProtocol() : "";
  const std::string extension = medium->getExtension() ? medium->getExtension() : "";
  if (isProgressiveDownloadSupported(protocol, extension)) {
    usedHttp = true;
    bool clientOpened = false;
    result = openThroughClient(medium, error, clientOpened);
    // A server that cannot be reached fails the open; the core and the
    // client stay until close.
    if (!clientOpened) return false;
    {
      PReadGuard read(coreLock_);
      if (httpClient_) {
        headerDuration = httpClient_->getStreamDuration();
        forcedExtension = httpClient_->getForcedExtension();
      }
    }
    // When the core opens the location itself, the client has nothing more
    // to do: kept, its idle buffer would steer the backlog purge, the
    // seekable cap and the buffer status of a medium it does not carry.
    if (result < 0) dropClient();
  }
  if (result < 0) {
    // No progressive download, or the download could not feed the core:
    // the core opens the location itself.
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
  if (result < 0) {
    std::string cause;
    {
      PReadGuard read(coreLock_);
      if (core_) cause = core_->openFailureCause();
    }
    return failOpen(error, result, cause);
  }

  PReadGuard read(coreLock_);
  if (!core_) return false;
  if (usedHttp) {
    // The server's headers count whether or not the download fed the core.
    if (headerDuration > 0) {
      logDebug("FFMpegInput::open(): override duration using HTTP/MMSH header info %u", headerDuration);
      core_->setDuration(static_cast<int64_t>(headerDuration));
    }
    if (!forcedExtension.empty())
      logDebug("FFMpegInput::open(): override extension using HTTP/MMSH header info %s", forcedExtension.c_str());
    return true;
  }
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

int FFMpegInput::openThroughClient(const MediumDescription* medium, Error* error, bool& clientOpened) {
  logDebug("Using HTTPClient");
  {
    PWriteGuard write(coreLock_);
    httpClient_ = std::make_unique<HTTPClient>(kDownloadBufferSize, kDownloadHistorySize);
    // Registered before the download starts: a short resource may be
    // complete (or broken off) before open returns, and its event must not
    // be lost.
    httpClient_->connectionEventUserData = this;
    httpClient_->connectionEventCallback = &FFMpegInput::_connectionEventCallback;
  }
  PReadGuard read(coreLock_);
  if (!httpClient_ || !core_) return -1;
  if (!httpClient_->open(url_, error)) {
    logError("FFMpegInput::open(): HTTP Client open failed");
    if (error) {
      error->setCode(kUnreachableCode);
      error->setMessage(withCause(kUnreachable, httpClient_->getFailureCause()).c_str());
    }
    clientOpened = false;
    return -1;
  }
  clientOpened = true;
  // The core's probing reads through the byte callbacks, which refuse to
  // work while the input is not running.
  running_ = true;
  std::string format = getFFMpegFormatFromExtension(medium->getExtension() ? medium->getExtension() : "");
  const std::string forced = httpClient_->getForcedExtension();
  if (!forced.empty()) format = getFFMpegFormatFromExtension(forced.c_str());
  return core_->initWithTransportStream(medium->getLocation(), format, &FFMpegInput::_HTTPReadCallback,
                                        &FFMpegInput::_HTTPSeekCallback, this);
}

bool FFMpegInput::updateMedium(const MediumDescription* medium, Error* error) {
  close();
  return open(medium, error);
}

bool FFMpegInput::close() {
  stop();
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
  if (!core_ || !medium) return;
  core_->getMediumDescription(medium);
  if (httpClient_ && !httpClient_->isSeekable()) {
    logDebug("FFMpegInput::getMediumDescription seekable cap prevented by HTTP client");
    medium->setSeekable(false);
  }
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
  bool broke = false;
  const bool ok = readFrameLocked(type, data, size, time, duration, frameContext, keyFrame, broke);
  // A download FFmpeg makes itself broke off during the read: reported as
  // the library's own client reports one, with no lock of the input held;
  // what arrived is still delivered.
  if (broke && running_) connectionEventCallback(ConnectionEvent::BROKEN_STREAM);
  return ok;
}

bool FFMpegInput::readFrameLocked(PACKETTYPE& type, uint8_t*& data, unsigned& size, uint64_t& time,
                                  uint64_t& duration, void*& frameContext, bool& keyFrame, bool& broke) {
  PReadGuard read(coreLock_);
  PLockGuard reading(readLock_);
  if (!core_ || !running_) return false;
  data = nullptr;
  const bool ok = core_->decodeFromMedium(type, data, size, time, duration, frameContext, keyFrame);
  broke = core_->takeDownloadBreak();
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
  if (httpClient_) purgeNetworkBacklog();
  lastReadLogTick_ = 0;
  if (isInfoEnabled()) logInfo("FFMpegInput::resetPosition(): done");
  return PLUGIN_OK;
}

// Discards demultiplexed packets of the old position until the reader has
// come within kPurgeMargin bytes of where the download stood when the reset
// began, or fewer than that are buffered, or no packet can be read.
void FFMpegInput::purgeNetworkBacklog() {
  const int64_t start = httpClient_->getBufferReadIndex();
  const int64_t end = start + httpClient_->getAvailableBytes();
  logDebug("Flushing network buffer. Initial r/w: %d/%d", static_cast<int>(start), static_cast<int>(end));
  int count = 0;
  int64_t current = start;
  PACKETTYPE type = PACKET_END;
  int64_t timestamp = 0, duration = 0;
  bool failed = !core_->skipPacket(type, timestamp, duration);
  if (!failed) {
    const int64_t limit = end - kPurgeMargin;
    for (;;) {
      current = httpClient_->getBufferReadIndex();
      ++count;
      if (count % kPurgeTraceEvery == 1)
        logDebug("Flushing network buffer skipped packet %d. current r: %d", static_cast<int>(timestamp),
                 static_cast<int>(current));
      if (static_cast<uint64_t>(current) >= static_cast<uint64_t>(limit)) break;
      if (httpClient_->getAvailableBytes() < kPurgeMargin) {
        logDebug("Flushing network buffer. buffer empty");
        break;
      }
      if (!core_->skipPacket(type, timestamp, duration)) {
        failed = true;
        break;
      }
    }
  }
  if (failed && isWarnEnabled()) logWarn("FFMpegInput::resetPosition: skipPacket failed");
  logDebug("FFMpegInput::resetPosition: flushed %d network packets. Final ts/r: %d/%d", count,
           static_cast<int>(timestamp), static_cast<int>(current));
}

bool FFMpegInput::getInputBufferStatus(unsigned& readPosition, unsigned& historyStart, unsigned& bufferedEnd,
                                       unsigned& contentLength) {
  PReadGuard read(coreLock_);
  if (!httpClient_) return false;
  int64_t position = 0, history = 0, end = 0, length = 0;
  if (!httpClient_->getBufferStatus(position, history, end, length)) return false;
  readPosition = static_cast<unsigned>(position);
  historyStart = static_cast<unsigned>(history);
  bufferedEnd = static_cast<unsigned>(end);
  contentLength = static_cast<unsigned>(length);
  return true;
}

void FFMpegInput::setInputEventCallback(InputEventCallback callback, void* userData) {
  {
    std::lock_guard<std::mutex> guard(eventLock_);
    eventCallback_ = callback;
    eventUserData_ = userData;
  }
  PReadGuard read(coreLock_);
  if (httpClient_) {
    httpClient_->connectionEventUserData = this;
    httpClient_->connectionEventCallback = &FFMpegInput::_connectionEventCallback;
  }
}

void FFMpegInput::_connectionEventCallback(ConnectionEvent::ConnectionEvent event, void* userData) {
  if (userData) static_cast<FFMpegInput*>(userData)->connectionEventCallback(event);
}

void FFMpegInput::connectionEventCallback(ConnectionEvent::ConnectionEvent event) {
  const char* name = event == ConnectionEvent::END_OF_FILE_RECEIVED ? "END_OF_FILE_RECEIVED"
                     : event == ConnectionEvent::BROKEN_STREAM      ? "BROKEN_STREAM"
                                                                    : "";
  unsigned readPosition = 0, historyStart = 0, bufferedEnd = 0, contentLength = 0;
  if (getInputBufferStatus(readPosition, historyStart, bufferedEnd, contentLength) && isDebugEnabled())
    logDebug("FFMpegInput: %s received, getInputBufferStatus %d / %d-%d / %d", name, static_cast<int>(readPosition),
             static_cast<int>(historyStart), static_cast<int>(bufferedEnd), static_cast<int>(contentLength));
  InputEventCallback callback;
  void* userData;
  {
    std::lock_guard<std::mutex> guard(eventLock_);
    callback = eventCallback_;
    userData = eventUserData_;
  }
  if (callback == nullptr) return;
  // Called with no lock of the input held.
  if (event == ConnectionEvent::END_OF_FILE_RECEIVED)
    callback(InputEvent::INPUT_END_OF_FILE, 0, 0, userData);
  else if (event == ConnectionEvent::BROKEN_STREAM)
    callback(InputEvent::INPUT_BROKEN_STREAM, 0, 0, userData);
}

}  // namespace zan::streamer
