#include "crash/ui/FormStream.h"

#include <cstring>

#include <algorithm>
#include "crash/util/TextParts.h"

namespace corvan::crash {

FormValue FormValue::Integer(std::int32_t value) {
  FormValue v;
  v.type = Type::Integer;
  v.number = value;
  return v;
}
FormValue FormValue::Boolean(bool value) {
  FormValue v;
  v.type = Type::Boolean;
  v.flag = value;
  return v;
}
FormValue FormValue::String(std::string value) {
  FormValue v;
  v.text = std::move(value);
  return v;
}
FormValue FormValue::Identifier(std::string value) {
  FormValue v = String(std::move(value));
  v.type = Type::Identifier;
  return v;
}

std::string FormValue::Text() const {
  switch (type) {
    case Type::Integer:
      return std::to_string(number);
    case Type::Boolean:
      return flag ? "1" : "0";
    default:
      return text;
  }
}

namespace {

// Every read of the stream goes through this cursor; a read that does not
// fit fails and leaves the cursor where it was.
class Cursor {
 public:
  Cursor(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}

  bool Byte(std::uint8_t& out) {
    if (p_ == end_) return false;
    out = *p_++;
    return true;
  }
  bool Peek(std::uint8_t& out) const {
    if (p_ == end_) return false;
    out = *p_;
    return true;
  }
  bool Bytes(std::size_t count, std::string& out) {
    if (static_cast<std::size_t>(end_ - p_) < count) return false;
    out.assign(reinterpret_cast<const char*>(p_), count);
    p_ += count;
    return true;
  }
  bool Signed(std::size_t width, std::int32_t& out) {
    if (static_cast<std::size_t>(end_ - p_) < width) return false;
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value |= std::uint32_t{p_[i]} << (8 * i);
    const unsigned shift = 32 - 8 * static_cast<unsigned>(width);  // sign-extend
    out = static_cast<std::int32_t>(value << shift) >> shift;
    p_ += width;
    return true;
  }
  bool ShortString(std::string& out) {
    std::uint8_t length = 0;
    const std::uint8_t* start = p_;
    if (!Byte(length) || !Bytes(length, out)) {
      p_ = start;
      return false;
    }
    return true;
  }

 private:
  const std::uint8_t* p_;
  const std::uint8_t* end_;
};

class Parser {
 public:
  Parser(const std::uint8_t* data, std::size_t size, FormStreamContent& out)
      : in_(data, size), out_(out) {}

  // False when the parse stopped; out_.end says why.
  bool Object(int depth) {
    if (depth > kMaxFormDepth) return Stop(FormStreamContent::End::TooDeep);
    FormObject object;
    object.depth = depth;
    if (!in_.ShortString(object.className) || !in_.ShortString(object.objectName)) {
      return Stop(FormStreamContent::End::Truncated);
    }
    out_.objects.push_back(std::move(object));
    const std::size_t index = out_.objects.size() - 1;
    for (;;) {
      std::string name;
      if (!in_.ShortString(name)) return Stop(FormStreamContent::End::Truncated);
      if (name.empty()) break;
      FormValue value;
      if (!Value(value)) return false;
      out_.objects[index].properties.push_back({std::move(name), std::move(value)});
    }
    // Children until a 0 byte, which is never a class name's length.
    for (;;) {
      std::uint8_t length = 0;
      if (!in_.Peek(length)) return Stop(FormStreamContent::End::Truncated);
      if (length == 0) return in_.Byte(length);
      if (!Object(depth + 1)) return false;
    }
  }

