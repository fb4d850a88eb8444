#pragma once
// Outgoing data of a socket: a chain of fixed-size buffers, filled by Send
// and drained whenever the network accepts more. No Windows headers: the
// actual send call is handed in, so the chain is tested and fuzzed natively.
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace corvan::net {

// One link of the send chain: appended at the write position, taken from
// the read position.
class TBuffer {
 public:
  static constexpr int kDefaultSize = 1514;

  // A size of 0 or less gives kDefaultSize.
  explicit TBuffer(int size);

  int Size() const { return static_cast<int>(data_.size()); }
  // Changes the capacity; the first min(WriteCount, size) stored bytes stay.
  void SetSize(int size);

  // Copies as much of data as fits; returns the count copied (0 when full).
  int Write(const char* data, int length);
  // The unsent part; its length is 0 when nothing is left.
  const char* Peek(int& length) const;
  // Marks up to count unsent bytes as sent; when everything is sent the
  // buffer starts over empty. Returns the count removed.
  int Remove(int count);

  int WriteCount() const { return writeCount_; }
  int ReadCount() const { return readCount_; }

 private:
  std::vector<char> data_;
  int writeCount_ = 0;
  int readCount_ = 0;
};

// The process-wide send lock: held while any socket's chain is changed or
// drained. Re-entrant, so the owning thread may queue from within a drain.
std::recursive_mutex& NetSendLock();

// How a drain of the chain ended.
struct TDrainResult {
  enum Kind {
    Empty,    // everything queued was accepted
    Blocked,  // the network took less than offered, or returned 0: wait for FD_WRITE
    Stopped,  // the sent callback asked to stop (socket closed or gone)
    Failed    // the send function failed with error
  };
  Kind kind = Empty;
  int error = 0;
};

// FIFO of TBuffer links. All operations take NetSendLock(); callbacks of
// Drain run outside it.
class TSendChain {
 public:
  // send(data, length, error) returns the bytes accepted (> 0), 0 when the
  // network took nothing, or -1 with error set.
  using SendFunction = std::function<int(const char* data, int length, int& error)>;
  // Called after each accepted piece, with the chain already updated;
  // returns false to end the drain.
  using SentFunction = std::function<bool(int count)>;

  static constexpr int kDefaultBufferSize = 1460;

  explicit TSendChain(int bufferSize = kDefaultBufferSize);
  TSendChain(const TSendChain&) = delete;
  TSendChain& operator=(const TSendChain&) = delete;

  int BufferSize() const { return bufferSize_; }
  // Applies to buffers created from now on.
  void SetBufferSize(int size);

  // Copies the data to the end of the chain.
  void Queue(const char* data, int length);
  // Frees every buffer; the byte count becomes 0.
  void Clear();

  bool Empty() const;
  // Bytes queued and not yet accepted by the network.
  std::int64_t BufferedCount() const;
  // Buffers currently allocated (for tests of memory bounds).
  std::size_t BufferCount() const;

  // Hands the oldest bytes to send until the chain is empty, the network
  // blocks, sent returns false or send fails. Fully sent buffers are freed,
  // except the last one of the chain.
  TDrainResult Drain(const SendFunction& send, const SentFunction& sent);

 private:
  int bufferSize_;
  std::deque<std::unique_ptr<TBuffer>> buffers_;
  std::int64_t bufferedCount_ = 0;
};

}  // namespace corvan::net
