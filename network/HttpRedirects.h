// Redirects, which the request handler follows itself (Qt is told not to):
// where a 3xx answer points, and the trail of one open, which refuses
// loops and more than a bound of redirects.
#pragma once

#include <QUrl>

#include <string>
#include <vector>

namespace zan {

bool isHttpScheme(const QUrl& url);

// The target of a 3xx answer to a request for |base|: true with |target|
// set when |location| (the header, null when absent) names an HTTP(S)
// location; false with |cause| set otherwise (304, no or an empty
// Location, another scheme).
bool redirectTarget(const QUrl& base, int status, const std::string* location, QUrl& target, std::string& cause);

// The URLs one open has visited.
class RedirectTrail {
 public:
  static constexpr int kMaxRedirects = 10;

  explicit RedirectTrail(const QUrl& start) : m_visited{start} {}
  // True when |target| may be followed (and records it); false with
  // |cause| set for a loop or one redirect too many.
  bool follow(const QUrl& target, std::string& cause);

 private:
  std::vector<QUrl> m_visited;
  int m_redirects = 0;
};

}  // namespace zan
