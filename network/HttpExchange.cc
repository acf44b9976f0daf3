// The worker thread's side of one HTTP exchange of QTHTTPRequestHandler:
// building and sending the request, judging the response headers (error,
// redirect, range, length), delivering the body to the data callback and
// telling how it ended. Everything here runs on HTTPQThread; see
// QTHTTPRequestHandler.h for the threading model.
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QSslError>
#include <QTimer>

#include <algorithm>
#include <cstring>

#include "network/HttpHeaderValues.h"
#include "network/QTHTTPRequestHandler.h"
#include "network/TlsTrust.h"
#include "support/CBBLog.h"

namespace zan {

namespace {

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

}  // namespace

void QTHTTPRequestHandler::beginExchange() {
  m_resuming = false;
  m_manager = new QNetworkAccessManager();
  m_manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
  if (m_exchange == Exchange::Get) {
    m_backoffTimer = std::make_unique<QTimer>();
    m_backoffTimer->setSingleShot(true);
    QObject::connect(m_backoffTimer.get(), &QTimer::timeout, m_backoffTimer.get(), [this] { resumeTransfer(); },
                     Qt::DirectConnection);
    m_resumeDeadline = std::make_unique<QTimer>();
    m_resumeDeadline->setSingleShot(true);
    QObject::connect(m_resumeDeadline.get(), &QTimer::timeout, m_resumeDeadline.get(), [this] {
      if (!m_resuming || m_reply == nullptr || m_headersDone) return;
      logWarn("QTHTTPClient : no answer to the resumption within the stall limit");
      m_reply->abort();  // finished: the row of attempts is over
    }, Qt::DirectConnection);
  }
  sendRequest();
}

void QTHTTPRequestHandler::sendRequest() {
  m_headersDone = false;
  m_certificateRefused = false;
  m_deliverBody = false;
  m_timeSeekSent = false;
  m_rangeSent = false;
  m_skipBytes = 0;
  m_expectedBody = -1;
  m_bodyReceived = 0;

  QNetworkRequest request;
  {
    PReadGuard guard(m_lock);
    request.setUrl(m_url);
    request.setRawHeader("User-Agent", QByteArray::fromStdString(m_userAgent));
    request.setRawHeader("x-flash-version", "9,0,47,0");
    const int64_t rangeStart = m_resuming ? m_resumption.nextOffset() : m_rangeStart;
    if (!m_resuming && m_seekSeconds != 0 && m_timeSeekable) {
      request.setRawHeader("Zan-seek", QByteArray("seconds=") + QByteArray::number(static_cast<qlonglong>(m_seekSeconds)));
      m_timeSeekSent = true;
    }
    // A resumption always names its range, "bytes=0-" too: only a 206 that
    // starts where the reader stands is taken for the same resource.
    m_rangeSent = m_resuming || (rangeStart != 0 && m_byRange);
    if (m_rangeSent) {
      // Open-ended when the length is unknown: a closed range would cut the
      // body short (or ask for nonsense) on servers without Content-Length.
      QByteArray range = QByteArray("bytes=") + QByteArray::number(static_cast<qlonglong>(rangeStart)) + '-';
      if (m_contentLength > 0) range += QByteArray::number(static_cast<qlonglong>(m_contentLength - 1));
      request.setRawHeader("Range", range);
    }
    if (m_resuming && !m_resumption.ifRange().empty()) {
      request.setRawHeader("If-Range", QByteArray::fromStdString(m_resumption.ifRange()));
    }
    // Byte offsets must be the resource's own bytes: no transparent
    // decompression.
    request.setRawHeader("Accept-Encoding", "identity");
    for (const auto& [name, value] : m_requestHeaders) {
      request.setRawHeader(QByteArray::fromStdString(name), QByteArray::fromStdString(value));
    }
  }
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
  trustConfiguredAuthorities(request);

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
      m_stallWatch = std::make_unique<StallWatch>(
          m_stallTimeout,
          // Only a body that is being delivered can stall: the headers have
          // their own limit, on the caller's side.
          [this] {
            return m_reply != nullptr && m_headersDone && m_deliverBody && !m_quit.load() && !m_reply->isFinished();
          },
          [this] { bodyStalled(); });
    }
  }
  if (m_reply != nullptr) {
    // Emitted when TLS finds fault with the certificate (untrusted, expired,
    // another host's); errors nobody ignores fail the handshake.
    connect(m_reply, &QNetworkReply::sslErrors, this, [this](const QList<QSslError>&) { m_certificateRefused = true; },
            Qt::DirectConnection);
  } else if (m_resuming) {
    logError("QTHTTPClient : no reply for the resumption");
    endDelivery(false);
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
  m_backoffTimer.reset();
  m_resumeDeadline.reset();
  dropReply();
  delete m_manager;
  m_manager = nullptr;
}

