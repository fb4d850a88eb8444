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
  std::lock_guard guard(NetSendLock());
  QueueLocked(data, length);
}

void TSendChain::QueueLocked(const char* data, int length) {
  if (length <= 0) return;
  if (buffers_.empty()) buffers_.push_back(std::make_unique<TBuffer>(bufferSize_));
  bufferedCount_ += length;
  int done = buffers_.back()->Write(data, length);
  while (done < length) {
    buffers_.push_back(std::make_unique<TBuffer>(bufferSize_));
    done += buffers_.back()->Write(data + done, length - done);
  }
}

void TSendChain::RemoveLocked(int count) {
  bufferedCount_ = std::max<std::int64_t>(bufferedCount_ - count, 0);
  while (count > 0 && !buffers_.empty()) {
    count -= buffers_.front()->Remove(count);
    if (buffers_.front()->WriteCount() == 0 && buffers_.size() > 1) buffers_.pop_front();
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
    {
      std::lock_guard guard(NetSendLock());
      while (buffers_.size() > 1 && buffers_.front()->WriteCount() == 0) buffers_.pop_front();
      int offered = 0;
      const char* data = buffers_.empty() ? nullptr : buffers_.front()->Peek(offered);
      if (offered == 0) return {TDrainResult::Empty, 0};
      if (buffers_.size() > 1 && offered < kMaxOffer) {
        // Offer the following buffers too, from one contiguous copy.
        gather_.assign(data, data + offered);
        const std::size_t lastBuffer = std::min<std::size_t>(buffers_.size(), kMaxGatherBuffers);
        for (std::size_t i = 1; i < lastBuffer && gather_.size() < kMaxOffer; ++i) {
          int length = 0;
          const char* more = buffers_[i]->Peek(length);
          length = std::min<int>(length, kMaxOffer - static_cast<int>(gather_.size()));
          gather_.insert(gather_.end(), more, more + length);
        }
        data = gather_.data();
        offered = static_cast<int>(gather_.size());
      }
      int error = 0;
      accepted = send(data, offered, error);
      if (accepted < 0) return {TDrainResult::Failed, error};
      if (accepted == 0) return {TDrainResult::Blocked, 0};
      accepted = std::min(accepted, offered);
      RemoveLocked(accepted);
    }
    // The chain is consistent before anyone hears of the sent bytes: the
    // handler may queue more, clear the chain or close the socket. A partial
    // accept is no reason to stop: only a send that fails with "would
    // block" re-arms the network's write notification.
    if (sent && !sent(accepted)) return {TDrainResult::Stopped, 0};
  }
}

TDrainResult TSendChain::Write(const char* data, int length, const SendFunction& send,
                               const SentFunction& sent) {
  if (length <= 0) return Drain(send, sent);
  int accepted = 0;
  {
    std::lock_guard guard(NetSendLock());
    if (bufferedCount_ != 0) {
      QueueLocked(data, length);
    } else {
      int error = 0;
      accepted = send(data, length, error);
      // The rest goes into the chain before any handler runs, so whatever
      // a handler sends next stays behind it.
      const int taken = std::clamp(accepted, 0, length);
      QueueLocked(data + taken, length - taken);
      if (accepted < 0) return {TDrainResult::Failed, error};
      if (accepted == 0) return {TDrainResult::Blocked, 0};
      accepted = taken;
    }
  }
  if (accepted > 0 && sent && !sent(accepted)) return {TDrainResult::Stopped, 0};
  return Drain(send, sent);
}

}  // namespace corvan::net
