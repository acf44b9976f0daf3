// Which certificate authorities an HTTPS exchange trusts: the system's,
// plus the bundle that SSL_CERT_FILE names (the variable OpenSSL's tools
// and FFmpeg's own HTTPS path of the core honour), so that every path of
// the library trusts the same servers.
//
// A bundle is a few hundred kilobytes of PEM: it is parsed once per
// process and path, not per exchange, and only for exchanges that need
// it (https), so that plain HTTP pays nothing.
#pragma once

class QNetworkRequest;

namespace zan {

// Adds the SSL_CERT_FILE bundle to the TLS configuration of |request| when
// its URL is https and the variable is set. Any thread.
void trustConfiguredAuthorities(QNetworkRequest& request);

}  // namespace zan
