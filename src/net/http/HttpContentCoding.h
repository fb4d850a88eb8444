#pragma once
// Content codings of response bodies: the process-wide registry, the
// decoders, and the per-client handler that builds the "Accept-Encoding"
// value and the decoder chain of one response. Portable.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace corvan::http {

using TDataWriter = std::function<void(const std::uint8_t*, std::size_t)>;

// A decoder: takes coded bytes, hands decoded bytes to its output writer.
class THttpContentCoding {
 public:
  explicit THttpContentCoding(TDataWriter output) : output_(std::move(output)) {}
  virtual ~THttpContentCoding() = default;
  virtual void WriteBuffer(const std::uint8_t* data, std::size_t size) = 0;
  virtual void Complete() {}

 protected:
  const TDataWriter& Output() const { return output_; }

 private:
  TDataWriter output_;
};

// "identity" and "*": bytes pass unchanged.
class THttpCCodIdentity : public THttpContentCoding {
 public:
  using THttpContentCoding::THttpContentCoding;
  void WriteBuffer(const std::uint8_t* data, std::size_t size) override { Output()(data, size); }
};
class THttpCCodStar : public THttpCCodIdentity {
 public:
  using THttpCCodIdentity::THttpCCodIdentity;
};

struct TContCodingRegistration {
  std::string coding;  // the name in headers
  float quality = 0;   // default quality
  bool (*available)() = nullptr;
  std::unique_ptr<THttpContentCoding> (*create)(TDataWriter output) = nullptr;
};

// The registered codings, in registration order (created on first use).
const std::vector<TContCodingRegistration>& ContCodingsList();

class THttpContentCodingHandler {
 public:
  struct Item {
    const TContCodingRegistration* registration;
    bool enabled = true;
    float quality = 0;
  };

  // streamWriter receives the decoded body (the client writes it to its
  // receive stream and fires its data event).
  explicit THttpContentCodingHandler(TDataWriter streamWriter);

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled) { enabled_ = enabled; }
  bool UseQuality() const { return useQuality_; }
  void SetUseQuality(bool useQuality);
  std::vector<Item>& Items() { return items_; }

  // The "Accept-Encoding" value; empty when content coding is off.
  const std::string& GetHeaderValue();
  // Builds the decoder chain for a response's content-encoding value. An
  // unknown coding leaves the body as received and gives false.
  bool Prepare(std::string_view encodings);
  // Body bytes in: through the chain to the stream writer.
  void Write(const std::uint8_t* data, std::size_t size) { input_(data, size); }
  void Complete();

 private:
  TDataWriter streamWriter_;
  TDataWriter input_;
  std::vector<Item> items_;
  std::vector<std::unique_ptr<THttpContentCoding>> chain_;
  std::string header_;
  bool stale_ = true;
  bool enabled_ = false;
  bool useQuality_ = false;
};

// Items of a comma-separated header value: trimmed, quotes removed.
std::vector<std::string> SplitCommaText(std::string_view text);

}  // namespace corvan::http
