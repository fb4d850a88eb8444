#pragma once
// The byte streams the client writes bodies to and reads uploads from.
// Portable; a file stream for Windows lives beside the installer.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvan::http {

class TStream {
 public:
  virtual ~TStream() = default;
  // Writes the whole block or throws: a short write is an error.
  virtual void WriteBuffer(const void* data, std::size_t size) = 0;
  // Reads up to size bytes at the position; returns the count read.
  virtual std::size_t Read(void* data, std::size_t size) = 0;
  virtual std::int64_t Size() const = 0;
  virtual std::int64_t Position() const = 0;
  virtual void Seek(std::int64_t position) = 0;
  // Cuts or extends the stream; the position stays within it.
  virtual void SetSize(std::int64_t size) = 0;
};

class TMemoryStream : public TStream {
 public:
  void WriteBuffer(const void* data, std::size_t size) override;
  std::size_t Read(void* data, std::size_t size) override;
  std::int64_t Size() const override { return static_cast<std::int64_t>(bytes_.size()); }
  std::int64_t Position() const override { return position_; }
  void Seek(std::int64_t position) override;
  void SetSize(std::int64_t size) override;
  void Clear();

  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::int64_t position_ = 0;
};

}  // namespace corvan::http
