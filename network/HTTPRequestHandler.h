// The HTTP exchange behind the HTTP client: open a URL (HEAD, then GET),
// push the body into a data callback as it arrives, restart the GET at a
// byte offset or a time, report the response headers.
//
// Thread safety: open, seek and close may be called from different threads
// (close releases a waiting open or seek); the callbacks run on the
// handler's own network thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "network/BufferHandle.h"

namespace zan {

class HTTPRequestHandler {
 public:
  // Offered |length| body bytes, which it copies out of the network's own
  // buffer with |source| (in consecutive parts, |length| in all at most):
  // the number taken, or a negative number to stop the exchange. Taking
  // fewer than offered ends this exchange's delivery: the rest is dropped
  // and its end is not reported (the consumer is being restarted).
  using DataCallback = std::function<int64_t(int64_t length, const ByteSource& source)>;
  using EventCallback = std::function<void()>;
  // Runs on the network thread once a seek's answer has been accepted,
  // before its first body byte is delivered (the old transfer has stopped
  // by then); false refuses the answer and fails the seek. A seek that
  // fails never runs it, so what the consumer holds stays as it was.
  using RestartCallback = std::function<bool()>;

  virtual ~HTTPRequestHandler() = default;
  // True once the GET's response headers arrived in time, without error.
  virtual bool open(const std::wstring& url) = 0;
  // Stops and discards the current exchange, for good: releases a waiting
  // open or seek, and every later one fails at once. May be called from
  // the callbacks.
  virtual void close() = 0;
  virtual void setTimeout(int milliseconds) = 0;
  virtual int getTimeout() = 0;
  virtual void setDataCallback(DataCallback callback) = 0;
  // The GET delivered its whole body.
  virtual void setEndOfFileCallback(EventCallback callback) = 0;
  // The GET broke off (a network error, fewer bytes than announced, no
  // byte for the stall limit) and could not be resumed.
  virtual void setBrokenStreamCallback(EventCallback callback) = 0;
  virtual bool isSeekable() = 0;
  virtual void setTimeSeekable(bool seekable) = 0;
  virtual void setByteSeekable(bool seekable) = 0;
  // Restarts the GET at |offset| (and at |timeMs| / 1000 seconds when
  // |timeMs| >= 0 and the server seeks by time; a negative |timeMs| keeps
  // the previous time offset). The old transfer is stopped whatever the
  // outcome. |beforeRestart| may be empty.
  virtual bool seek(int64_t offset, int64_t timeMs, const RestartCallback& beforeRestart) = 0;
  // Restarts the GET at |offset| without "Zan-seek", for going on with a
  // download after a refused seek: with "Range" where the server allows
  // it, else (or when that answer is refused) fetched from the start and
  // delivered from |offset| on. |onAccepted| is called like a seek's
  // |beforeRestart|.
  virtual bool resume(int64_t offset, const RestartCallback& onAccepted) = 0;
  // The last response's network error code (0 = none), 404 when there was
  // no response.
  virtual int getErrorCode() = 0;
  // Why the last open or seek failed, for a user: "HTTP 404", "connection
  // refused", "redirect loop", "certificate not trusted", "no response
  // headers within 30 s", ...; empty after a success.
  virtual std::string getFailureCause() = 0;
  // Length of the whole resource; 0 when unknown.
  virtual int64_t getContentLength() = 0;
  virtual std::string getContentType() = 0;
  // Response headers of the current exchange; names compare without case.
  virtual bool hasResponseHeader(const std::string& name) = 0;
  virtual std::string getResponseHeader(const std::string& name) = 0;
  virtual void setUserAgent(const std::string& userAgent) = 0;
  virtual std::string getUserAgent() = 0;
  // A second value for the same name is joined to the first with a comma.
  virtual void addRequestHeader(const std::string& name, const std::string& value) = 0;
  virtual void clearRequestHeaders() = 0;
  virtual void setParameter(const int& parameter) = 0;
  virtual int getParameter() = 0;
};

}  // namespace zan
