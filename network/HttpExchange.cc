// The worker thread's side of one HTTP exchange of QTHTTPRequestHandler:
// building and sending the request, judging the response headers (error,
// redirect, range, length), delivering the body to the data callback and
// telling how it ended. Everything here runs on HTTPQThread; see
// QTHTTPRequestHandler.h for the threading model.
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QSslError>

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
  trustConfiguredAuthorities(request);

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
  m_stallWatch.reset();
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
    std::string& entry = headers[asciiLowerCase(name.toStdString())];
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

  QUrl target;
  if (errorCode == 0 && status >= 300 && !redirectTarget(url, status, header("location"), target, cause)) {
    errorCode = 404;
  }

  const int64_t responseLength = header("content-length") ? parseHeaderLength(*header("content-length")) : -1;
  int64_t rangeFirst = -1;
  int64_t rangeTotal = -1;
  const bool rangeValid =
      status == 206 && header("content-range") && parseContentRange(*header("content-range"), rangeFirst, rangeTotal);

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
    m_contentType = header("content-type") ? *header("content-type") : std::string();
    m_responseHeaders = std::move(headers);
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

}  // namespace zan
