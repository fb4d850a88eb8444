#pragma once
// A frame that catches everything: a window procedure, a thread entry, a
// work item. While one is active on a thread, a processor fault in our own
// code below it may be turned into a C++ exception that unwinds to it (the
// crash reporter's fault translation); without one, a fault is fatal.
//
// The frames of a thread form a chain through native thread-local storage,
// which the fault handler can read without allocating. Each frame also
// holds the room for one fault's record and context, so that the handler
// never needs memory of its own.
#include <windows.h>

namespace corvan {

class GuardedFrame {
 public:
  // A step frame guards one step of work that counts a fault as its own
  // failure (a phase of the stack tracer), also on the crash reporter's
  // own threads; a boundary frame hands a fault to the exception handling.
  enum Kind { Boundary, Step };

  explicit GuardedFrame(Kind kind = Boundary) : outer_(Innermost()), kind_(kind) {
    TlsSetValue(Slot(), this);
  }
  ~GuardedFrame() { TlsSetValue(Slot(), outer_); }
  GuardedFrame(const GuardedFrame&) = delete;
  GuardedFrame& operator=(const GuardedFrame&) = delete;

  // The innermost active frame of the calling thread, or null.
  static GuardedFrame* Innermost() {
    const DWORD slot = Slot();
    return slot == TLS_OUT_OF_INDEXES ? nullptr : static_cast<GuardedFrame*>(TlsGetValue(slot));
  }

  Kind FrameKind() const { return kind_; }

  // Written by the fault handler, read by the code that throws for it.
  EXCEPTION_RECORD faultRecord{};
  CONTEXT faultContext{};

 private:
  static DWORD Slot() {
    static const DWORD slot = TlsAlloc();
    return slot;
  }

  GuardedFrame* outer_;
  Kind kind_;
};

}  // namespace corvan
