// When and how a download whose transfer broke off (connection reset,
// early close against a known length, stall limit) is asked for again:
// from the first byte the consumer lacks, with "Range" and "If-Range", at
// most kMaxAttempts times in a row (a row ends when bytes arrive) with a
// short back-off, and within the stall limit from the break on. An answer
// continues the download only if it is a 206 that starts exactly at that
// byte, of the same resource (same validators and length); anything else
// ends it broken.
//
// Plain bookkeeping for the request handler's worker thread, which owns
// it; no Qt, no locks.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace zan {

class TransferResumption {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kMaxAttempts = 3;
  static constexpr int kFirstBackoffMs = 100;  // doubled for every further attempt in a row

  // What a response says about the resource.
  struct Resource {
    std::string etag, lastModified;
    int64_t length = -1;  // the whole resource's, -1 = unknown
  };

  explicit TransferResumption(int stallLimitMs) : m_stallLimitMs(stallLimitMs) {}

  // A download starts: its body's first byte is |offset| of |resource|
  // (-1: a position in bytes that is not known, which cannot resume);
  // |rangesAllowed|: the server announced byte ranges or sent a 206.
  void begin(int64_t offset, const Resource& resource, bool rangesAllowed);
  // The consumer took |bytes| more: a row of attempts ends.
  void delivered(int64_t bytes);
  void rangesSeen() { m_rangesAllowed = true; }

  // After a break: the back-off before the next attempt, in milliseconds,
  // or -1 when the download cannot resume (no ranges, unknown position,
  // budget or time spent).
  int nextAttempt(Clock::time_point now);
  // What is left of the time the current row may take.
  int remainingMs(Clock::time_point now) const;

  // The first byte the consumer lacks.
  int64_t nextOffset() const { return m_nextOffset; }
  int64_t length() const { return m_resource.length; }
  int attempts() const { return m_attempts; }
  // The "If-Range" value: the first answer's ETag, else its Last-Modified;
  // empty when it had neither.
  std::string ifRange() const;
  // Whether an answer to the resumption continues the download; |why| says
  // why not.
  bool accepts(int status, bool rangeValid, int64_t first, const Resource& answer, std::string& why) const;

 private:
  const int m_stallLimitMs;
  int64_t m_nextOffset = -1;
  Resource m_resource;
  bool m_rangesAllowed = false;
  int m_attempts = 0;  // in the current row
  Clock::time_point m_deadline;
};

}  // namespace zan
