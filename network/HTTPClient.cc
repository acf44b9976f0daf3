// The HTTP client: open, the network thread's side (storing data, end of
// download), the decoder's side (read, seek) and the status queries.
#include "network/HTTPClient.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include <QString>

#include "network/CircularMemoryHistoryBuffer.h"
#include "network/HttpHeaderValues.h"
#include "network/QTHTTPRequestHandler.h"
#include "network/QtRuntime.h"
#include "support/CBBLog.h"
#include "support/NetworkTimeouts.h"
#include "support/Platform.h"

namespace zan {

namespace {
// The client whose connection-event callback runs on this thread.
thread_local const HTTPClient* t_raisingClient = nullptr;
}  // namespace

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
    handler->setDataCallback([this](int64_t length, const ByteSource& source) { return bodyReceived(length, source); });
    handler->setEndOfFileCallback([this] { endOfFileReceived(); });
    handler->setBrokenStreamCallback([this] { brokenStreamReceived(); });
    handler->setTimeout(headerTimeoutMs());
    m_handler = std::move(handler);
  }

  PReadGuard guard(m_lock);
  // A close() that came before the handler existed: it could not stop it.
  if (!m_handler || isStopped()) return false;
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
    const std::string text = m_handler->getResponseHeader("Zan-Stream-Duration");
    unsigned duration = 0;
    if (parseStreamDuration(text, duration)) {
      m_streamDuration = duration;
    } else {
      logWarn("HTTPClient::open : ignored Zan-Stream-Duration \"%s\"", text.c_str());
    }
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
  if (data == nullptr) return -1;
  return bodyReceived(length, [&data](uint8_t* destination, int64_t count) {
    std::memcpy(destination, data, static_cast<size_t>(count));
    data += count;
  });
}

int64_t HTTPClient::bodyReceived(int64_t length, const ByteSource& source) {
  if (isStopped()) return -1;
  if (m_dataHandler) {
    std::vector<uint8_t> bytes(static_cast<size_t>(std::max<int64_t>(length, 0)));
    if (length > 0) source(bytes.data(), length);
    return m_dataHandler(bytes.data(), length);
  }
  PReadGuard guard(m_lock);
  if (!m_buffer) return -1;
  const int64_t stored = m_buffer->writeFrom(source, length, true);
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
  if (isStopped() || m_positionLost) return -1;
  PReadGuard guard(m_lock);
  if (!m_buffer || !m_reader || data == nullptr || length < 0) return -1;
  length = std::min<int64_t>(length, INT_MAX);
  if (length == 0) return 0;
  // Never wait for more than the ring can ever hold ahead of the reader.
  const int64_t minimum = std::clamp<int64_t>(length, 1, std::max<int64_t>(m_bufferSize - m_historySize - 1, 1));
  int64_t delivered = length;
  const bool blocking = !m_buffer->isEndOfStream();
  const int64_t result = m_reader->read(data, &delivered, minimum, length, blocking);
  // What was not delivered reads as zeros (only that part: the rest has
  // just been written).
  const int64_t filled = result > 0 ? result : 0;
  std::memset(data + filled, 0, static_cast<size_t>(length - filled));
  return static_cast<int>(result);
}

int64_t HTTPClient::seek(int64_t offset, int whence, int64_t timeMs) {
  // Where "here" is, is not known any more.
  if (m_positionLost && whence == SEEK_CUR) return -1;
  int64_t result = seekInBuffer(offset, whence);
  if (whence == kSeekSize) return result;
  if (result < 0) result = seekWithRequest(offset, whence, timeMs);
  if (result >= 0) m_positionLost = false;
  return result;
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
  if (m_reader->seek(offset)) return offset;
  const int64_t position = m_reader->getPosition();
  if (offset < position || m_buffer->isEndOfStream()) return -1;
  // Ahead of the download. A server that can restart it is asked for a far
  // target; from one that cannot, every target the download will reach is
  // waited for.
  const bool restartable = m_handler->isSeekable();
  if (restartable && offset > position + m_reader->getAvailable() + kForwardWaitWindow) return -1;
  if (!restartable && m_contentLength > 0 && offset >= m_contentLength) return -1;
  if (waitForOffset(offset, restartable)) return offset;
  if (isStopped()) return -1;
  // The reader may have skipped ahead to make room: back to where it was,
  // for the caller still reads from there. When that lies behind the
  // history, no read may hand over bytes of another offset: the stream
  // fails until a seek succeeds.
  if (m_reader->getPosition() != position && !m_reader->seek(position)) {
    logError("HTTPClient::seek : the read position %lld is lost, reads fail", static_cast<long long>(position));
    m_positionLost = true;
  }
  return -1;
}