 private:
  bool Value(FormValue& value) {
    std::uint8_t tag = 0;
    if (!in_.Byte(tag)) return Stop(FormStreamContent::End::Truncated);
    bool ok = true;
    switch (tag) {
      case 2:
      case 3:
      case 4:
        value.type = FormValue::Type::Integer;
        ok = in_.Signed(tag == 2 ? 1 : tag == 3 ? 2 : 4, value.number);
        break;
      case 6:
      case 7:
        value.type = tag == 6 ? FormValue::Type::String : FormValue::Type::Identifier;
        ok = in_.ShortString(value.text);
        break;
      case 8:
      case 9:
        value.type = FormValue::Type::Boolean;
        value.flag = tag == 9;
        break;
      case 12: {
        std::int32_t length = 0;
        ok = in_.Signed(4, length) && length >= 0 &&
             in_.Bytes(static_cast<std::size_t>(length), value.text);
        break;
      }
      default:
        out_.tag = tag;
        return Stop(FormStreamContent::End::InvalidTag);
    }
    return ok || Stop(FormStreamContent::End::Truncated);
  }

  bool Stop(FormStreamContent::End end) {
    out_.end = end;
    return false;
  }

  Cursor in_;
  FormStreamContent& out_;
};

void PutName(std::vector<std::uint8_t>& out, std::string_view name) {
  const std::size_t length = std::min<std::size_t>(name.size(), 255);
  out.push_back(static_cast<std::uint8_t>(length));
  out.insert(out.end(), name.begin(), name.begin() + static_cast<std::ptrdiff_t>(length));
}

void PutLittleEndian(std::vector<std::uint8_t>& out, std::uint32_t value, int width) {
  for (int i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void PutValue(std::vector<std::uint8_t>& out, const FormValue& value) {
  switch (value.type) {
    case FormValue::Type::Integer: {
      const std::int32_t n = value.number;
      const int width = (n >= -128 && n <= 127) ? 1 : (n >= -32768 && n <= 32767) ? 2 : 4;
      out.push_back(static_cast<std::uint8_t>(width == 1 ? 2 : width == 2 ? 3 : 4));
      PutLittleEndian(out, static_cast<std::uint32_t>(n), width);
      break;
    }
    case FormValue::Type::Boolean:
      out.push_back(value.flag ? 9 : 8);
      break;
    case FormValue::Type::Identifier:
      if (value.text.size() <= 255) {
        out.push_back(7);
        PutName(out, value.text);
        break;
      }
      [[fallthrough]];  // too long for an identifier: kept whole as a string
    case FormValue::Type::String:
      if (value.text.size() <= 255) {
        out.push_back(6);
        PutName(out, value.text);
      } else {
        out.push_back(12);
        PutLittleEndian(out, static_cast<std::uint32_t>(value.text.size()), 4);
        out.insert(out.end(), value.text.begin(), value.text.end());
      }
      break;
  }
}

}  // namespace

FormStreamContent ParseFormStream(const std::uint8_t* data, std::size_t size) {
  FormStreamContent content;
  if (size < 4 || std::memcmp(data, "TPF0", 4) != 0) {
    content.end = FormStreamContent::End::NoStream;
    return content;
  }
  Parser parser(data + 4, size - 4, content);
  parser.Object(0);
  return content;
}

std::vector<std::uint8_t> WriteFormStream(const std::vector<FormObject>& objects) {
  std::vector<std::uint8_t> out = {'T', 'P', 'F', '0'};
  int open = 0;  // objects whose list of children is still open
  for (const FormObject& object : objects) {
    // Close the children lists of the objects this one is not inside.
    for (; open > object.depth; --open) out.push_back(0);
    PutName(out, object.className);
    PutName(out, object.objectName);
    for (const FormProperty& p : object.properties) {
      if (p.name.empty()) continue;  // an empty name would end the list
      PutName(out, p.name);
      PutValue(out, p.value);
    }
    out.push_back(0);
    open = object.depth + 1;
  }
  for (; open > 0; --open) out.push_back(0);
  return out;
}

std::string InvalidFormResourceText(std::uint8_t tag) {
  return "Internal error: Invalid assistant resource (" + HexText(tag) + ").";
}

}  // namespace corvan::crash