// Never from one of the reply's own signals.
void QTHTTPRequestHandler::dropReply() {
  m_stallWatch.reset();
  if (m_reply == nullptr) return;
  // abort() emits finished() at once; nothing of this reply may reach the
  // slots any more.
  QObject::disconnect(m_reply, nullptr, this, nullptr);
  m_reply->abort();
  delete m_reply;
  m_reply = nullptr;
}

void QTHTTPRequestHandler::processResponseHeaders() {
  if (m_headersDone || m_reply == nullptr) return;
  m_headersDone = true;

  const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  const QNetworkReply::NetworkError error = m_reply->error();
  const int networkError = error != QNetworkReply::NoError ? static_cast<int>(error) : networkErrorForStatus(status);

  std::map<std::string, std::string> headers;
  for (const auto& [name, value] : m_reply->rawHeaderPairs()) {
    std::string& entry = headers[asciiLowerCase(name.toStdString())];
    entry = entry.empty() ? value.toStdString() : entry + ", " + value.toStdString();
  }
  auto header = [&headers](const char* name) -> const std::string* {
    auto found = headers.find(name);
    return found == headers.end() ? nullptr : &found->second;
  };
  const int64_t responseLength = header("content-length") ? parseHeaderLength(*header("content-length")) : -1;
  int64_t rangeFirst = -1;
  int64_t rangeTotal = -1;
  const bool rangeValid =
      status == 206 && header("content-range") && parseContentRange(*header("content-range"), rangeFirst, rangeTotal);
  const std::string etag = header("etag") ? *header("etag") : std::string();
  const std::string lastModified = header("last-modified") ? *header("last-modified") : std::string();

  if (m_resuming) {
    // No HTTP answer at all (refused, reset): finished() counts it as
    // another break.
    if (status == 0) return;
    std::string why;
    if (!m_resumption.accepts(status, rangeValid, rangeFirst, {etag, lastModified, rangeTotal}, why)) {
      logError("QTHTTPClient : the resumption at %lld was answered with %s: the download is broken",
               static_cast<long long>(m_resumption.nextOffset()), why.c_str());
      endDelivery(false);
      m_reply->abort();
      return;
    }
    logInfo("QTHTTPClient : the download goes on at %lld", static_cast<long long>(m_resumption.nextOffset()));
    m_resuming = false;
    m_resumeDeadline->stop();
    m_deliverBody = true;
    m_expectedBody = responseLength;
    if (m_stallWatch) m_stallWatch->progress();
    return;
  }

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

  QUrl target;
  if (errorCode == 0 && status >= 300 && !redirectTarget(url, status, header("location"), target, cause)) {
    errorCode = 404;
  }

  bool deliver = m_exchange == Exchange::Get && errorCode == 0 && !target.isValid();
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
  if (errorCode == 0 && !target.isValid() && !m_timeSeekSent) {
    if (status == 200) contentLength = std::max<int64_t>(responseLength, 0);
    if (rangeValid && rangeTotal >= 0) contentLength = rangeTotal;
  }

  bool rangesAllowed = status == 206;
  {
    PWriteGuard guard(m_lock);
    m_errorCode = errorCode;
    m_networkError = networkError;
    m_failureCause = cause;
    m_redirectTarget = target;
    m_contentLength = contentLength;
    if (const std::string* value = header("accept-ranges")) m_byteSeekable = value->find("bytes") != std::string::npos;
    if (const std::string* value = header("accept-zan-seek")) {
      m_timeSeekable = value->find("seconds") != std::string::npos;
    }
    rangesAllowed = rangesAllowed || m_byteSeekable;
    m_contentType = header("content-type") ? *header("content-type") : std::string();
    m_responseHeaders = std::move(headers);
  }
  if (deliver) {
    // A time-seek answer starts at a byte nobody knows: it cannot resume.
    m_resumption.begin(m_timeSeekSent ? -1 : rangeStart, {etag, lastModified, contentLength > 0 ? contentLength : -1},
                       rangesAllowed);
  }
  m_deliverBody = deliver;
  m_skipBytes = skip;
  m_expectedBody = responseLength;
  if (m_stallWatch) m_stallWatch->progress();  // the body's stall clock starts here

  PLockGuard guard(m_headerLock);
  m_headerReceived = true;
  m_headerLock.broadcast();
}

void QTHTTPRequestHandler::headRequestFinished() { processResponseHeaders(); }

void QTHTTPRequestHandler::onMetaDataChanged() { processResponseHeaders(); }

