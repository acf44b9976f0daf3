// The caller's side of QTHTTPRequestHandler: open (HEAD, redirects, GET),
// seek and resume (a new GET), close, and the answers about the last
// response. These run on the client's threads; they start and stop the
// worker (HTTPQThread) and wait, bounded, for its response headers. See
// QTHTTPRequestHandler.h for the threading model.
#include "network/QTHTTPRequestHandler.h"

#include <cstdio>

#include "network/HttpHeaderValues.h"
#include "network/QtRuntime.h"
#include "support/CBBLog.h"
#include "support/NetworkTimeouts.h"

namespace zan {

// The QObject base is built with a null parent obtained after the process
// has an application object: the handler may be the first QObject of a host
// without Qt.
QTHTTPRequestHandler::QTHTTPRequestHandler()
    : QObject(qtApplicationReadyParent()),
      m_timeout(headerTimeoutMs()),
      m_stallTimeout(stallTimeoutMs()),
      m_thread(std::make_unique<HTTPQThread>([this] { beginExchange(); }, [this] { endExchange(); })) {}

QTHTTPRequestHandler::~QTHTTPRequestHandler() { close(); }


bool QTHTTPRequestHandler::startExchange(Exchange kind, const RestartCallback& onAccepted) {
  PLockGuard control(m_controlLock);
  {
    PLockGuard guard(m_headerLock);
    if (m_abortWait) return false;
    m_headerReceived = false;
  }
  if (m_thread->isRunning()) {
    m_quit = true;
    m_thread->quitAndWait();
  }
  m_quit = false;
  m_exchange = kind;
  m_onAccepted = onAccepted;
  m_thread->startAndWait();
  return true;
}

void QTHTTPRequestHandler::stopExchange() {
  PLockGuard control(m_controlLock);
  m_quit = true;
  m_thread->quitAndWait();
  m_onAccepted = nullptr;
}

QTHTTPRequestHandler::Wait QTHTTPRequestHandler::waitForHeaders() {
  const struct timespec deadline = deadlineAfter(m_timeout.load());
  PLockGuard guard(m_headerLock);
  while (!m_headerReceived && !m_abortWait) {
    if (!m_headerLock.waitUntil(deadline)) break;
  }
  if (m_abortWait) return Wait::Closed;
  return m_headerReceived ? Wait::Headers : Wait::TimedOut;
}

bool QTHTTPRequestHandler::followRedirect(const QUrl& target, RedirectTrail& trail) {
  std::string cause;
  if (trail.follow(target, cause)) {
    PWriteGuard guard(m_lock);
    m_url = target;
    logInfo("QTHTTPClient::open : redirected to %s", target.toString().toUtf8().constData());
    return true;
  }
  PWriteGuard guard(m_lock);
  m_errorCode = 404;
  m_networkError = QNetworkReply::TooManyRedirectsError;
  m_failureCause = cause;
  return false;
}

void QTHTTPRequestHandler::setFailureCause(const std::string& cause) {
  PWriteGuard guard(m_lock);
  m_failureCause = cause;
}

std::string QTHTTPRequestHandler::headerTimeOutCause() const {
  const int ms = m_timeout.load();
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, ms % 1000 == 0 ? "%.0f" : "%.1f", ms / 1000.0);
  return std::string("no response headers within ") + seconds + " s";
}

bool QTHTTPRequestHandler::open(const std::wstring& url) {
  const QUrl target(QString::fromStdWString(url), QUrl::TolerantMode);
  {
    PWriteGuard guard(m_lock);
    m_url = target;
    m_rangeStart = 0;
    m_byRange = true;
    m_seekSeconds = 0;
    m_errorCode = 404;
    m_networkError = 404;
    m_failureCause.clear();
    m_contentLength = 0;
    m_redirectTarget = QUrl();
  }
  if (!target.isValid() || !isHttpScheme(target) || target.host().isEmpty()) {
    logError("QTHTTPClient::open : not an HTTP URL: %s", target.toString().toUtf8().constData());
    setFailureCause("not an HTTP URL");
    return false;
  }

  RedirectTrail trail(target);
  Exchange kind = Exchange::Head;
  for (;;) {
    if (!startExchange(kind)) return false;
    const Wait wait = waitForHeaders();
    if (wait != Wait::Headers) {
      if (wait == Wait::TimedOut) {
        logError(kind == Exchange::Get ? "QTHTTPClient::open: Header not received in time!"
                                       : "QTHTTPClient::open: Head request timeout");
        PWriteGuard guard(m_lock);
        m_errorCode = 404;
        m_failureCause = headerTimeOutCause();
      }
      stopExchange();
      return false;
    }
    int errorCode = 404;
    QUrl redirectTarget;
    {
      PReadGuard guard(m_lock);
      errorCode = m_errorCode;
      redirectTarget = m_redirectTarget;
    }
    if (kind == Exchange::Head && errorCode == 2) {
      // The server refuses HEAD: a GET whose body is dropped tells the same.
      stopExchange();
      kind = Exchange::Probe;
      continue;
    }
    if (errorCode != 0) {
      logError("QTHTTPClient::open: Head request error %d", errorCode);
      stopExchange();
      return false;
    }
    if (redirectTarget.isValid()) {
      stopExchange();
      if (!followRedirect(redirectTarget, trail)) return false;
      continue;
    }
    if (kind == Exchange::Get) return true;
    stopExchange();
    kind = Exchange::Get;
  }
}