// Called under m_lock (shared). Gives up when the download ends or is
// stopped first, when it brings nothing for the stall limit, or (when a
// request can fetch the target instead) when the ring is full.
bool HTTPClient::waitForOffset(int64_t offset, bool restartable) {
  std::vector<uint8_t> scratch;
  int64_t lastEnd = m_buffer->getWrittenEnd();
  auto lastProgress = std::chrono::steady_clock::now();
  for (;;) {
    if (m_reader->seek(offset)) return true;
    if (m_buffer->isEndOfStream()) return false;
    if (m_buffer->getFreeSpace() == 0) {
      // The download cannot go on while the reader does not move.
      if (restartable || m_contentLength <= 0) return false;
      // The target lies ahead of a full ring on a server that cannot be
      // asked for it: what lies between is passed over, so that the
      // download goes on.
      const int64_t skip = std::min<int64_t>(m_reader->getAvailable(), offset - m_reader->getPosition());
      scratch.resize(static_cast<size_t>(std::min<int64_t>(skip, 1 << 16)));
      for (int64_t left = skip; left > 0;) {
        int64_t length = std::min<int64_t>(left, static_cast<int64_t>(scratch.size()));
        if (m_reader->read(scratch.data(), &length, length, length, false) <= 0) return false;
        left -= length;
      }
      continue;
    }
    if (m_stopLock.waitForFlag(kForwardWaitStepMs)) return false;
    const auto now = std::chrono::steady_clock::now();
    const int64_t end = m_buffer->getWrittenEnd();
    if (end != lastEnd) {
      lastEnd = end;
      lastProgress = now;
    } else if (now - lastProgress >= std::chrono::milliseconds(stallTimeoutMs())) {
      logWarn("HTTPClient::seek : the download stalled before offset %lld", static_cast<long long>(offset));
      return false;
    }
  }
}

int64_t HTTPClient::seekWithRequest(int64_t offset, int whence, int64_t timeMs) {
  if (isStopped()) return -1;
  std::optional<ConnectionEvent::ConnectionEvent> event;
  int64_t result = -1;
  {
    PReadGuard guard(m_lock);
    result = seekWithRequestLocked(offset, whence, timeMs, event);
  }
  // The user hears of the old download's end with no lock held.
  if (event) raise(*event);
  return result;
}

