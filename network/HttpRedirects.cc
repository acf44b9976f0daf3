#include "network/HttpRedirects.h"

#include <algorithm>

#include "support/CBBLog.h"

namespace zan {

bool isHttpScheme(const QUrl& url) {
  const QString scheme = url.scheme().toLower();
  return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

bool redirectTarget(const QUrl& base, int status, const std::string* location, QUrl& target, std::string& cause) {
  target = QUrl();
  if (status == 304 || location == nullptr || location->empty()) {
    logError("QTHTTPClient::open : answer %d without a usable redirection", status);
    cause = "HTTP " + std::to_string(status) + " without a Location";
    return false;
  }
  const QUrl resolved = base.resolved(QUrl(QString::fromStdString(*location)));
  if (!resolved.isValid() || !isHttpScheme(resolved)) {
    logError("QTHTTPClient::open : refused redirection to %s", location->c_str());
    cause = "redirect to a location that is not HTTP";
    return false;
  }
  target = resolved;
  return true;
}

bool RedirectTrail::follow(const QUrl& target, std::string& cause) {
  if (std::find(m_visited.begin(), m_visited.end(), target) != m_visited.end()) {
    logError("QTHTTPClient::open : redirect loop at %s", target.toString().toUtf8().constData());
    cause = "redirect loop";
    return false;
  }
  if (++m_redirects > kMaxRedirects) {
    logError("QTHTTPClient::open : more than %d redirects", kMaxRedirects);
    cause = "more than " + std::to_string(kMaxRedirects) + " redirects";
    return false;
  }
  m_visited.push_back(target);
  return true;
}

}  // namespace zan
