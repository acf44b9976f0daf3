// Progressive download of one HTTP resource for the input plug-in.
//
// Data flow: the request handler's network thread pushes the response body
// into a history buffer (dataReceived); the decoder thread pulls it out
// with read() and moves with seek(). A seek is served from the buffer when
// the target is there (behind the reader, within the kept history) or
// about to arrive (up to 1 MiB past the downloaded end, waited for in
// 150 ms steps); otherwise the download restarts at the target with a new
// request ("Range" and/or "Zan-seek"). A server that cannot restart the
// download has every forward target the download will reach waited for
// (passing over what lies between when the ring is full). A wait ends when
// the download brings nothing for the stall limit. A seek that fails
// leaves the reader where it was and the download going: a refused new
// request is followed by one that resumes the old download where it
// stopped; when the reader cannot be put back (it passed over its history
// waiting), reads fail rather than return bytes of another offset. A cut
// transfer is resumed by the handler where the server allows ranges. The
// end of the download, complete or broken off for good, is reported
// through connectionEventCallback.
//
// Ownership: the client owns the buffer (with its one reader) and the
// handler; close() releases every waiter and destroys them.
//
// Thread safety: read/seek/status queries (decoder thread), dataReceived/
// endOfFileReceived (network thread) and close (any thread) may run at the
// same time. Lock order: m_lock, then the handler's locks, then the
// buffer's. connectionEventCallback is called on the network thread with
// no lock held; it may call close() (which then leaves the destruction to
// the destructor). While a seek restarts the download, the old transfer's
// end or break is held back and settled by the seek's outcome.
//
// Events before registration: a short download often ends before open()
// returns, i.e. before its user can assign the callback. An event raised
// while the callback or its user data is still null is kept, and delivered
// (once, on the assigning thread) by the assignment that makes both
// non-null.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "network/CircularHistoryBuffer.h"
#include "network/HTTPRequestHandler.h"
#include "support/PMutex.h"
#include "zan/streamer/EngineRecords.h"
#include "zan/streamer/Types.h"

namespace zan {

class HTTPClient {
 public:
  using ConnectionEventCallback = void (*)(ConnectionEvent::ConnectionEvent event, void* userData);
  using DataHandler = std::function<int64_t(const uint8_t* data, int64_t length)>;

  static constexpr int kSeekSize = 0x10000;  // FFmpeg's AVSEEK_SIZE
  static constexpr int64_t kForwardWaitWindow = 0x100000;
  static constexpr int kForwardWaitStepMs = 150;

  // A history buffer of |bufferSize| bytes keeping |historySize| bytes
  // behind the reader (the input uses 0xA00000 and 0x200000).
  HTTPClient(unsigned bufferSize, unsigned historySize);
  virtual ~HTTPClient();
  HTTPClient(const HTTPClient&) = delete;
  HTTPClient& operator=(const HTTPClient&) = delete;

  // Sends HEAD and GET and returns once the GET's headers are in; the body
  // then flows into the buffer. On failure |error| (may be null) gets code
  // 2 and "HTTP: Server error %d". The URL is UTF-8 in the second form.
  virtual bool open(const std::wstring& url, zan::streamer::Error* error);
  bool open(const std::string& url, zan::streamer::Error* error);
  // Stops for good; every later call returns its failure value.
  virtual bool close();
  // Blocks until |length| bytes are there (or the download ended); the
  // bytes read, 0 at the end, -1 when closed.
  virtual int read(uint8_t* data, int64_t length);
  // Network thread: stores a chunk, waiting while the buffer is full.
  virtual int64_t dataReceived(const uint8_t* data, int64_t length);
  // The same with the bytes copied from |source| straight into the buffer.
  int64_t bodyReceived(int64_t length, const ByteSource& source);
  // |whence|: 0 SEEK_SET, 1 SEEK_CUR, 2 SEEK_END, 0x10000 size query.
  // |timeMs| >= 0 asks a time-seeking server for that time. The new
  // offset, or -1.
  virtual int64_t seek(int64_t offset, int whence, int64_t timeMs);
  // Network thread: the whole body arrived.
  virtual void endOfFileReceived();
  // Network thread: the download broke off; reads still return what came.
  virtual void brokenStreamReceived();
  virtual int64_t getAvailableBytes();
  virtual int64_t getBufferReadIndex();
  virtual bool getBufferStatus(int64_t& readPosition, int64_t& historyStart, int64_t& bufferedEnd,
                               int64_t& contentLength);
  // When set (before open), received data goes to |handler| instead of the
  // buffer.
  virtual void setDataHandler(DataHandler handler);
  virtual unsigned getStreamDuration() { return m_streamDuration; }
  virtual void setStreamDuration(const unsigned& duration) { m_streamDuration = duration; }
  virtual std::string getContentType() { return m_contentType; }
  // Length of the whole resource; 0 when the server did not say.
  virtual int64_t getContentLength() { return m_contentLength; }
  virtual std::string getForcedExtension() { return m_forcedExtension; }
  // Why the last open failed ("HTTP 404", "connection refused", ...).
  virtual std::string getFailureCause() { return m_failureCause; }
  // A Zan streaming server serves the stream, but not directly.
  virtual bool isIndirectStreaming() { return m_zanStreaming && !m_directStreaming; }
  virtual bool isSeekable();
  virtual void disableSeeking();

