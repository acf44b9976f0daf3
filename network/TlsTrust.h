// Which certificate authorities an HTTPS exchange trusts: the system's,
// plus the bundle that SSL_CERT_FILE names (the variable OpenSSL's tools
// and FFmpeg's own HTTPS path of the core honour), so that every path of
// the library trusts the same servers.
#pragma once

class QNetworkRequest;

namespace zan {

// Adds the SSL_CERT_FILE bundle to |request|'s TLS configuration when the
// variable is set. Any thread.
void trustConfiguredAuthorities(QNetworkRequest& request);

}  // namespace zan
