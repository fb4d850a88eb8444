#include "crash/core/SettingsStream.h"

#include <cstring>
#include <stdexcept>

#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

constexpr std::uint8_t kHeader[25] = {'T', 'P', 'F', '0', 10,  'T', 'Z', 'e', 'l',
                                      'E', 'x', 'c', 'e', 'p', 't', 9,   'z', 'e',
                                      'l', 'E', 'x', 'c', 'e', 'p', 't'};

enum Tag : std::uint8_t {
  kInt8 = 2,
  kInt16 = 3,
  kInt32 = 4,
  kShortString = 6,
  kFalse = 8,
  kTrue = 9,
  kLongString = 12,
  kWideString = 18,
};

// Bounds-checked cursor: every read says whether the bytes were there.
class Cursor {
 public:
  Cursor(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool Byte(std::uint8_t& out) { return Bytes(&out, 1); }
  bool Bytes(void* out, std::size_t n) {
    if (n > size_ - at_) return false;
    if (n) std::memcpy(out, data_ + at_, n);
    at_ += n;
    return true;
  }
  bool Text(std::size_t n, std::string& out) {
    if (n > size_ - at_) return false;
    out.assign(reinterpret_cast<const char*>(data_ + at_), n);
    at_ += n;
    return true;
  }
  bool U32(std::uint32_t& out) {
    std::uint8_t b[4];
    if (!Bytes(b, 4)) return false;
    out = b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint32_t>(b[3]) << 24;
    return true;
  }
  std::size_t Remaining() const { return size_ - at_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// Reads the value of one record; false when it does not fit.
bool ReadValue(Cursor& in, std::uint8_t tag, Setting& s, WideToAnsiFunction toAnsi) {
  std::uint8_t b[4];
  switch (tag) {
    case kInt8:
      s.type = SettingType::Integer;
      if (!in.Bytes(b, 1)) return false;
      s.intValue = static_cast<std::int8_t>(b[0]);
      return true;
    case kInt16:
      s.type = SettingType::Integer;
      if (!in.Bytes(b, 2)) return false;
      s.intValue = static_cast<std::int16_t>(b[0] | b[1] << 8);
      return true;
    case kInt32: {
      s.type = SettingType::Integer;
      std::uint32_t v;
      if (!in.U32(v)) return false;
      s.intValue = static_cast<std::int32_t>(v);
      return true;
    }
    case kFalse:
    case kTrue:
      s.type = SettingType::Boolean;
      s.boolValue = tag == kTrue;
      return true;
    case kShortString: {
      s.type = SettingType::String;
      std::uint8_t n;
      return in.Byte(n) && in.Text(n, s.strValue);
    }
    case kLongString: {
      s.type = SettingType::String;
      std::uint32_t n;
      return in.U32(n) && in.Text(n, s.strValue);
    }
    case kWideString: {
      s.type = SettingType::String;
      std::uint32_t n;
      if (!in.U32(n) || n > in.Remaining() / 2) return false;
      std::u16string wide(n, u'\0');
      for (auto& c : wide) {
        if (!in.Bytes(b, 2)) return false;
        c = static_cast<char16_t>(b[0] | b[1] << 8);
      }
      s.strValue = toAnsi ? toAnsi(wide) : WideToLatin1(wide);
      return true;
    }
    default:
      return false;
  }
}

bool KnownTag(std::uint8_t tag) {
  switch (tag) {
    case kInt8:
    case kInt16:
    case kInt32:
    case kShortString:
    case kFalse:
    case kTrue:
    case kLongString:
    case kWideString:
      return true;
    default:
      return false;
  }
}

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

}  // namespace

Setting Setting::Bool(std::string name, bool value) {
  Setting s;
  s.name = std::move(name);
  s.type = SettingType::Boolean;
  s.boolValue = value;
  return s;
}

Setting Setting::Int(std::string name, std::int32_t value) {
  Setting s;
  s.name = std::move(name);
  s.type = SettingType::Integer;
  s.intValue = value;
  return s;
}

Setting Setting::Str(std::string name, std::string value) {
  Setting s;
  s.name = std::move(name);
  s.type = SettingType::String;
  s.strValue = std::move(value);
  return s;
}

std::string WideToLatin1(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char16_t c : text) out.push_back(c < 256 ? static_cast<char>(c) : '?');
  return out;
}

SettingsStreamContent ParseSettingsStream(const std::uint8_t* data, std::size_t size,
                                          WideToAnsiFunction toAnsi) {
  SettingsStreamContent result;
  if (!data || size < sizeof kHeader || std::memcmp(data, kHeader, sizeof kHeader) != 0) {
    result.end = SettingsStreamContent::End::BadHeader;
    return result;
  }
  Cursor in(data + sizeof kHeader, size - sizeof kHeader);
  for (;;) {
    std::uint8_t nameLength;
    if (!in.Byte(nameLength)) {
      result.end = SettingsStreamContent::End::Truncated;
      return result;
    }
    if (nameLength == 0) return result;
    Setting s;
    std::uint8_t tag;
    if (!in.Text(nameLength, s.name) || !in.Byte(tag)) {
      result.end = SettingsStreamContent::End::Truncated;
      return result;
    }
    result.tag = tag;
    if (!KnownTag(tag)) {
      result.end = SettingsStreamContent::End::InvalidTag;
      return result;
    }
    if (!ReadValue(in, tag, s, toAnsi)) {
      result.end = SettingsStreamContent::End::Truncated;
      return result;
    }
    result.settings.push_back(std::move(s));
    result.tag = 0;
  }
}

std::vector<std::uint8_t> WriteSettingsStream(const std::vector<Setting>& settings) {
  std::vector<std::uint8_t> out(kHeader, kHeader + sizeof kHeader);
  for (const Setting& s : settings) {
    if (s.name.empty() || s.name.size() > 255) {
      throw std::invalid_argument("setting name must have 1 to 255 characters: \"" + s.name + "\"");
    }
    out.push_back(static_cast<std::uint8_t>(s.name.size()));
    out.insert(out.end(), s.name.begin(), s.name.end());
    switch (s.type) {
      case SettingType::Integer:
        out.push_back(kInt32);
        PutU32(out, static_cast<std::uint32_t>(s.intValue));
        break;
      case SettingType::Boolean:
        out.push_back(s.boolValue ? kTrue : kFalse);
        break;
      case SettingType::String:
        out.push_back(kLongString);
        PutU32(out, static_cast<std::uint32_t>(s.strValue.size()));
        out.insert(out.end(), s.strValue.begin(), s.strValue.end());
        break;
    }
  }
  out.push_back(0);
  return out;
}

std::string InvalidSettingsResourceText(std::uint8_t tag) {
  return "Internal error: Invalid settings resource (" + HexText(tag) + ").";
}

}  // namespace corvan::crash
