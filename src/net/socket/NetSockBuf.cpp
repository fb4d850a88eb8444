#include "net/socket/NetSockBuf.h"

#include <algorithm>
#include <cstring>

namespace corvan::net {

TBuffer::TBuffer(int size) : data_(static_cast<std::size_t>(size > 0 ? size : kDefaultSize)) {}

void TBuffer::SetSize(int size) {
  if (size <= 0) size = kDefaultSize;
  data_.resize(static_cast<std::size_t>(size));
  writeCount_ = std::min(writeCount_, size);
  readCount_ = std::min(readCount_, writeCount_);
}

int TBuffer::Write(const char* data, int length) {
  const int count = std::clamp(Size() - writeCount_, 0, std::max(length, 0));
  if (count > 0) {
    std::memcpy(data_.data() + writeCount_, data, static_cast<std::size_t>(count));
    writeCount_ += count;
  }
  return count;
}

const char* TBuffer::Peek(int& length) const {
  length = writeCount_ - readCount_;
  return data_.data() + readCount_;
}

int TBuffer::Remove(int count) {
  const int removed = std::clamp(count, 0, writeCount_ - readCount_);
  readCount_ += removed;
  if (readCount_ == writeCount_) readCount_ = writeCount_ = 0;
  return removed;
}

std::recursive_mutex& NetSendLock() {
  static std::recursive_mutex lock;
  return lock;
}

TSendChain::TSendChain(int bufferSize) : bufferSize_(bufferSize) {}

void TSendChain::SetBufferSize(int size) {
  std::lock_guard guard(NetSendLock());
  bufferSize_ = size;
}

void TSendChain::Queue(const char* data, int length) {
  if (length <= 0) return;
  std::lock_guard guard(NetSendLock());
  if (buffers_.empty()) buffers_.push_back(std::make_unique<TBuffer>(bufferSize_));
  bufferedCount_ += length;
  int done = buffers_.back()->Write(data, length);
  while (done < length) {
    buffers_.push_back(std::make_unique<TBuffer>(bufferSize_));
    done += buffers_.back()->Write(data + done, length - done);
  }
}

void TSendChain::Clear() {
  std::lock_guard guard(NetSendLock());
  buffers_.clear();
  bufferedCount_ = 0;
}

bool TSendChain::Empty() const {
  std::lock_guard guard(NetSendLock());
  return bufferedCount_ == 0;
}

std::int64_t TSendChain::BufferedCount() const {
  std::lock_guard guard(NetSendLock());
  return bufferedCount_;
}

std::size_t TSendChain::BufferCount() const {
  std::lock_guard guard(NetSendLock());
  return buffers_.size();
}

TDrainResult TSendChain::Drain(const SendFunction& send, const SentFunction& sent) {
  for (;;) {
    int accepted = 0;
    int offered = 0;
    {
      std::unique_lock guard(NetSendLock());
      const char* data = nullptr;
      for (;;) {
        if (buffers_.empty()) return {TDrainResult::Empty, 0};
        data = buffers_.front()->Peek(offered);
        if (offered > 0) break;
        if (buffers_.size() == 1) return {TDrainResult::Empty, 0};
        buffers_.pop_front();
      }
      int error = 0;
      accepted = send(data, offered, error);
      if (accepted < 0) return {TDrainResult::Failed, error};
      if (accepted == 0) return {TDrainResult::Blocked, 0};
      accepted = buffers_.front()->Remove(accepted);
      bufferedCount_ = std::max<std::int64_t>(bufferedCount_ - accepted, 0);
    }
    // The chain is consistent before anyone hears of the sent bytes: the
    // handler may queue more, clear the chain or close the socket.
    if (sent && !sent(accepted)) return {TDrainResult::Stopped, 0};
    if (accepted < offered) return {TDrainResult::Blocked, 0};
  }
}

}  // namespace corvan::net
