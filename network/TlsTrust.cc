#include "network/TlsTrust.h"

#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSslConfiguration>

#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

namespace zan {

#if QT_CONFIG(ssl)
namespace {

// The certificates of the bundle at |path|, read on first use. The cache
// is never freed: certificates destroyed at process exit could outlive
// the TLS plug-in Qt unloads by then.
QList<QSslCertificate> bundleCertificates(const std::string& path) {
  static std::mutex lock;
  static auto* cache = new std::map<std::string, QList<QSslCertificate>>;
  std::lock_guard<std::mutex> guard(lock);
  auto found = cache->find(path);
  if (found == cache->end()) {
    found = cache->emplace(path, QSslCertificate::fromPath(QString::fromLocal8Bit(path.c_str()))).first;
  }
  return found->second;
}

}  // namespace
#endif

void trustConfiguredAuthorities(QNetworkRequest& request) {
#if QT_CONFIG(ssl)
  // Decided per request: a redirect from http to https gets the bundle too.
  if (request.url().scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0) return;
  const char* bundle = std::getenv("SSL_CERT_FILE");
  if (bundle == nullptr || *bundle == '\0') return;
  QSslConfiguration configuration = request.sslConfiguration();
  configuration.addCaCertificates(bundleCertificates(bundle));
  request.setSslConfiguration(configuration);
#else
  (void)request;
#endif
}

}  // namespace zan