  // A public member that is assigned like a plain pointer; see the
  // paragraph on events before registration at the top.
  template <typename T>
  class EventSlot {
   public:
    explicit EventSlot(HTTPClient* client) : client_(client) {}
    EventSlot(const EventSlot&) = delete;
    EventSlot& operator=(T value) {
      client_->assignEventSlot([&] { value_ = value; });
      return *this;
    }
    T load() const {
      PLockGuard guard(client_->m_eventLock);
      return value_;
    }
    operator T() const { return load(); }

   private:
    friend class HTTPClient;
    HTTPClient* const client_;
    T value_ = nullptr;  // guarded by client_->m_eventLock
  };

  // Assigned by the user after open; called on the network thread.
  EventSlot<ConnectionEventCallback> connectionEventCallback{this};
  EventSlot<void*> connectionEventUserData{this};

 private:
  template <typename Assign>
  void assignEventSlot(Assign assign);

  bool isStopped();
  int64_t seekInBuffer(int64_t offset, int whence);
  int64_t seekWithRequest(int64_t offset, int whence, int64_t timeMs);
  int64_t seekWithRequestLocked(int64_t offset, int whence, int64_t timeMs,
                                std::optional<ConnectionEvent::ConnectionEvent>& event);
  bool waitForOffset(int64_t offset, bool restartable);
  bool restartDownload(int64_t offset, int64_t timeMs, bool empty);
  void updateStatistics(int64_t length);
  // Marks the buffer ended and tells the user (or keeps the event).
  void raise(ConnectionEvent::ConnectionEvent event);
  // Starts or ends holding back events (while a seek restarts the
  // download); ending returns the last one held.
  std::optional<ConnectionEvent::ConnectionEvent> holdEvents(bool hold);

  std::wstring m_url;
  std::unique_ptr<CircularHistoryBuffer> m_buffer;  // guarded by m_lock
  CircularHistoryBufferReader* m_reader = nullptr;   // owned by m_buffer
  std::unique_ptr<HTTPRequestHandler> m_handler;     // guarded by m_lock
  PCondMutex m_stopLock;  // flag: stopped by close()
  // Shared by every operation that uses the buffer, reader or handler;
  // exclusive where they are created or destroyed.
  PReadWriteLock m_lock;
  const int64_t m_bufferSize;
  const int64_t m_historySize;

  std::atomic<uint32_t> m_downloadStartTick{0};
  std::string m_contentType;      // written by open only
  std::string m_forcedExtension;  // written by open only
  std::string m_failureCause;     // written by open only
  std::atomic<int64_t> m_contentLength{0};
  std::atomic<unsigned> m_streamDuration{0};
  std::atomic<bool> m_zanStreaming{false};
  std::atomic<bool> m_directStreaming{false};

  // Network thread only.
  bool m_dataStarted = false;
  int64_t m_bytesDownloaded = 0;
  int64_t m_lastReportTick = 0;

  DataHandler m_dataHandler;  // set before open

  mutable PMutex m_eventLock;  // guards the two event slots and the pending and held events
  bool m_eventPending = false;
  ConnectionEvent::ConnectionEvent m_pendingEvent = ConnectionEvent::END_OF_FILE_RECEIVED;
  bool m_holdingEvents = false;
  std::optional<ConnectionEvent::ConnectionEvent> m_heldEvent;

  // Decoder thread: a failed seek could not put the reader back where the
  // caller reads from; reads fail until a seek succeeds.
  std::atomic<bool> m_positionLost{false};
};

template <typename Assign>
void HTTPClient::assignEventSlot(Assign assign) {
  ConnectionEventCallback callback = nullptr;
  void* userData = nullptr;
  ConnectionEvent::ConnectionEvent event = ConnectionEvent::END_OF_FILE_RECEIVED;
  {
    PLockGuard guard(m_eventLock);
    assign();
    if (!m_eventPending || connectionEventCallback.value_ == nullptr ||
        connectionEventUserData.value_ == nullptr) {
      return;
    }
    m_eventPending = false;
    callback = connectionEventCallback.value_;
    userData = connectionEventUserData.value_;
    event = m_pendingEvent;
  }
  callback(event, userData);
}

}  // namespace zan
