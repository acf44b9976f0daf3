// How long a network exchange may go without progress before it counts as
// failed, for every path that reads from a server: the library's own HTTP
// client and FFmpeg's HTTP protocol opened by the decoder core.
//
// The header limit bounds the wait for a response's headers (from the
// request to the end of its headers); the stall limit bounds the time
// between two body bytes. Both are 30 s in the product. Tests that need a
// hung server to be given up quickly set "ZAN_NETWORK_TIMEOUT_MS" (a
// positive number of milliseconds) before the first network use; the value
// is read once per process and replaces both limits.
#pragma once

namespace zan {

constexpr int kHeaderTimeoutMs = 30000;
constexpr int kStallTimeoutMs = 30000;

// The limits in force: the constants above unless the environment
// overrides them.
int headerTimeoutMs();
int stallTimeoutMs();

}  // namespace zan
