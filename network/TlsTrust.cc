#include "network/TlsTrust.h"

#include <QNetworkRequest>
#include <QSslConfiguration>

#include <cstdlib>

namespace zan {

void trustConfiguredAuthorities(QNetworkRequest& request) {
#if QT_CONFIG(ssl)
  if (const char* bundle = std::getenv("SSL_CERT_FILE"); bundle != nullptr && *bundle != '\0') {
    QSslConfiguration configuration = request.sslConfiguration();
    configuration.addCaCertificates(QString::fromLocal8Bit(bundle));
    request.setSslConfiguration(configuration);
  }
#else
  (void)request;
#endif
}

}  // namespace zan
