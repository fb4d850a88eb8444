// The live object check on the running process.
#include "crash/analysis/ImageHelpers.h"
#include "crash/analysis/LiveObject.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace corvan::crash {
namespace {

// Nothing in this C++ process carries a Delphi class table; asking about
// any pointer, even a wild one, answers without faulting.
TEST(ImageHelpersWin, LiveObjectChecksAnyPointerSafely) {
  struct Polymorphic {
    virtual ~Polymorphic() = default;
  } object;
  EXPECT_FALSE(IsLiveObject(&object));
  EXPECT_FALSE(IsLiveObject(nullptr));
  EXPECT_FALSE(IsLiveObject(reinterpret_cast<void*>(0x7FFE0000)));
  EXPECT_FALSE(IsLiveObject(reinterpret_cast<void*>(&ModuleList)));
}

}  // namespace
}  // namespace corvan::crash
