// HTTP exchanges over Qt: the worker thread's side (request building,
// response headers, body delivery) and the caller's side (open, seek,
// close). See QTHTTPRequestHandler.h for the threading model.
#include "network/QTHTTPRequestHandler.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QSslError>
#include <QTimer>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "network/HttpHeaderValues.h"
#include "network/QtRuntime.h"
#include "support/CBBLog.h"
#include "support/NetworkTimeouts.h"

namespace zan {

namespace {

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The Qt error code that an HTTP error status ends up as once the reply has
// finished, for answers judged on their headers alone.
int networkErrorForStatus(int status) {
  switch (status) {
    case 401: return QNetworkReply::AuthenticationRequiredError;
    case 403: return QNetworkReply::ContentAccessDenied;
    case 404: return QNetworkReply::ContentNotFoundError;
    case 405: return QNetworkReply::ContentOperationNotPermittedError;
    case 409: return QNetworkReply::ContentConflictError;
    case 410: return QNetworkReply::ContentGoneError;
    case 500: return QNetworkReply::InternalServerError;
    case 501: return QNetworkReply::OperationNotImplementedError;
    case 503: return QNetworkReply::ServiceUnavailableError;
    default: break;
  }
  if (status > 500) return QNetworkReply::UnknownServerError;
  if (status >= 400) return QNetworkReply::UnknownContentError;
  return QNetworkReply::NoError;
}

// The cause of a failure that left no HTTP answer.
std::string networkFailureCause(QNetworkReply::NetworkError error, bool certificateRefused, const QString& text) {
  switch (error) {
    case QNetworkReply::ConnectionRefusedError: return "connection refused";
    case QNetworkReply::HostNotFoundError: return "host not found";
    case QNetworkReply::RemoteHostClosedError: return "the server closed the connection without an answer";
    case QNetworkReply::TimeoutError: return "connection timed out";
    case QNetworkReply::SslHandshakeFailedError:
      return certificateRefused ? "certificate not trusted" : "TLS handshake failed";
    default: break;
  }
  return text.isEmpty() ? "network error " + std::to_string(static_cast<int>(error)) : text.toStdString();
}

bool isHttpScheme(const QUrl& url) {
  const QString scheme = url.scheme().toLower();
  return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

}  // namespace

// ---------------------------------------------------------------------------
// Worker thread

HTTPQThread::HTTPQThread(QTHTTPRequestHandler* handler) : m_handler(handler) {}

HTTPQThread::~HTTPQThread() { quitAndWait(); }

void HTTPQThread::startAndWait() {
  m_startedLock.setFlag(false);
  m_quitRequested = false;
  m_thread = std::thread([this] { run(); });
  m_startedLock.waitForFlag();
}

void HTTPQThread::requestQuit() {
  m_quitRequested = true;
  // A wake-up that comes before the worker waits is kept by the event
  // dispatcher, so the flag is seen either way.
  PLockGuard guard(m_loopLock);
  if (m_loop != nullptr) m_loop->wakeUp();
}

void HTTPQThread::quitAndWait() {
  if (!m_thread.joinable()) return;
  requestQuit();
  m_thread.join();
}

void HTTPQThread::run() {
  // The event loop object gives the adopted thread its event dispatcher,
  // which Qt's network objects need from their first timer on.
  QEventLoop loop;
  {
    PLockGuard guard(m_loopLock);
    m_loop = &loop;
  }
  m_handler->beginExchange();
  m_startedLock.setFlag(true);
  // The loop ends on a flag of our own: QEventLoop::exec() forgets a
  // quit() that comes before it runs, and the join would wait forever.
  while (!m_quitRequested.load()) loop.processEvents(QEventLoop::WaitForMoreEvents);
  m_handler->endExchange();
  PLockGuard guard(m_loopLock);
  m_loop = nullptr;
}

// The QObject base is built with a null parent obtained after the process
// has an application object: the handler may be the first QObject of a host
// without Qt.
QTHTTPRequestHandler::QTHTTPRequestHandler()
    : QObject(qtApplicationReadyParent()),
      m_timeout(headerTimeoutMs()),
      m_stallTimeout(stallTimeoutMs()),
      m_thread(std::make_unique<HTTPQThread>(this)) {}

QTHTTPRequestHandler::~QTHTTPRequestHandler() { close(); }

void QTHTTPRequestHandler::beginExchange() {
  m_headersDone = false;
  m_certificateRefused = false;
  m_deliverBody = false;
  m_timeSeekSent = false;
  m_skipBytes = 0;
  m_expectedBody = -1;
  m_bodyReceived = 0;

  QNetworkRequest request;
  {
    PReadGuard guard(m_lock);
    request.setUrl(m_url);
    request.setRawHeader("User-Agent", QByteArray::fromStdString(m_userAgent));
    request.setRawHeader("x-flash-version", "9,0,47,0");
    if (m_seekSeconds != 0 && m_timeSeekable) {
      request.setRawHeader("Zan-seek", QByteArray("seconds=") + QByteArray::number(static_cast<qlonglong>(m_seekSeconds)));
      m_timeSeekSent = true;
    }
    m_rangeSent = m_rangeStart != 0 && m_byRange;
    if (m_rangeSent) {
      // Open-ended when the length is unknown: a closed range would cut the
      // body short (or ask for nonsense) on servers without Content-Length.
      QByteArray range = QByteArray("bytes=") + QByteArray::number(static_cast<qlonglong>(m_rangeStart)) + '-';
      if (m_contentLength > 0) range += QByteArray::number(static_cast<qlonglong>(m_contentLength - 1));
      request.setRawHeader("Range", range);
    }
    // Byte offsets must be the resource's own bytes: no transparent
    // decompression.
    request.setRawHeader("Accept-Encoding", "identity");
    for (const auto& [name, value] : m_requestHeaders) {
      request.setRawHeader(QByteArray::fromStdString(name), QByteArray::fromStdString(value));
    }
  }
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
#if QT_CONFIG(ssl)
  // The certificate authorities to trust instead of the system's, as
  // OpenSSL's tools and FFmpeg's own HTTPS path of the core take them.
  if (const char* bundle = std::getenv("SSL_CERT_FILE"); bundle != nullptr && *bundle != '\0') {
    QSslConfiguration configuration = request.sslConfiguration();
    configuration.addCaCertificates(QString::fromLocal8Bit(bundle));
    request.setSslConfiguration(configuration);
  }
#endif

  m_manager = new QNetworkAccessManager();
  m_manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
  if (m_exchange == Exchange::Head) {
    m_reply = m_manager->head(request);
    if (m_reply != nullptr) {
      connect(m_reply, &QNetworkReply::finished, this, &QTHTTPRequestHandler::headRequestFinished,
              Qt::DirectConnection);
    }
  } else {
    m_reply = m_manager->get(request);
    if (m_reply != nullptr) {
      m_reply->setReadBufferSize(kReadBufferSize);
      connect(m_reply, &QNetworkReply::errorOccurred, this, &QTHTTPRequestHandler::onError, Qt::DirectConnection);
      connect(m_reply, &QNetworkReply::metaDataChanged, this, &QTHTTPRequestHandler::onMetaDataChanged,
              Qt::DirectConnection);
      connect(m_reply, &QNetworkReply::finished, this, &QTHTTPRequestHandler::getRequestFinished,
              Qt::DirectConnection);
      connect(m_reply, &QNetworkReply::readyRead, this, &QTHTTPRequestHandler::dataReadyRead,
              Qt::DirectConnection);
      // Checked a few times per limit: a stall is noticed at most a fifth
      // of the limit late.
      const int limit = std::max(m_stallTimeout, 1);
      m_lastProgress = std::chrono::steady_clock::now();
      m_stallTimer = new QTimer();
      m_stallTimer->setInterval(std::clamp(limit / 5, 10, 1000));
      connect(m_stallTimer, &QTimer::timeout, this, &QTHTTPRequestHandler::checkStall, Qt::DirectConnection);
      m_stallTimer->start();
    }
  }
  if (m_reply != nullptr) {
    // Emitted when TLS finds fault with the certificate (untrusted, expired,
    // another host's); errors nobody ignores fail the handshake.
    connect(m_reply, &QNetworkReply::sslErrors, this, [this](const QList<QSslError>&) { m_certificateRefused = true; },
            Qt::DirectConnection);
  } else {
    logError("QTHTTPClient::open : no reply for %s", m_url.toString().toUtf8().constData());
    {
      PWriteGuard guard(m_lock);
      m_errorCode = 404;
      m_networkError = 404;
      m_failureCause = "no reply";
    }
    PLockGuard guard(m_headerLock);
    m_headerReceived = true;
    m_headerLock.broadcast();
  }
}

void QTHTTPRequestHandler::endExchange() {
  delete m_stallTimer;
  m_stallTimer = nullptr;
  if (m_reply != nullptr) {
    // abort() emits finished() at once; nothing of this exchange may reach
    // the slots any more.
    QObject::disconnect(m_reply, nullptr, this, nullptr);
    m_reply->abort();
    delete m_reply;
    m_reply = nullptr;
  }
  delete m_manager;
  m_manager = nullptr;
}

void QTHTTPRequestHandler::processResponseHeaders() {
  if (m_headersDone || m_reply == nullptr) return;
  m_headersDone = true;

  const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  const QNetworkReply::NetworkError error = m_reply->error();
  const int networkError = error != QNetworkReply::NoError ? static_cast<int>(error) : networkErrorForStatus(status);

  std::map<std::string, std::string> headers;
  for (const auto& [name, value] : m_reply->rawHeaderPairs()) {
    std::string& entry = headers[lowerCase(name.toStdString())];
    entry = entry.empty() ? value.toStdString() : entry + ", " + value.toStdString();
  }
  auto header = [&headers](const char* name) -> const std::string* {
    auto found = headers.find(name);
    return found == headers.end() ? nullptr : &found->second;
  };

  QUrl url;
  int64_t rangeStart = 0;
  int64_t contentLength = 0;
  {
    PReadGuard guard(m_lock);
    url = m_url;
    rangeStart = m_rangeStart;
    contentLength = m_contentLength;
  }

  int errorCode = 0;
  std::string cause;
  if (status == 405 || error == QNetworkReply::ContentOperationNotPermittedError) {
    errorCode = 2;
    cause = "HTTP 405";
    logError("QTHTTPClient::open : ContentOperationNotPermittedError %d", networkError);
  } else if (status < 200 || status >= 400) {
    errorCode = 404;
    cause = status >= 400 ? "HTTP " + std::to_string(status)
                          : networkFailureCause(error, m_certificateRefused, m_reply->errorString());
    logError("QTHTTPClient::open : Received network error %d", networkError != 0 ? networkError : status);
  }

  QUrl redirectTarget;
  if (errorCode == 0 && status >= 300) {
    const std::string* location = header("location");
    if (status != 304 && location != nullptr && !location->empty()) {
      redirectTarget = url.resolved(QUrl(QString::fromStdString(*location)));
      if (!redirectTarget.isValid() || !isHttpScheme(redirectTarget)) {
        logError("QTHTTPClient::open : refused redirection to %s", location->c_str());
        redirectTarget = QUrl();
        errorCode = 404;
        cause = "redirect to a location that is not HTTP";
      }
    } else {
      logError("QTHTTPClient::open : answer %d without a usable redirection", status);
      errorCode = 404;
      cause = "HTTP " + std::to_string(status) + " without a Location";
    }
  }

  const int64_t responseLength = header("content-length") ? parseHeaderLength(*header("content-length")) : -1;
  int64_t rangeFirst = -1;
  int64_t rangeTotal = -1;
  const bool rangeValid =
      status == 206 && header("content-range") && parseContentRange(*header("content-range"), rangeFirst, rangeTotal);

  bool deliver = m_exchange == Exchange::Get && errorCode == 0 && !redirectTarget.isValid();
  int64_t skip = 0;
  if (deliver && rangeStart > 0 && !m_timeSeekSent) {
    // The body must begin at the asked offset, whatever the server did
    // with the range.
    if (status == 200) {
      skip = rangeStart;
      if (m_rangeSent) {
        logWarn("QTHTTPClient::seek : the server ignored the range, skipping %lld bytes",
                static_cast<long long>(skip));
      } else {
        logInfo("QTHTTPClient::seek : resuming, skipping %lld bytes", static_cast<long long>(skip));
      }
    } else if (!rangeValid) {
      logError("QTHTTPClient::seek : unusable Content-Range in a partial answer");
      errorCode = 404;
      cause = "unusable Content-Range";
      deliver = false;
    } else if (rangeFirst < rangeStart) {
      skip = rangeStart - rangeFirst;
      logWarn("QTHTTPClient::seek : the answer starts at %lld, skipping %lld bytes",
              static_cast<long long>(rangeFirst), static_cast<long long>(skip));
    } else if (rangeFirst > rangeStart) {
      logError("QTHTTPClient::seek : the answer starts at %lld, after the asked %lld",
               static_cast<long long>(rangeFirst), static_cast<long long>(rangeStart));
      errorCode = 404;
      cause = "the answer starts after the asked offset";
      deliver = false;
    }
  }

  // The consumer of a seek makes room for the new body now, not before: a
  // seek whose answer is refused leaves what it holds untouched.
  if (deliver && m_onAccepted && (m_quit.load() || !m_onAccepted())) {
    errorCode = 404;
    deliver = false;
  }

  // The whole resource's length: from a full answer, or from the total of a
  // partial one. A time-seek answer is a part of unknown position.
  if (errorCode == 0 && !redirectTarget.isValid() && !m_timeSeekSent) {
    if (status == 200) contentLength = std::max<int64_t>(responseLength, 0);
    if (rangeValid && rangeTotal >= 0) contentLength = rangeTotal;
  }

  {
    PWriteGuard guard(m_lock);
    m_errorCode = errorCode;
    m_networkError = networkError;
    m_failureCause = cause;
    m_redirectTarget = redirectTarget;
    m_contentLength = contentLength;
    if (const std::string* value = header("accept-ranges")) m_byteSeekable = value->find("bytes") != std::string::npos;
    if (const std::string* value = header("accept-zan-seek")) {
      m_timeSeekable = value->find("seconds") != std::string::npos;
    }
    m_contentType = header("content-type") ? *header("content-type") : std::string();
    m_responseHeaders = std::move(headers);
  }
  m_deliverBody = deliver;
  m_skipBytes = skip;
  m_expectedBody = responseLength;
  m_lastProgress = std::chrono::steady_clock::now();  // the body's stall clock starts here

  PLockGuard guard(m_headerLock);
  m_headerReceived = true;
  m_headerLock.broadcast();
}

void QTHTTPRequestHandler::headRequestFinished() { processResponseHeaders(); }

void QTHTTPRequestHandler::onMetaDataChanged() { processResponseHeaders(); }

void QTHTTPRequestHandler::dataReadyRead() {
  processResponseHeaders();
  if (m_reply == nullptr) return;
  if (m_reply->bytesAvailable() <= 0) return;
  // readAll() hands over the reply's own blocks when it can (no copy).
  const QByteArray chunk = m_reply->readAll();
  const int64_t got = chunk.size();
  if (got <= 0) {
    logWarn("NetworkBuffer::readFromNetwork : read error");
    return;
  }
  m_bodyReceived += got;
  if (!m_deliverBody || m_quit.load() || !m_dataCallback) return;
  const uint8_t* data = reinterpret_cast<const uint8_t*>(chunk.constData());
  int64_t length = got;
  if (m_skipBytes > 0) {
    const int64_t skipped = std::min(m_skipBytes, length);
    m_skipBytes -= skipped;
    data += skipped;
    length -= skipped;
  }
  m_lastProgress = std::chrono::steady_clock::now();
  if (length == 0) return;
  const int64_t taken = m_dataCallback(data, length);
  // Time spent waiting for room in the consumer is no stall of the server.
  m_lastProgress = std::chrono::steady_clock::now();
  if (taken < 0) {
    // The consumer is gone: stop this exchange.
    m_quit = true;
    m_thread->requestQuit();
  }
}

void QTHTTPRequestHandler::checkStall() {
  // Only a body that is being delivered can stall: the headers have their
  // own limit, on the caller's side.
  if (m_reply == nullptr || !m_headersDone || !m_deliverBody || m_quit.load() || m_reply->isFinished()) return;
  const auto quiet = std::chrono::steady_clock::now() - m_lastProgress;
  if (quiet < std::chrono::milliseconds(m_stallTimeout)) return;
  logWarn("QTHTTPClient : no data for %d ms after %lld bytes, the download is given up", m_stallTimeout,
          static_cast<long long>(m_bodyReceived));
  m_stallTimer->stop();
  // abort() finishes the reply with OperationCanceledError at once:
  // getRequestFinished reports the download broken.
  m_reply->abort();
}

void QTHTTPRequestHandler::getRequestFinished() {
  processResponseHeaders();
  if (m_reply == nullptr) return;
  logInfo("QTHTTPClient::getRequestFinished - %lld bytes left", static_cast<long long>(m_reply->bytesAvailable()));
  if (m_reply->bytesAvailable() > 0) dataReadyRead();
  if (!m_deliverBody || m_quit.load()) return;
  const QNetworkReply::NetworkError error = m_reply->error();
  if (error != QNetworkReply::NoError || (m_expectedBody >= 0 && m_bodyReceived < m_expectedBody)) {
    logWarn("QTHTTPClient::getRequestFinished : download broke off after %lld of %lld bytes (error %d)",
            static_cast<long long>(m_bodyReceived), static_cast<long long>(m_expectedBody),
            static_cast<int>(error));
    if (m_brokenCallback) m_brokenCallback();
    return;
  }
  if (m_endOfFileCallback) m_endOfFileCallback();
}

void QTHTTPRequestHandler::onError(QNetworkReply::NetworkError code) {
  logDebug("Request error %d: %s", static_cast<int>(code),
           m_reply ? m_reply->errorString().toUtf8().constData() : "");
  PWriteGuard guard(m_lock);
  m_networkError = static_cast<int>(code);
}

// ---------------------------------------------------------------------------
// Caller side

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

bool QTHTTPRequestHandler::followRedirect(const QUrl& target, std::vector<QUrl>& visited, int& redirects) {
  const std::string text = target.toString().toStdString();
  std::string cause;
  if (std::find(visited.begin(), visited.end(), target) != visited.end()) {
    logError("QTHTTPClient::open : redirect loop at %s", text.c_str());
    cause = "redirect loop";
  } else if (++redirects > kMaxRedirects) {
    logError("QTHTTPClient::open : more than %d redirects", kMaxRedirects);
    cause = "more than " + std::to_string(kMaxRedirects) + " redirects";
  } else {
    visited.push_back(target);
    PWriteGuard guard(m_lock);
    m_url = target;
    logInfo("QTHTTPClient::open : redirected to %s", text.c_str());
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
    PLockGuard guard(m_headerLock);
    m_abortWait = false;
  }
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

  std::vector<QUrl> visited{target};
  int redirects = 0;
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
      if (!followRedirect(redirectTarget, visited, redirects)) return false;
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
  stopExchange();
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
  return m_responseHeaders.count(lowerCase(name)) != 0;
}

std::string QTHTTPRequestHandler::getResponseHeader(const std::string& name) {
  PReadGuard guard(m_lock);
  auto found = m_responseHeaders.find(lowerCase(name));
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
