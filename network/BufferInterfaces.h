// The two sides of a byte buffer between a producer (the network) and a
// consumer (the decoder): the writer stores bytes and controls the stream's
// state, a reader takes them out and may move within what is kept.
#pragma once

#include <cstdint>

namespace zan {

class CircularHistoryBufferReader;

class BufferWriterInterface {
 public:
  virtual ~BufferWriterInterface() = default;
  // Stores bytes; the number stored, 0 when closed or reset while waiting,
  // -1 when the storage failed. A blocking write stores what fits at once
  // and waits for room for the rest.
  virtual int64_t write(const uint8_t* data, int64_t length, bool blocking) = 0;
  virtual void setEndOfStream() = 0;
  virtual void clear() = 0;
  virtual void setStartOffset(int64_t offset) = 0;
  virtual void reset() = 0;
  virtual void close() = 0;
  virtual CircularHistoryBufferReader* createReader() = 0;
  virtual bool isOffsetInBuffer(int64_t offset) = 0;
  virtual int64_t getBufferSize() = 0;
  virtual int64_t getFreeSpace() = 0;
};

class BufferReaderInterface {
 public:
  // Reads between |minimum| and |maximum| bytes (0 stands for *ioLength);
  // *ioLength receives the count delivered, which is also returned. 0 when
  // nothing could be delivered, -1 on failure.
  virtual int64_t read(uint8_t* data, int64_t* ioLength, int64_t minimum, int64_t maximum,
                       bool blocking) = 0;
  virtual bool isOffsetInBuffer(int64_t offset) = 0;
  virtual bool seek(int64_t offset) = 0;
  virtual bool isEndOfStream() = 0;
  virtual void close() = 0;
  virtual void rewind() = 0;
  virtual int64_t getAvailable() = 0;
  virtual ~BufferReaderInterface() = default;
};

}  // namespace zan
