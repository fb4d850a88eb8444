#pragma once
// An assistant form resource: a binary property stream
//   "TPF0" object
//   object   := class name, object name, property*, 0, object*, 0
//   name     := 1-byte length, characters
//   property := name (length 1..255), value tag, value
// with the value tags 2, 3, 4 (signed little-endian integers of 1, 2 and 4
// bytes), 6 and 7 (1-byte length, characters: string, identifier), 8 and 9
// (false, true) and 12 (4-byte length, characters).
//
// Parsing never reads outside the given bytes. It stops at the first
// fault (a tag outside the list, a record or list that runs past the end,
// nesting deeper than kMaxFormDepth) and keeps everything read before it,
// the properties of the object in which it stopped included.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvan::crash {

struct FormValue {
  enum class Type : std::uint8_t { Integer, Boolean, String, Identifier };
  Type type = Type::String;
  std::int32_t number = 0;
  bool flag = false;
  std::string text;  // String and Identifier

  static FormValue Integer(std::int32_t value);
  static FormValue Boolean(bool value);
  static FormValue String(std::string value);
  static FormValue Identifier(std::string value);
  // What the form objects see: decimal text, "0" / "1", or the characters.
  std::string Text() const;
  bool operator==(const FormValue&) const = default;
};

struct FormProperty {
  std::string name;
  FormValue value;
  bool operator==(const FormProperty&) const = default;
};

// One object of the stream; the list holds them in stream order, every
// object followed by its children (depth 0 is the root).
struct FormObject {
  std::string className;
  std::string objectName;
  int depth = 0;
  std::vector<FormProperty> properties;
  bool operator==(const FormObject&) const = default;
};

inline constexpr int kMaxFormDepth = 32;

struct FormStreamContent {
  enum class End {
    Complete,    // the root's list of children was closed
    NoStream,    // the data does not begin with "TPF0": no objects at all
    InvalidTag,  // a value tag outside the list
    Truncated,   // a name, value or list runs past the end of the data
    TooDeep,     // children nested deeper than kMaxFormDepth
  };
  std::vector<FormObject> objects;
  End end = End::Complete;
  std::uint8_t tag = 0;  // the offending tag (InvalidTag)

  // True when the user must be told that the resource is broken.
  bool Broken() const { return end != End::Complete && end != End::NoStream; }
};

FormStreamContent ParseFormStream(const std::uint8_t* data, std::size_t size);

// The stream of the objects (depths must describe a tree: the first at 0,
// each next at most one deeper than its predecessor). Integers take the
// smallest tag that holds them, strings tag 6 up to 255 characters, else 12.
std::vector<std::uint8_t> WriteFormStream(const std::vector<FormObject>& objects);

// "Internal error: Invalid assistant resource ($12)." for tag 0x12.
std::string InvalidFormResourceText(std::uint8_t tag);
inline constexpr const char* kFormErrorCaption = "zelExcept";

}  // namespace corvan::crash
