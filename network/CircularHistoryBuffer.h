// The byte store between the network and the decoder: a fixed ring with a
// window of already-read bytes (the history) kept behind the slowest
// reader, so that a backward seek needs no new request.
//
// Data flow: one writer (the network thread) stores bytes with write(); one
// or more readers (the decoder thread) take them out through
// CircularHistoryBufferReader, blocking until enough bytes are there.
// Offsets handed to readers are absolute byte offsets of the remote
// resource; setStartOffset() says which offset the next written byte has
// when a download restarts somewhere else.
//
// Invariants: the writer never overwrites bytes that a reader has not read
// yet, nor the history window behind the slowest reader (the bytes read
// since the download (re)started, at most the history size), and always
// leaves one byte of the ring free. Storage is allocated once; every write or read
// is at most two block copies (split at the wrap point).
//
// Thread safety: every operation may be called from any thread; there is
// one writer at a time, and a reader is read and moved by one thread at a
// time (its status may be asked from any). m_lock guards all fields of the
// buffer and of its readers; the storage lock is always taken inside it.
// The byte copies themselves run outside m_lock, so that the writer and a
// reader copy at the same time: the writer reserves the free bytes it
// fills (m_reserved) and then publishes them; a reader copies bytes it has
// not consumed yet and then moves its position. A clear, reset,
// suspension or close that comes in between makes the copy count for
// nothing (m_generation). clear(), reset(), shutdown() and close() release
// every blocked writer and reader. close() destroys the readers: their
// owner must drop its reader pointers when it closes the buffer.
#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "network/BufferHandle.h"
#include "network/BufferInterfaces.h"
#include "support/PMutex.h"

namespace zan {

class CircularHistoryBuffer : public BufferWriterInterface {
 public:
  CircularHistoryBuffer(int64_t bufferSize, int64_t historySize);
  ~CircularHistoryBuffer() override;
  CircularHistoryBuffer(const CircularHistoryBuffer&) = delete;
  CircularHistoryBuffer& operator=(const CircularHistoryBuffer&) = delete;

  int64_t write(const uint8_t* data, int64_t length, bool blocking) override;
  // The same with the bytes taken from |source| (called once per part
  // stored, with consecutive parts), under the buffer's lock.
  int64_t writeFrom(const ByteSource& source, int64_t length, bool blocking);
  void setEndOfStream() override;
  // Empties the buffer (ring index 0 stands for offset 0 again) and makes a
  // writer that waits for room return.
  void clear() override;
  void setStartOffset(int64_t offset) override;
  // clear(), then reopen: not ended, not closed, writes accepted.
  void reset() override;
  void close() override;
  // Null when closed or when no storage view can be had. Owned by the
  // buffer.
  CircularHistoryBufferReader* createReader() override;
  bool isOffsetInBuffer(int64_t offset) override;
  int64_t getBufferSize() override { return m_bufferSize; }
  int64_t getFreeSpace() override;
  virtual int64_t getTotalWritten();
  // A new view of the storage for a reader.
  virtual std::unique_ptr<BufferHandle> createHandle() = 0;

  // Refuses writes (they store nothing and return 0) and releases a writer
  // waiting for room, until reset(). Used while the producer is being
  // stopped: nothing it still delivers is kept, and it never blocks.
  void suspendWrites();
  // Ends a suspension without emptying the buffer: the next bytes written
  // follow those it holds (a download resumed where it stopped).
  void resumeWrites();
  // Closes the buffer to writers and readers and wakes every waiter, but
  // keeps storage and readers alive (reader pointers stay valid until
  // close()). reset() reopens it.
  void shutdown();
  bool isEndOfStream();
  // First absolute offset of the history window behind the slowest reader.
  int64_t getHistoryStart();
  // Absolute offset of the next byte to be written.
  int64_t getWrittenEnd();

 protected:
  // Called once by the concrete buffer's constructor.
  void setHandle(std::unique_ptr<BufferHandle> handle) { m_handle = std::move(handle); }
  // The owning handle; only under m_lock.
  BufferHandle* handle() { return m_handle.get(); }

 private:
  friend class CircularHistoryBufferReader;

  int64_t freeSpaceLocked();
  int64_t storeLocked(const ByteSource& source, int64_t length);
  CircularHistoryBufferReader* slowestReaderLocked();
  int64_t historyStartLocked(int64_t position, int64_t origin);
  void clearLocked();
  void shutdownLocked();

  int64_t m_writeIndex = 0;    // ring index of the next byte, in [0, m_bufferSize)
  int64_t m_totalWritten = 0;  // bytes stored since the last clear
  int64_t m_baseOffset = 0;    // absolute offset of ring index 0 in this lap
  const int64_t m_bufferSize;
  const int64_t m_historySize;
  bool m_closed = false;
  bool m_resetPending = false;  // a waiting writer gives up its rest
  bool m_endOfStream = false;
  bool m_writesSuspended = false;
  int64_t m_reserved = 0;     // bytes past the write index the writer is filling
  uint64_t m_generation = 0;  // counts clears, start offsets and shutdowns

  PMutex m_lock;
  PCondition m_spaceAvailable{&m_lock};  // a reader consumed, or clear/close
  PCondition m_dataAvailable{&m_lock};   // bytes stored, end of stream, or close
  PCondition m_idle{&m_lock};            // m_activeCalls fell to 0
  int m_activeCalls = 0;                 // reads and writes in progress

  std::unique_ptr<BufferHandle> m_handle;  // owning storage handle
  std::map<int, std::unique_ptr<CircularHistoryBufferReader>> m_readers;
  int m_nextReaderId = 0;
};

class CircularHistoryBufferReader : public BufferReaderInterface {
 public:
  // Takes a storage view from |buffer|; without one the reader is closed.
  CircularHistoryBufferReader(CircularHistoryBuffer* buffer, int id);
  ~CircularHistoryBufferReader() override;
  CircularHistoryBufferReader(const CircularHistoryBufferReader&) = delete;
  CircularHistoryBufferReader& operator=(const CircularHistoryBufferReader&) = delete;

  int64_t read(uint8_t* data, int64_t* ioLength, int64_t minimum, int64_t maximum,
               bool blocking) override;
  bool isOffsetInBuffer(int64_t offset) override;
  bool seek(int64_t offset) override;
  bool isEndOfStream() override;
  // Closes this reader and wakes a read blocked on it (it returns 0).
  void close() override;
  void rewind() override;
  int64_t getAvailable() override;
  virtual void setStartPosition(int64_t offset);
  virtual int64_t getPosition();
  virtual int64_t getStorageIndex();
  virtual void clear();
  // Position, history window start and available bytes, taken together.
  void getStatus(int64_t& position, int64_t& historyStart, int64_t& available);
  int id() const { return m_id; }

 private:
  friend class CircularHistoryBuffer;

  int64_t availableLocked();
  bool inRangeLocked(int64_t offset);
  bool seekLocked(int64_t offset);

  CircularHistoryBuffer* const m_buffer;  // not owned; outlives the reader
  std::unique_ptr<BufferHandle> m_handle;  // cursor = this reader's ring index
  const int m_id;
  bool m_closed = false;
  int64_t m_position = 0;  // absolute offset of the next byte returned
  int64_t m_origin = 0;    // absolute offset of ring index 0 when the download (re)started
};

}  // namespace zan