// Called under m_lock (shared). |event|: what to tell the user afterwards
// about the old download, when the seek failed.
int64_t HTTPClient::seekWithRequestLocked(int64_t offset, int whence, int64_t timeMs,
                                          std::optional<ConnectionEvent::ConnectionEvent>& event) {
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
  // storing more, so that the handler can stop the old transfer. The buffer
  // is emptied for the new transfer only once its answer is accepted
  // (before its first byte): a seek that fails leaves it as it was.
  const bool complete = m_buffer->isEndOfStream();
  // The old transfer may end or break while it is being stopped: what that
  // means is decided once the seek's outcome is known.
  holdEvents(true);
  m_buffer->suspendWrites();
  const bool moved = restartDownload(offset, timeMs, true);
  const std::optional<ConnectionEvent::ConnectionEvent> held = holdEvents(false);
  if (moved) {
    logDebug("HTTPClient::seek - seeked with request");
    return offset;
  }
  if (isStopped()) return -1;
  if (held == ConnectionEvent::END_OF_FILE_RECEIVED) {
    // The old download was complete after all.
    logWarn("HTTPClient::seek : seek to %lld failed", static_cast<long long>(offset));
    m_buffer->resumeWrites();
    event = held;
    return -1;
  }
  // The old transfer has been stopped: go on with it where it stood, so
  // that the reader keeps its place and the bytes after it.
  const int64_t resumeAt = m_buffer->getWrittenEnd();
  if (!complete && !m_buffer->isEndOfStream()) {
    logWarn("HTTPClient::seek : seek to %lld failed, the download goes on at %lld", static_cast<long long>(offset),
            static_cast<long long>(resumeAt));
    if (!restartDownload(resumeAt, -1, false)) {
      // Nothing more will arrive: readers get what is there, then the break.
      logError("HTTPClient::seek : the download could not be resumed at %lld", static_cast<long long>(resumeAt));
      event = ConnectionEvent::BROKEN_STREAM;
    }
  } else {
    logWarn("HTTPClient::seek : seek to %lld failed", static_cast<long long>(offset));
  }
  m_buffer->resumeWrites();
  return -1;
}

// Called under m_lock (shared), with the buffer's writes suspended. A new
// GET: a seek to |offset| whose accepted answer empties the buffer and
// restarts it at |offset| (|empty|), or the resumption of the download at
// |offset|, the buffer's written end, whose bytes follow what it holds.
// False when the answer was refused or the client stopped; the buffer then
// holds what it held, unless the answer was accepted just as the handler
// gave up on it (the buffer is then ended).
bool HTTPClient::restartDownload(int64_t offset, int64_t timeMs, bool empty) {
  struct State {
    PMutex lock;
    bool accepted = false;
    bool abandoned = false;
  };
  auto state = std::make_shared<State>();
  auto onAccepted = [this, state, offset, empty]() -> bool {
    PLockGuard guard(state->lock);
    // Held while the buffer is reopened: close() must not shut it down in
    // between.
    PLockGuard stop(m_stopLock);
    if (state->abandoned || m_stopLock.flag) return false;
    if (empty) {
      m_buffer->reset();
      m_buffer->setStartOffset(offset);
      // What the old transfer said no longer matters; the new one's events
      // go through.
      holdEvents(false);
    } else {
      m_buffer->resumeWrites();
    }
    state->accepted = true;
    return true;
  };
  const bool started = empty ? m_handler->seek(offset, timeMs, onAccepted) : m_handler->resume(offset, onAccepted);
  if (started) return true;
  PLockGuard guard(state->lock);
  state->abandoned = true;
  if (state->accepted) m_buffer->setEndOfStream();
  return false;
}

std::optional<ConnectionEvent::ConnectionEvent> HTTPClient::holdEvents(bool hold) {
  PLockGuard guard(m_eventLock);
  m_holdingEvents = hold;
  std::optional<ConnectionEvent::ConnectionEvent> held;
  held.swap(m_heldEvent);
  return held;
}

void HTTPClient::raise(ConnectionEvent::ConnectionEvent event) {
  // The event is recorded before the buffer is marked ended, so that a
  // reader who saw the end and then registers gets it.
  ConnectionEventCallback callback = nullptr;
  void* userData = nullptr;
  {
    PLockGuard guard(m_eventLock);
    if (m_holdingEvents) {
      m_heldEvent = event;
      return;
    }
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
  if (callback != nullptr && userData != nullptr) {
    // close() from the callback must not wait for this very thread.
    t_raisingClient = this;
    callback(event, userData);
    t_raisingClient = nullptr;
  }
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
  // From the connection-event callback, on the network thread: the buffer
  // and the handler that thread runs in are destroyed later, by the
  // destructor (or a close from another thread).
  if (t_raisingClient == this) return true;
  PWriteGuard guard(m_lock);
  m_reader = nullptr;
  if (m_buffer) m_buffer->close();
  m_buffer.reset();
  m_handler.reset();
  return true;
}

}  // namespace zan
