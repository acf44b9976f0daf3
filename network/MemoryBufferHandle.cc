// Memory storage for the history buffer: one block, copies under one
// recursive mutex shared by the owner and its views.
#include "network/MemoryBufferHandle.h"

#include <cstring>
#include <new>

namespace zan {

MemoryBufferHandle::Storage::Storage(int64_t bytes)
    : data(new (std::nothrow) uint8_t[static_cast<size_t>(bytes)]) {}

MemoryBufferHandle::MemoryBufferHandle(int64_t size) : m_owner(true) {
  if (size <= 0) return;
  auto storage = std::make_shared<Storage>(size);
  if (!storage->data) return;
  m_storage = std::move(storage);
  m_size = size;
}

MemoryBufferHandle::MemoryBufferHandle(const MemoryBufferHandle& owner)
    : BufferHandle(), m_storage(owner.m_storage), m_size(owner.m_storage ? owner.m_size : 0) {}

MemoryBufferHandle::~MemoryBufferHandle() { release(); }

void MemoryBufferHandle::release() {
  m_storage.reset();
  m_size = 0;
  m_position = 0;
}

int64_t MemoryBufferHandle::seek(int64_t index) {
  if (!m_storage || index < 0 || index > m_size) return -1;
  PLockGuard guard(m_storage->mutex);
  m_position = index;
  return m_position;
}

int64_t MemoryBufferHandle::write(const uint8_t* data, int64_t length) {
  if (!m_storage || data == nullptr || length < 0 || m_position + length > m_size) return -1;
  PLockGuard guard(m_storage->mutex);
  std::memcpy(m_storage->data.get() + m_position, data, static_cast<size_t>(length));
  m_position = (m_position + length) % m_size;
  return length;
}

int64_t MemoryBufferHandle::read(uint8_t* data, int64_t length) {
  if (!m_storage || data == nullptr || length < 0 || m_position + length > m_size) return -1;
  PLockGuard guard(m_storage->mutex);
  std::memcpy(data, m_storage->data.get() + m_position, static_cast<size_t>(length));
  m_position = (m_position + length) % m_size;
  return length;
}

int64_t MemoryBufferHandle::writeAt(int64_t index, const ByteSource& source, int64_t length) {
  if (!m_storage || !source || index < 0 || length < 0 || index + length > m_size) return -1;
  if (length > 0) source(m_storage->data.get() + index, length);
  return length;
}

int64_t MemoryBufferHandle::readAt(int64_t index, uint8_t* data, int64_t length) {
  if (!m_storage || data == nullptr || index < 0 || length < 0 || index + length > m_size) return -1;
  std::memcpy(data, m_storage->data.get() + index, static_cast<size_t>(length));
  return length;
}

}  // namespace zan