void QTHTTPRequestHandler::dataReadyRead() {
  processResponseHeaders();
  if (m_reply == nullptr) return;
  qint64 available = m_reply->bytesAvailable();
  if (available <= 0) return;
  if (!m_deliverBody || m_quit.load() || !m_dataCallback) {
    // A body nobody takes is still read, so that Qt goes on reading.
    m_bodyReceived += std::max<qint64>(m_reply->skip(available), 0);
    return;
  }
  if (m_skipBytes > 0) {
    const qint64 skipped = std::max<qint64>(m_reply->skip(std::min<qint64>(m_skipBytes, available)), 0);
    m_skipBytes -= skipped;
    m_bodyReceived += skipped;
    available -= skipped;
  }
  if (m_stallWatch) m_stallWatch->progress();
  if (available <= 0) return;
  // The consumer copies straight out of the reply's buffer into its own.
  int64_t copied = 0;
  const int64_t taken = m_dataCallback(available, [this, &copied](uint8_t* destination, int64_t length) {
    const qint64 got = std::max<qint64>(m_reply->read(reinterpret_cast<char*>(destination), length), 0);
    if (got < length) {
      // Never expected: the reply said it held the bytes.
      logWarn("NetworkBuffer::readFromNetwork : read error");
      std::memset(destination + got, 0, static_cast<size_t>(length - got));
    }
    copied += got;
  });
  m_bodyReceived += copied;
  if (taken > 0) m_resumption.delivered(taken);
  // Time spent waiting for room in the consumer is no stall of the server.
  if (m_stallWatch) m_stallWatch->progress();
  if (taken < 0) {
    // The consumer is gone: stop this exchange.
    m_quit = true;
    m_thread->requestQuit();
  } else if (taken < available) {
    // The consumer refused the rest: it is being restarted.
    m_deliverBody = false;
    m_bodyReceived += std::max<qint64>(m_reply->skip(available - copied), 0);
  }
}

void QTHTTPRequestHandler::bodyStalled() {
  logWarn("QTHTTPClient : no data for %d ms after %lld bytes, the download is given up", m_stallTimeout,
          static_cast<long long>(m_bodyReceived));
  // abort() finishes the reply with OperationCanceledError at once:
  // getRequestFinished reports the download broken.
  m_reply->abort();
}

void QTHTTPRequestHandler::getRequestFinished() {
  processResponseHeaders();
  if (m_reply == nullptr) return;
  logInfo("QTHTTPClient::getRequestFinished - %lld bytes left", static_cast<long long>(m_reply->bytesAvailable()));
  // What the reply still holds goes to the consumer before the end is
  // judged, and before a resumption asks for what follows it.
  for (qint64 left = m_reply->bytesAvailable(); left > 0 && m_deliverBody && !m_quit.load();) {
    dataReadyRead();
    const qint64 now = m_reply->bytesAvailable();
    if (now >= left) break;
    left = now;
  }
  if (m_quit.load()) return;
  if (m_resuming) {
    // The resumption itself failed before an answer: another break.
    transferBroke();
    return;
  }
  if (!m_deliverBody) return;
  const QNetworkReply::NetworkError error = m_reply->error();
  if (error != QNetworkReply::NoError || (m_expectedBody >= 0 && m_bodyReceived < m_expectedBody)) {
    logWarn("QTHTTPClient::getRequestFinished : download broke off after %lld of %lld bytes (error %d)",
            static_cast<long long>(m_bodyReceived), static_cast<long long>(m_expectedBody),
            static_cast<int>(error));
    transferBroke();
    return;
  }
  // A part (206) may end before the resource does: what follows is asked
  // for like after a break, and without ranges the download is short.
  const int64_t next = m_resumption.nextOffset();
  if (next >= 0 && m_resumption.length() > 0 && next < m_resumption.length()) {
    logWarn("QTHTTPClient::getRequestFinished : the answer ended at %lld of %lld", static_cast<long long>(next),
            static_cast<long long>(m_resumption.length()));
    transferBroke();
    return;
  }
  endDelivery(true);
}

void QTHTTPRequestHandler::transferBroke() {
  m_deliverBody = false;
  const int delayMs = m_resumption.nextAttempt(TransferResumption::Clock::now());
  if (delayMs < 0) {
    if (m_resumption.attempts() > 0) logWarn("QTHTTPClient : the download could not be resumed");
    endDelivery(false);
    return;
  }
  logWarn("QTHTTPClient : the download broke off; asking again from %lld in %d ms (attempt %d of %d)",
          static_cast<long long>(m_resumption.nextOffset()), delayMs, m_resumption.attempts(),
          TransferResumption::kMaxAttempts);
  m_resuming = true;
  m_backoffTimer->start(delayMs);
}

void QTHTTPRequestHandler::resumeTransfer() {
  if (m_quit.load() || !m_resuming) return;
  dropReply();  // the broken one (this is a timer's signal, not the reply's)
  sendRequest();
  if (m_reply != nullptr) m_resumeDeadline->start(m_resumption.remainingMs(TransferResumption::Clock::now()));
}

void QTHTTPRequestHandler::endDelivery(bool complete) {
  m_deliverBody = false;
  m_resuming = false;
  if (complete) {
    if (m_endOfFileCallback) m_endOfFileCallback();
  } else if (m_brokenCallback) {
    m_brokenCallback();
  }
}

void QTHTTPRequestHandler::onError(QNetworkReply::NetworkError code) {
  logDebug("Request error %d: %s", static_cast<int>(code),
           m_reply ? m_reply->errorString().toUtf8().constData() : "");
  PWriteGuard guard(m_lock);
  m_networkError = static_cast<int>(code);
}

}  // namespace zan
