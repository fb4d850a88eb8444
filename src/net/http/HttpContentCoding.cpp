#include "net/http/HttpContentCoding.h"

#include <cmath>
#include <cstdio>

#include "net/http/HttpHeaderText.h"

namespace corvan::http {
namespace {

bool Always() { return true; }
template <typename Coding>
std::unique_ptr<THttpContentCoding> Create(TDataWriter output) {
  return std::make_unique<Coding>(std::move(output));
}

// "0.###" with "." whatever the locale.
std::string FormatQuality(float quality) {
  const long thousandths = std::lround(quality * 1000.0);
  std::string text = std::to_string(thousandths / 1000);
  const long fraction = std::labs(thousandths % 1000);
  if (fraction != 0) {
    char digits[8];
    std::snprintf(digits, sizeof digits, ".%03ld", fraction);
    std::string f = digits;
    while (f.back() == '0') f.pop_back();
    text += f;
  }
  return text;
}

}  // namespace

const std::vector<TContCodingRegistration>& ContCodingsList() {
  static const std::vector<TContCodingRegistration> list = {
      {"identity", 0, Always, Create<THttpCCodIdentity>},
      {"*", 0, Always, Create<THttpCCodStar>},
  };
  return list;
}

std::vector<std::string> SplitCommaText(std::string_view text) {
  std::vector<std::string> items;
  std::string item;
  bool quoted = false;
  for (char c : text) {
    if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      items.push_back(Trim(item));
      item.clear();
    } else {
      item += c;
    }
  }
  items.push_back(Trim(item));
  std::erase(items, std::string());
  return items;
}

THttpContentCodingHandler::THttpContentCodingHandler(TDataWriter streamWriter)
    : streamWriter_(std::move(streamWriter)), input_(streamWriter_) {
  for (const TContCodingRegistration& registration : ContCodingsList()) {
    items_.push_back({&registration, true, registration.quality});
  }
}

void THttpContentCodingHandler::SetUseQuality(bool useQuality) {
  if (useQuality != useQuality_) stale_ = true;
  useQuality_ = useQuality;
}

const std::string& THttpContentCodingHandler::GetHeaderValue() {
  static const std::string kEmpty;
  if (!enabled_) return kEmpty;
  if (!stale_) return header_;
  std::vector<const Item*> usable;
  for (const Item& item : items_) {
    if (item.enabled && item.registration->available()) usable.push_back(&item);
  }
  const bool qualityMode = useQuality_ && usable.size() != 1;
  header_.clear();
  for (const Item* item : usable) {
    if (!qualityMode && item->quality <= 0) continue;
    if (!header_.empty()) header_ += ", ";
    header_ += item->registration->coding;
    if (qualityMode) header_ += ";q=" + FormatQuality(item->quality);
  }
  stale_ = false;
  return header_;
}

bool THttpContentCodingHandler::Prepare(std::string_view encodings) {
  chain_.clear();
  input_ = streamWriter_;
  if (!enabled_ || encodings.empty()) return true;
  const auto& registrations = ContCodingsList();
  for (const std::string& name : SplitCommaText(encodings)) {
    const TContCodingRegistration* found = nullptr;
    for (auto it = registrations.rbegin(); it != registrations.rend() && !found; ++it) {
      if (LowerCase(it->coding) == LowerCase(name)) found = &*it;
    }
    if (!found) {
      chain_.clear();
      input_ = streamWriter_;
      return false;
    }
    chain_.push_back(found->create(input_));
    THttpContentCoding* decoder = chain_.back().get();
    input_ = [decoder](const std::uint8_t* data, std::size_t size) {
      decoder->WriteBuffer(data, size);
    };
  }
  return true;
}

void THttpContentCodingHandler::Complete() {
  for (auto it = chain_.rbegin(); it != chain_.rend(); ++it) (*it)->Complete();
}

}  // namespace corvan::http
