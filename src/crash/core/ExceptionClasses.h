#pragma once
// The reporter's own exception classes. ZelException carries a message;
// EExternal and its descendants are processor faults in our own code that
// the fault translation turned into C++ exceptions, so that the program's
// frames unwind and "continue application" can go on.
#include <cstdint>
#include <exception>
#include <string>
#include <typeinfo>

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

// The class a processor fault with this exception code becomes, in the
// program and in the crash handler's report alike.
inline const std::type_info& FaultClass(std::uint32_t code) {
  switch (code) {
    case 0xC0000005:  // EXCEPTION_ACCESS_VIOLATION
      return typeid(EAccessViolation);
    case 0xC0000094:  // EXCEPTION_INT_DIVIDE_BY_ZERO
      return typeid(EDivByZero);
    case 0xC00000FD:  // EXCEPTION_STACK_OVERFLOW
      return typeid(EStackOverflow);
    default:
      return typeid(EExternalException);
  }
}

}  // namespace corvan::crash
