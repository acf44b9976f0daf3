#include "network/TransferResumption.h"

#include <algorithm>

namespace zan {

void TransferResumption::begin(int64_t offset, const Resource& resource, bool rangesAllowed) {
  m_nextOffset = offset;
  m_resource = resource;
  m_rangesAllowed = rangesAllowed;
  m_attempts = 0;
}

void TransferResumption::delivered(int64_t bytes) {
  if (bytes <= 0) return;
  if (m_nextOffset >= 0) m_nextOffset += bytes;
  m_attempts = 0;
}

int TransferResumption::nextAttempt(Clock::time_point now) {
  if (!m_rangesAllowed || m_nextOffset < 0) return -1;
  if (m_attempts == 0) m_deadline = now + std::chrono::milliseconds(m_stallLimitMs);
  if (m_attempts >= kMaxAttempts || now >= m_deadline) return -1;
  const int backoff = kFirstBackoffMs << m_attempts;
  ++m_attempts;
  return std::min(backoff, remainingMs(now));
}

int TransferResumption::remainingMs(Clock::time_point now) const {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - now).count();
  return static_cast<int>(std::max<int64_t>(left, 0));
}

std::string TransferResumption::ifRange() const {
  return m_resource.etag.empty() ? m_resource.lastModified : m_resource.etag;
}

bool TransferResumption::accepts(int status, bool rangeValid, int64_t first, const Resource& answer,
                                 std::string& why) const {
  if (status != 206) {
    // With "If-Range", a whole answer means another resource; without it,
    // a server that ignores ranges.
    why = status == 200 ? "the whole resource (changed, or ranges ignored)" : "HTTP " + std::to_string(status);
    return false;
  }
  if (!rangeValid || first != m_nextOffset) {
    why = rangeValid ? "a part from " + std::to_string(first) : "no usable Content-Range";
    return false;
  }
  if ((!m_resource.etag.empty() && answer.etag != m_resource.etag) ||
      (m_resource.etag.empty() && !m_resource.lastModified.empty() &&
       answer.lastModified != m_resource.lastModified) ||
      (m_resource.length >= 0 && answer.length >= 0 && answer.length != m_resource.length)) {
    why = "another resource";
    return false;
  }
  return true;
}

}  // namespace zan
