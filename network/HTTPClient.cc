// The HTTP client: open, the network thread's side (storing data, end of
// download), the decoder's side (read, seek) and the status queries.
#include "network/HTTPClient.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <QString>

#include "network/CircularMemoryHistoryBuffer.h"
#include "network/QTHTTPRequestHandler.h"
#include "network/QtRuntime.h"
#include "support/CBBLog.h"
#include "support/Platform.h"

namespace zan {


HTTPClient::HTTPClient(unsigned bufferSize, unsigned historySize)
    : m_buffer(std::make_unique<CircularMemoryHistoryBuffer>(bufferSize, historySize)),
      m_bufferSize(bufferSize),
      m_historySize(historySize) {
  m_reader = m_buffer->createReader();
}

HTTPClient::~HTTPClient() { close(); }

bool HTTPClient::isStopped() {
  PLockGuard guard(m_stopLock);
  return m_stopLock.flag;
}

bool HTTPClient::open(const std::string& url, zan::streamer::Error* error) {
  return open(QString::fromUtf8(url.data(), static_cast<qsizetype>(url.size())).toStdWString(), error);
}

bool HTTPClient::open(const std::wstring& url, zan::streamer::Error* error) {
  if (url != m_url) m_url = url;
  m_dataStarted = false;
  ensureQtApplication();

  // A second open stops the first download (releasing a network thread
  // blocked on a full buffer first) and starts again from an empty buffer.
  {
    PReadGuard guard(m_lock);
    if (!m_buffer || isStopped()) return false;
    if (m_handler) {
      m_buffer->suspendWrites();
      m_handler->close();
    }
  }
  {
    PWriteGuard guard(m_lock);
    if (!m_buffer) return false;
    m_handler.reset();
    m_buffer->reset();
    m_buffer->setStartOffset(0);
    auto handler = std::make_unique<QTHTTPRequestHandler>();
    handler->setDataCallback([this](const uint8_t* data, int64_t length) { return dataReceived(data, length); });
    handler->setEndOfFileCallback([this] { endOfFileReceived(); });
    handler->setBrokenStreamCallback([this] { brokenStreamReceived(); });
    handler->setTimeout(kRequestTimeoutMs);
    m_handler = std::move(handler);
  }

  PReadGuard guard(m_lock);
  if (!m_handler) return false;
  m_downloadStartTick = platform::tickCount();  // statistics of chunks that arrive during open
  m_failureCause.clear();
  if (!m_handler->open(m_url)) {
    const int code = m_handler->getErrorCode();
    m_failureCause = m_handler->getFailureCause();
    if (error != nullptr) {
      char message[64];
      std::snprintf(message, sizeof message, "HTTP: Server error %d", code);
      error->setCode(2);
      error->setMessage(message);
    }
    logError("HTTPClient::open: server error %d", 2);
    return false;
  }
  m_contentLength = m_handler->getContentLength();
  m_contentType = m_handler->getContentType();
  if (m_handler->hasResponseHeader("Zan-Stream-Duration")) {
    m_streamDuration = static_cast<unsigned>(std::atoi(m_handler->getResponseHeader("Zan-Stream-Duration").c_str()));
  }
  if (m_handler->hasResponseHeader("Zan-Force-Extension")) {
    m_forcedExtension = m_handler->getResponseHeader("Zan-Force-Extension");
  }
  if (m_handler->hasResponseHeader("Zan-Streaming")) {
    const std::string value = m_handler->getResponseHeader("Zan-Streaming");
    m_zanStreaming = true;
    m_directStreaming = value == "direct";
    logDebug("HTTPClient::open : Zan Streaming header %s", value.c_str());
  }
  m_downloadStartTick = platform::tickCount();
  return true;
}

int64_t HTTPClient::dataReceived(const uint8_t* data, int64_t length) {
  if (isStopped()) return -1;
  if (m_dataHandler) return m_dataHandler(data, length);
  PReadGuard guard(m_lock);
  if (!m_buffer) return -1;
  const int64_t stored = m_buffer->write(data, length, true);
  if (isStopped()) return -1;
  if (stored > 0 && isDebugEnabled()) updateStatistics(stored);
  m_dataStarted = true;
  return stored;
}

// Called under m_lock (shared).
void HTTPClient::updateStatistics(int64_t length) {
  if (!m_dataStarted) {
    logDebug("HTTPClient:: data received");
    m_bytesDownloaded = 0;
    m_lastReportTick = 0;
  }
  m_bytesDownloaded += length;
  const int64_t now = platform::tickCount();
  const int64_t elapsed = now - static_cast<int64_t>(m_downloadStartTick.load());
  const int64_t kbps = elapsed > 0 ? m_bytesDownloaded * 8 / elapsed : 0;
  const int64_t buffered = m_reader ? m_reader->getAvailable() : 0;
  const int64_t fill = m_bufferSize > m_historySize ? buffered * 100 / (m_bufferSize - m_historySize) : 0;
  if (now > m_lastReportTick + 10000 || (fill < 20 && now > m_lastReportTick + 5000)) {
    logDebug("HTTPClient : buffer size %dB (%u%% full), total downloaded: %ukB in %us @ %ukbps",
             static_cast<int>(buffered), static_cast<unsigned>(fill),
             static_cast<unsigned>(m_bytesDownloaded / 1024), static_cast<unsigned>(elapsed / 1000),
             static_cast<unsigned>(kbps));
    m_lastReportTick = now;
  }
}

int HTTPClient::read(uint8_t* data, int64_t length) {
  if (isStopped()) return -1;
  PReadGuard guard(m_lock);
  if (!m_buffer || !m_reader || data == nullptr || length < 0) return -1;
  length = std::min<int64_t>(length, INT_MAX);
  if (length == 0) return 0;
  std::memset(data, 0, static_cast<size_t>(length));
  // Never wait for more than the ring can ever hold ahead of the reader.
  const int64_t minimum = std::clamp<int64_t>(length, 1, std::max<int64_t>(m_bufferSize - m_historySize - 1, 1));
  int64_t delivered = length;
  const bool blocking = !m_buffer->isEndOfStream();
  return static_cast<int>(m_reader->read(data, &delivered, minimum, length, blocking));
}

int64_t HTTPClient::seek(int64_t offset, int whence, int64_t timeMs) {
  const int64_t result = seekInBuffer(offset, whence);
  if (result >= 0 || whence == kSeekSize) return result;
  return seekWithRequest(offset, whence, timeMs);
}

int64_t HTTPClient::seekInBuffer(int64_t offset, int whence) {
  if (isStopped()) return -1;
  PReadGuard guard(m_lock);
  if (!m_handler || !m_buffer || !m_reader) return -1;
  if (whence == kSeekSize) {
    logDebug("HTTPClient::seek : AVSEEK_SIZE %lld", static_cast<long long>(m_contentLength.load()));
    // An unknown length is no length of 0: FFmpeg takes -1 as "unknown".
    return m_contentLength > 0 ? m_contentLength.load() : -1;
  }
  if (whence == SEEK_END) {
    logDebug("HTTPClient::seek : SEEK_END");
    return -1;
  }
  if (whence == SEEK_CUR) offset += m_reader->getPosition();
  if (offset < 0) {
    logDebug("HTTPClient::seek %lld - buf status %lld - negative offset", static_cast<long long>(offset),
             static_cast<long long>(m_buffer->getTotalWritten()));
    return -1;
  }
  while (!m_buffer->isEndOfStream()) {
    if (m_reader->isOffsetInBuffer(offset)) break;
    const int64_t position = m_reader->getPosition();
    if (offset < position) break;
    if (offset > position + m_reader->getAvailable() + kForwardWaitWindow) break;
    // A full ring cannot take the bytes up to the target until the reader
    // moves: waiting would never end.
    if (m_buffer->getFreeSpace() == 0) break;
    if (m_stopLock.waitForFlag(kForwardWaitStepMs)) return -1;
  }
  return m_reader->seek(offset) ? offset : -1;
}

int64_t HTTPClient::seekWithRequest(int64_t offset, int whence, int64_t timeMs) {
  if (isStopped()) return -1;
  PReadGuard guard(m_lock);
  if (!m_handler || !m_buffer || !m_reader) return -1;
  if (whence == SEEK_CUR) {
    offset += m_reader->getPosition();
  } else if (whence == SEEK_END) {
    // Relative to the end, which must be known.
    if (m_contentLength <= 0) return -1;
    offset += m_contentLength;
  }
  if (offset < 0) return -1;
  if (!m_handler->isSeekable()) {
    logWarn("HTTPClient::seek : seek failed");
    return -1;
  }
  logDebug("HTTPClient::seek %lld", static_cast<long long>(offset));

  // Release the network thread if it waits for room and keep it from
  // storing more, so that the handler can stop the old transfer; the reset
  // below, made once it has stopped and before the new request goes out,
  // reopens the buffer for the new transfer alone.
  m_buffer->suspendWrites();
  auto beforeRestart = [this, offset]() -> bool {
    PLockGuard stop(m_stopLock);
    if (m_stopLock.flag) return false;
    m_buffer->reset();
    m_buffer->setStartOffset(offset);
    return true;
  };
  if (!m_handler->seek(offset, timeMs, beforeRestart)) {
    // Nothing more will arrive: readers get the end, not a wait forever.
    m_buffer->setEndOfStream();
    return -1;
  }
  logDebug("HTTPClient::seek - seeked with request");
  return offset;
}

void HTTPClient::raise(ConnectionEvent::ConnectionEvent event) {
  // The event is recorded before the buffer is marked ended, so that a
  // reader who saw the end and then registers gets it.
  ConnectionEventCallback callback = nullptr;
  void* userData = nullptr;
  {
    PLockGuard guard(m_eventLock);
    callback = connectionEventCallback.value_;
    userData = connectionEventUserData.value_;
    if (callback == nullptr || userData == nullptr) {
      // Kept for the assignment that completes the registration.
      m_eventPending = true;
      m_pendingEvent = event;
    } else {
      m_eventPending = false;
    }
  }
  {
    PReadGuard guard(m_lock);
    if (m_buffer) m_buffer->setEndOfStream();
  }
  if (callback != nullptr && userData != nullptr) callback(event, userData);
}

void HTTPClient::endOfFileReceived() {
  if (isStopped()) return;
  raise(ConnectionEvent::END_OF_FILE_RECEIVED);
}

void HTTPClient::brokenStreamReceived() {
  if (isStopped()) return;
  logWarn("HTTPClient : the download broke off");
  raise(ConnectionEvent::BROKEN_STREAM);
}

int64_t HTTPClient::getAvailableBytes() {
  PReadGuard guard(m_lock);
  return m_reader ? m_reader->getAvailable() : 0;
}

int64_t HTTPClient::getBufferReadIndex() {
  PReadGuard guard(m_lock);
  return m_reader ? m_reader->getStorageIndex() : 0;
}

bool HTTPClient::getBufferStatus(int64_t& readPosition, int64_t& historyStart, int64_t& bufferedEnd,
                                 int64_t& contentLength) {
  if (isStopped()) return false;
  PReadGuard guard(m_lock);
  if (!m_reader || !m_buffer) return false;
  int64_t available = 0;
  m_reader->getStatus(readPosition, historyStart, available);
  bufferedEnd = readPosition + available;
  contentLength = m_contentLength;
  return true;
}

void HTTPClient::setDataHandler(DataHandler handler) { m_dataHandler = std::move(handler); }

bool HTTPClient::isSeekable() {
  PReadGuard guard(m_lock);
  return m_handler ? m_handler->isSeekable() : false;
}

void HTTPClient::disableSeeking() {
  PReadGuard guard(m_lock);
  if (!m_handler) return;
  m_handler->setTimeSeekable(false);
  m_handler->setByteSeekable(false);
}

bool HTTPClient::close() {
  m_stopLock.setFlag(true);
  {
    PReadGuard guard(m_lock);
    if (m_buffer) {
      m_buffer->setEndOfStream();
      m_buffer->shutdown();
    }
    if (m_handler) m_handler->close();
  }
  PWriteGuard guard(m_lock);
  m_reader = nullptr;
  if (m_buffer) m_buffer->close();
  m_buffer.reset();
  m_handler.reset();
  return true;
}

}  // namespace zan
