// The history buffer driven by a sequence of operations decoded from the
// input (writes, reads, seeks, end of stream, restarts at another offset,
// reset, suspended writes, close), each checked against a plain model of the
// same semantics kept in absolute offsets: what is stored and what can be
// read, which offsets a seek may reach, and that every byte read is the
// byte written at that offset. One reader, as the HTTP client uses it; no
// call may block, so blocking calls are made only where the model says they
// return at once.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "network/CircularMemoryHistoryBuffer.h"

namespace {

// The byte at absolute offset |offset| of the |generation|th download.
uint8_t pattern(int64_t offset, int generation) {
  return static_cast<uint8_t>((offset * 131 + (offset >> 8) * 7 + generation * 29 + 5) & 0xFF);
}

struct Model {
  int64_t ring, history;
  int64_t origin = 0, total = 0, position = 0;
  int generation = 0;
  bool ended = false, suspended = false;

  int64_t end() const { return origin + total; }
  int64_t available() const { return position - origin >= total ? 0 : end() - position; }
  int64_t freeSpace() const {
    const int64_t free = ring - available() - std::min(total, history) - 1;
    return std::max<int64_t>(free, 0);
  }
  // Everything read since the download began, up to the history size; but
  // after a seek back into the history, nothing older than one ring behind
  // the written end survives, whatever the window says.
  int64_t historyStart() const {
    const int64_t window = std::max(origin, position - history);
    return std::max(window, std::min(end() - ring + 1, position));
  }
  bool seekable(int64_t offset) const {
    if (offset == position) return true;
    if (offset < position) return offset >= historyStart();
    return offset < position + available();
  }
  void restart(int64_t offset) {
    origin = position = offset;
    total = 0;
    ++generation;
  }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zan::fuzz::quietLogging();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zan::fuzz::Input in(data, size);
  Model model{16 + static_cast<int64_t>(in.take(1)) * 16, 0};
  model.history = static_cast<int64_t>(in.take(1)) * model.ring / 256;
  zan::CircularMemoryHistoryBuffer buffer(model.ring, model.history);
  zan::CircularHistoryBufferReader* reader = buffer.createReader();
  FUZZ_CHECK(reader != nullptr);
  std::vector<uint8_t> bytes(static_cast<size_t>(model.ring) * 2);

  while (!in.empty()) {
    const unsigned op = static_cast<unsigned>(in.take(1)) % 10;
    const int64_t argument = static_cast<int64_t>(in.take(2)) % (model.ring * 2);
    switch (op) {
      case 0:    // write without blocking: what fits
      case 1: {  // blocking write of no more than fits: returns at once
        const bool blocking = op == 1;
        const int64_t length = blocking ? std::min(argument, model.freeSpace()) : argument;
        for (int64_t i = 0; i < length; ++i) bytes[i] = pattern(model.end() + i, model.generation);
        const int64_t stored = buffer.write(bytes.data(), length, blocking);
        const int64_t expected = model.suspended ? 0 : std::min(length, model.freeSpace());
        FUZZ_CHECK(stored == expected);
        model.total += stored;
        if (!model.suspended && length > 0) model.ended = false;
        break;
      }
      case 2:    // read without blocking
      case 3: {  // blocking read of what is there (or anything, once ended)
        const bool blocking = op == 3;
        int64_t length = std::max<int64_t>(argument, 1);
        int64_t minimum = blocking && !model.ended ? std::min(length, model.available()) : length;
        if (blocking && minimum == 0) break;  // would wait for data
        const int64_t got = reader->read(bytes.data(), &length, minimum, length, blocking);
        const int64_t expected = std::min(length, model.available());
        FUZZ_CHECK(got == expected && (got == 0 || length == got));
        for (int64_t i = 0; i < got; ++i) FUZZ_CHECK(bytes[i] == pattern(model.position + i, model.generation));
        model.position += got;
        break;
      }
      case 4: {  // seek around the reader's position
        const int64_t target = model.position + argument - model.ring;
        const bool moved = reader->seek(target);
        FUZZ_CHECK(moved == model.seekable(target));
        FUZZ_CHECK(buffer.isOffsetInBuffer(target) == (target >= model.historyStart() && target < model.end()));
        if (moved) model.position = target;
        break;
      }
      case 5:
        buffer.setEndOfStream();
        model.ended = true;
        break;
      case 6:  // a new download at another offset
        buffer.clear();
        buffer.setStartOffset(argument * 1000);
        model.restart(argument * 1000);
        break;
      case 7:
        buffer.reset();
        buffer.setStartOffset(argument);
        model.restart(argument);
        model.ended = model.suspended = false;
        break;
      case 8:
        buffer.suspendWrites();
        model.suspended = true;
        break;
      case 9:  // closed for good: nothing more is stored or handed out
        buffer.close();
        FUZZ_CHECK(buffer.write(bytes.data(), 1, false) == 0);
        FUZZ_CHECK(buffer.createReader() == nullptr);
        return 0;
    }
    FUZZ_CHECK(reader->getAvailable() == model.available());
    FUZZ_CHECK(reader->getPosition() == model.position);
    FUZZ_CHECK(buffer.getFreeSpace() == model.freeSpace());
    FUZZ_CHECK(buffer.isEndOfStream() == model.ended);
    FUZZ_CHECK(buffer.getWrittenEnd() == model.end());
  }
  return 0;
}
