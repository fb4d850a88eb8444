#pragma once
// Lets an object's method serve as a plain stdcall callback (a window
// procedure, say): a small block of executable code pushes the object in
// front of the callback's arguments and jumps to the method's code.
#include <cstdint>

namespace corvan::crash {

class MethodThunk {
 public:
  // target: a stdcall function whose first argument is object.
  MethodThunk(void* object, void* target);
  ~MethodThunk();
  MethodThunk(const MethodThunk&) = delete;
  MethodThunk& operator=(const MethodThunk&) = delete;

  // The callback address; null when no executable memory was available.
  void* Code() const { return code_; }

 private:
  std::uint8_t* code_ = nullptr;
};

}  // namespace corvan::crash
