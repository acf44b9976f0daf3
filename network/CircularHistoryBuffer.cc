// The history ring buffer and its reader. See CircularHistoryBuffer.h for
// the invariants; the comments here explain the less obvious choices.
#include "network/CircularHistoryBuffer.h"

#include <algorithm>
#include <cstring>

#include "support/CBBLog.h"

namespace zan {

namespace {

// Counts a read or write in progress so that close() can wait for it to
// leave before it destroys storage and readers.
class ActiveCall {
 public:
  ActiveCall(int& counter, PCondition& idle) : counter_(counter), idle_(idle) { ++counter_; }
  ~ActiveCall() {
    if (--counter_ == 0) idle_.broadcast();
  }
  ActiveCall(const ActiveCall&) = delete;
  ActiveCall& operator=(const ActiveCall&) = delete;

 private:
  int& counter_;
  PCondition& idle_;
};

}  // namespace

CircularHistoryBuffer::CircularHistoryBuffer(int64_t bufferSize, int64_t historySize)
    : m_bufferSize(std::max<int64_t>(bufferSize, 0)),
      m_historySize(std::clamp<int64_t>(historySize, 0, std::max<int64_t>(bufferSize - 1, 0))) {}

CircularHistoryBuffer::~CircularHistoryBuffer() { close(); }

CircularHistoryBufferReader* CircularHistoryBuffer::slowestReaderLocked() {
  CircularHistoryBufferReader* slowest = nullptr;
  for (auto& [id, reader] : m_readers) {
    if (reader->m_closed) continue;
    if (slowest == nullptr || reader->m_position < slowest->m_position) slowest = reader.get();
  }
  return slowest;
}

int64_t CircularHistoryBuffer::freeSpaceLocked() {
  if (m_bufferSize == 0) return 0;
  const int64_t kept = std::min(m_totalWritten, m_historySize);
  CircularHistoryBufferReader* slowest = slowestReaderLocked();
  const int64_t slowIndex = slowest ? slowest->m_handle->tell() : 0;
  const int64_t used =
      slowIndex <= m_writeIndex ? m_writeIndex - slowIndex : m_writeIndex + m_bufferSize - slowIndex;
  return std::max<int64_t>(m_bufferSize - used - kept - 1 - m_reserved, 0);
}

int64_t CircularHistoryBuffer::getFreeSpace() {
  PLockGuard guard(m_lock);
  return freeSpaceLocked();
}

int64_t CircularHistoryBuffer::getTotalWritten() {
  PLockGuard guard(m_lock);
  return m_totalWritten;
}

// Called with m_lock held and |length| bytes free; releases the lock for
// the copy. 0 when a clear, reset, suspension or close came meanwhile: the
// bytes are not kept.
int64_t CircularHistoryBuffer::storeLocked(const ByteSource& source, int64_t length) {
  if (length <= 0 || !m_handle || m_closed) return 0;
  const int64_t index = m_writeIndex;
  const uint64_t generation = m_generation;
  const bool split = index + length >= m_bufferSize;
  const int64_t first = split ? m_bufferSize - index : length;
  bool copied = false;
  m_reserved = length;
  {
    PUnlockGuard unlocked(m_lock);
    copied = m_handle->writeAt(index, source, first) >= 0 &&
             (length == first || m_handle->writeAt(0, source, length - first) >= 0);
  }
  m_reserved = 0;
  if (!copied) return -1;
  if (generation != m_generation || m_closed || m_writesSuspended) return 0;
  if (split) {
    logDebug("CircularHistoryBuffer::read : going back to 0 - %lld %lld %lld", static_cast<long long>(index),
             static_cast<long long>(length), static_cast<long long>(m_totalWritten));
    m_baseOffset += m_bufferSize;
  }
  m_totalWritten += length;
  m_writeIndex = (index + length) % m_bufferSize;
  m_dataAvailable.broadcast();
  return length;
}

int64_t CircularHistoryBuffer::write(const uint8_t* data, int64_t length, bool blocking) {
  if (data == nullptr) return 0;
  return writeFrom([&data](uint8_t* destination, int64_t count) {
    std::memcpy(destination, data, static_cast<size_t>(count));
    data += count;
  }, length, blocking);
}

int64_t CircularHistoryBuffer::writeFrom(const ByteSource& source, int64_t length, bool blocking) {
  PLockGuard guard(m_lock);
  if (m_closed || m_writesSuspended) return 0;
  if (!source || length <= 0) return 0;
  ActiveCall active(m_activeCalls, m_idle);
  // New data revives an ended stream and ends a pending reset.
  m_endOfStream = false;
  m_resetPending = false;
  int64_t stored = 0;
  while (length > 0) {
    const int64_t space = freeSpaceLocked();
    if (space == 0) {
      if (!blocking) break;
      m_spaceAvailable.wait();
      if (m_resetPending || m_closed || m_writesSuspended) return stored;
      continue;
    }
    const int64_t part = std::min(space, length);
    const int64_t result = storeLocked(source, part);
    if (result < 0) return -1;
    if (result == 0) break;
    stored += result;
    length -= result;
    if (!blocking) break;
  }
  return stored;
}

void CircularHistoryBuffer::setEndOfStream() {
  PLockGuard guard(m_lock);
  m_endOfStream = true;
  m_dataAvailable.broadcast();
}

bool CircularHistoryBuffer::isEndOfStream() {
  PLockGuard guard(m_lock);
  return m_endOfStream;
}

void CircularHistoryBuffer::clearLocked() {
  ++m_generation;
  m_writeIndex = 0;
  m_totalWritten = 0;
  m_baseOffset = 0;
  m_resetPending = true;
  if (m_handle) m_handle->seek(0);
  for (auto& [id, reader] : m_readers) {
    if (reader->m_handle) reader->m_handle->seek(0);
    reader->m_position = 0;
    reader->m_origin = 0;
  }
  m_spaceAvailable.broadcast();
}

void CircularHistoryBuffer::clear() {
  PLockGuard guard(m_lock);
  clearLocked();
}

void CircularHistoryBuffer::setStartOffset(int64_t offset) {
  PLockGuard guard(m_lock);
  ++m_generation;
  m_baseOffset = offset;
  for (auto& [id, reader] : m_readers) {
    reader->m_position = offset;
    reader->m_origin = offset;
    if (reader->m_handle) reader->m_handle->seek(0);
  }
}

void CircularHistoryBuffer::reset() {
  logDebug("CircularHistoryBuffer::reset");
  PLockGuard guard(m_lock);
  clearLocked();
  m_endOfStream = false;
  m_closed = false;
  m_writesSuspended = false;
}

void CircularHistoryBuffer::suspendWrites() {
  PLockGuard guard(m_lock);
  m_writesSuspended = true;
  m_spaceAvailable.broadcast();
}

void CircularHistoryBuffer::resumeWrites() {
  PLockGuard guard(m_lock);
  m_writesSuspended = false;
}

void CircularHistoryBuffer::shutdownLocked() {
  ++m_generation;
  m_closed = true;
  for (auto& [id, reader] : m_readers) reader->m_closed = true;
  m_dataAvailable.broadcast();
  m_spaceAvailable.broadcast();
}

void CircularHistoryBuffer::shutdown() {
  PLockGuard guard(m_lock);
  shutdownLocked();
}

void CircularHistoryBuffer::close() {
  PLockGuard guard(m_lock);
  shutdownLocked();
  // Blocked callers were woken above; wait until they have left before
  // their reader or the storage goes away.
  while (m_activeCalls > 0) m_idle.wait();
  if (m_handle) m_handle->release();
  m_readers.clear();
  m_handle.reset();
  m_writeIndex = 0;
  m_totalWritten = 0;
  m_baseOffset = 0;
  m_resetPending = true;
}

CircularHistoryBufferReader* CircularHistoryBuffer::createReader() {
  PLockGuard guard(m_lock);
  if (m_closed || !m_handle) return nullptr;
  const int id = m_nextReaderId++;
  auto reader = std::make_unique<CircularHistoryBufferReader>(this, id);
  if (!reader->m_handle) return nullptr;
  CircularHistoryBufferReader* result = reader.get();
  m_readers.emplace(id, std::move(reader));
  return result;
}

int64_t CircularHistoryBuffer::historyStartLocked(int64_t position, int64_t origin) {
  // Every byte the writer still keeps behind the reader is history, up to
  // the history size: from the start of the download on, since the writer
  // never overwrites the bytes between the start and a reader that has read
  // less than the history size.
  int64_t start = std::max(origin, position - m_historySize);
  // A reader that moved back into its history keeps a window behind its new
  // position, but bytes more than one ring behind the written end have been
  // overwritten whatever the window says.
  // (Bytes the writer is filling right now count as overwritten already.)
  const int64_t oldestStored = m_baseOffset + m_writeIndex + m_reserved - m_bufferSize + 1;
  start = std::max(start, std::min(oldestStored, position));
  return start;
}

bool CircularHistoryBuffer::isOffsetInBuffer(int64_t offset) {
  PLockGuard guard(m_lock);
  CircularHistoryBufferReader* slowest = slowestReaderLocked();
  const int64_t readPosition = slowest ? slowest->m_position : 0;
  const int64_t origin = slowest ? slowest->m_origin : 0;
  const int64_t historyStart = historyStartLocked(readPosition, origin);
  if (historyStart <= offset && offset < m_baseOffset + m_writeIndex) return true;
  logDebug("CircularHistoryBuffer::isOffsetInBuffer(%lld) readPosition=%lld historyStart=%lld returned %d",
           static_cast<long long>(offset), static_cast<long long>(readPosition),
           static_cast<long long>(historyStart), 0);
  return false;
}

int64_t CircularHistoryBuffer::getHistoryStart() {
  PLockGuard guard(m_lock);
  CircularHistoryBufferReader* slowest = slowestReaderLocked();
  if (slowest == nullptr) return 0;
  return historyStartLocked(slowest->m_position, slowest->m_origin);
}

int64_t CircularHistoryBuffer::getWrittenEnd() {
  PLockGuard guard(m_lock);
  return m_baseOffset + m_writeIndex;
}

// ---------------------------------------------------------------------------

CircularHistoryBufferReader::CircularHistoryBufferReader(CircularHistoryBuffer* buffer, int id)
    : m_buffer(buffer), m_handle(buffer ? buffer->createHandle() : nullptr), m_id(id) {
  if (!m_handle) {
    logWarn("CircularHistoryBufferReader::CircularHistoryBufferReader m_handle creation failed");
    m_closed = true;
  }
}

CircularHistoryBufferReader::~CircularHistoryBufferReader() = default;

int64_t CircularHistoryBufferReader::availableLocked() {
  if (m_closed || !m_handle) return 0;
  if (m_position - m_origin >= m_buffer->m_totalWritten) return 0;
  const int64_t w = m_buffer->m_writeIndex;
  const int64_t r = m_handle->tell();
  return r <= w ? w - r : w - r + m_buffer->m_bufferSize;
}

int64_t CircularHistoryBufferReader::getAvailable() {
  PLockGuard guard(m_buffer->m_lock);
  return availableLocked();
}

int64_t CircularHistoryBufferReader::read(uint8_t* data, int64_t* ioLength, int64_t minimum,
                                          int64_t maximum, bool blocking) {
  if (data == nullptr || ioLength == nullptr || *ioLength < 0) return -1;
  CircularHistoryBuffer& buffer = *m_buffer;
  PLockGuard guard(buffer.m_lock);
  if (m_closed || !m_handle) return -1;
  ActiveCall active(buffer.m_activeCalls, buffer.m_idle);
  if (minimum <= 0) minimum = *ioLength;
  if (maximum <= 0) maximum = *ioLength;
  maximum = std::min(maximum, *ioLength);
  minimum = std::min(minimum, maximum);
  if (buffer.m_endOfStream) blocking = false;

  int64_t available = availableLocked();
  while (available < minimum) {
    if (!blocking) {
      minimum = available;
      break;
    }
    buffer.m_dataAvailable.wait();
    if (m_closed) {
      *ioLength = 0;
      return 0;
    }
    available = availableLocked();
    if (buffer.m_endOfStream) {
      minimum = std::min(minimum, available);
      break;
    }
  }
  if (minimum <= 0 && available == 0) {
    *ioLength = 0;
    return 0;
  }

  const int64_t count = std::min(available, maximum);
  const int64_t index = m_handle->tell();
  const uint64_t generation = buffer.m_generation;
  const bool split = index + count >= buffer.m_bufferSize;
  const int64_t first = split ? buffer.m_bufferSize - index : count;
  bool copied = false;
  {
    // The writer never fills bytes this reader has not consumed.
    PUnlockGuard unlocked(buffer.m_lock);
    copied = m_handle->readAt(index, data, first) >= 0 &&
             (count == first || m_handle->readAt(0, data + first, count - first) >= 0);
  }
  if (!copied) return -1;
  if (generation != buffer.m_generation || m_closed) {
    // Cleared or closed meanwhile: what was copied may not be the bytes
    // of this position.
    *ioLength = 0;
    return 0;
  }
  if (split) {
    logDebug("CircularHistoryBufferReader::read : going back to 0 - %lld %lld", static_cast<long long>(index),
             static_cast<long long>(count));
  }
  m_handle->seek((index + count) % buffer.m_bufferSize);
  *ioLength = count;
  m_position += count;
  buffer.m_spaceAvailable.broadcast();
  return count;
}

bool CircularHistoryBufferReader::inRangeLocked(int64_t offset) {
  if (offset == m_position) return true;
  if (offset < m_position) return offset >= m_buffer->historyStartLocked(m_position, m_origin);
  return offset < m_position + availableLocked();
}

bool CircularHistoryBufferReader::isOffsetInBuffer(int64_t offset) {
  PLockGuard guard(m_buffer->m_lock);
  return inRangeLocked(offset);
}

bool CircularHistoryBufferReader::seekLocked(int64_t offset) {
  if (m_closed || !m_handle || m_buffer->m_bufferSize == 0) return false;
  if (!inRangeLocked(offset)) {
    logDebug("CircularHistoryBufferReader::seek offset %lld not in buffer", static_cast<long long>(offset));
    return false;
  }
  int64_t index = (offset - m_origin) % m_buffer->m_bufferSize;
  if (index < 0) index += m_buffer->m_bufferSize;
  if (m_handle->seek(index) < 0) return false;
  m_position = offset;
  // Moving changes the slowest reader, and with it the writer's room.
  m_buffer->m_spaceAvailable.broadcast();
  return true;
}

bool CircularHistoryBufferReader::seek(int64_t offset) {
  PLockGuard guard(m_buffer->m_lock);
  return seekLocked(offset);
}

bool CircularHistoryBufferReader::isEndOfStream() {
  PLockGuard guard(m_buffer->m_lock);
  return m_buffer->m_endOfStream;
}

void CircularHistoryBufferReader::close() {
  PLockGuard guard(m_buffer->m_lock);
  m_closed = true;
  m_buffer->m_dataAvailable.broadcast();
  m_buffer->m_spaceAvailable.broadcast();
}

void CircularHistoryBufferReader::rewind() {
  PLockGuard guard(m_buffer->m_lock);
  seekLocked(m_origin);
}

void CircularHistoryBufferReader::setStartPosition(int64_t offset) {
  PLockGuard guard(m_buffer->m_lock);
  m_position = offset;
  m_origin = offset;
  if (m_handle) m_handle->seek(0);
}

int64_t CircularHistoryBufferReader::getPosition() {
  PLockGuard guard(m_buffer->m_lock);
  return m_closed ? 0 : m_position;
}

int64_t CircularHistoryBufferReader::getStorageIndex() {
  PLockGuard guard(m_buffer->m_lock);
  return m_closed || !m_handle ? 0 : m_handle->tell();
}

void CircularHistoryBufferReader::getStatus(int64_t& position, int64_t& historyStart, int64_t& available) {
  PLockGuard guard(m_buffer->m_lock);
  position = m_position;
  historyStart = m_buffer->historyStartLocked(m_position, m_origin);
  available = availableLocked();
}

void CircularHistoryBufferReader::clear() {
  PLockGuard guard(m_buffer->m_lock);
  if (m_handle) m_handle->seek(0);
  m_position = 0;
  m_origin = 0;
}

}  // namespace zan
