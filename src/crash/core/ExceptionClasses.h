#pragma once
// The reporter's own exception classes. ZelException carries a message;
// EExternal and its descendants are processor faults in our own code that
// the fault translation turned into C++ exceptions, so that the program's
// frames unwind and "continue application" can go on.
#include <cstdint>
#include <exception>
#include <string>

namespace corvan::crash {

class ZelException : public std::exception {
 public:
  explicit ZelException(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

class EExternal : public ZelException {
 public:
  EExternal(std::string message, std::uint32_t code, std::uint32_t address)
      : ZelException(std::move(message)), code_(code), address_(address) {}
  std::uint32_t Code() const { return code_; }
  std::uint32_t Address() const { return address_; }

 private:
  std::uint32_t code_;
  std::uint32_t address_;
};

class EAccessViolation : public EExternal {
 public:
  using EExternal::EExternal;
};
class EDivByZero : public EExternal {
 public:
  using EExternal::EExternal;
};
class EStackOverflow : public EExternal {
 public:
  using EExternal::EExternal;
};
class EExternalException : public EExternal {
 public:
  using EExternal::EExternal;
};

}  // namespace corvan::crash