bool QTHTTPRequestHandler::seek(int64_t offset, int64_t timeMs, const RestartCallback& beforeRestart) {
  if (!isSeekable() || offset < 0) return false;
  return restart(offset, timeMs, true, beforeRestart);
}

bool QTHTTPRequestHandler::resume(int64_t offset, const RestartCallback& onAccepted) {
  if (offset < 0) return false;
  bool byteSeekable = false;
  {
    PReadGuard guard(m_lock);
    byteSeekable = m_byteSeekable;
  }
  // A range first: fetching the whole resource again is the last resort.
  if (byteSeekable && restart(offset, kNoTimeOffset, true, onAccepted)) return true;
  return restart(offset, kNoTimeOffset, false, onAccepted);
}

bool QTHTTPRequestHandler::restart(int64_t offset, int64_t timeMs, bool byRange, const RestartCallback& onAccepted) {
  {
    PLockGuard guard(m_headerLock);
    if (m_abortWait) return false;
  }
  stopExchange();
  logDebug("QTHTTPRequestHandler::seek : thread quit.");
  {
    PWriteGuard guard(m_lock);
    if (timeMs >= 0) m_seekSeconds = timeMs / 1000;
    if (timeMs == kNoTimeOffset) m_seekSeconds = 0;
    m_rangeStart = offset;
    m_byRange = byRange;
  }
  if (!startExchange(Exchange::Get, onAccepted)) return false;
  const Wait wait = waitForHeaders();
  if (wait == Wait::TimedOut) {
    logError("QTHTTPClient::seek: Header not received in time!");
    setFailureCause(headerTimeOutCause());
  }
  int errorCode = 404;
  bool redirected = false;
  if (wait == Wait::Headers) {
    PReadGuard guard(m_lock);
    errorCode = m_errorCode;
    redirected = m_redirectTarget.isValid();
  }
  if (wait == Wait::Headers && (errorCode != 0 || redirected)) {
    logError("QTHTTPClient::seek : request error %d", redirected ? 302 : errorCode);
  }
  if (wait != Wait::Headers || errorCode != 0 || redirected) {
    stopExchange();
    return false;
  }
  return true;
}

void QTHTTPRequestHandler::close() {
  {
    PLockGuard guard(m_headerLock);
    m_abortWait = true;
    m_headerLock.broadcast();
  }
  if (m_thread->isCurrentThread()) {
    // From a callback on the worker: it ends once the callback returns,
    // and is joined by the next stop from another thread (the destructor's
    // at the latest).
    m_quit = true;
    m_thread->requestQuit();
  } else {
    stopExchange();
  }
  clearRequestHeaders();
}

bool QTHTTPRequestHandler::isSeekable() {
  PReadGuard guard(m_lock);
  return m_byteSeekable || m_timeSeekable;
}

void QTHTTPRequestHandler::setTimeSeekable(bool seekable) {
  PWriteGuard guard(m_lock);
  m_timeSeekable = seekable;
}

void QTHTTPRequestHandler::setByteSeekable(bool seekable) {
  PWriteGuard guard(m_lock);
  m_byteSeekable = seekable;
}

int QTHTTPRequestHandler::getErrorCode() {
  PReadGuard guard(m_lock);
  return m_networkError;
}

std::string QTHTTPRequestHandler::getFailureCause() {
  PReadGuard guard(m_lock);
  return m_failureCause;
}

int64_t QTHTTPRequestHandler::getContentLength() {
  PReadGuard guard(m_lock);
  return m_contentLength;
}

std::string QTHTTPRequestHandler::getContentType() {
  PReadGuard guard(m_lock);
  return m_contentType;
}

bool QTHTTPRequestHandler::hasResponseHeader(const std::string& name) {
  PReadGuard guard(m_lock);
  return m_responseHeaders.count(asciiLowerCase(name)) != 0;
}

std::string QTHTTPRequestHandler::getResponseHeader(const std::string& name) {
  PReadGuard guard(m_lock);
  auto found = m_responseHeaders.find(asciiLowerCase(name));
  return found == m_responseHeaders.end() ? std::string() : found->second;
}

void QTHTTPRequestHandler::setUserAgent(const std::string& userAgent) {
  PWriteGuard guard(m_lock);
  m_userAgent = userAgent;
}

std::string QTHTTPRequestHandler::getUserAgent() {
  PReadGuard guard(m_lock);
  return m_userAgent;
}

void QTHTTPRequestHandler::addRequestHeader(const std::string& name, const std::string& value) {
  PWriteGuard guard(m_lock);
  auto found = m_requestHeaders.find(name);
  if (found == m_requestHeaders.end()) {
    m_requestHeaders.emplace(name, value);
  } else {
    found->second += "," + value;
  }
}

void QTHTTPRequestHandler::clearRequestHeaders() {
  PWriteGuard guard(m_lock);
  m_requestHeaders.clear();
}

}  // namespace zan
