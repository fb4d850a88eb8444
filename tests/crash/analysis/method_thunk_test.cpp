// An object method called as a plain callback.
#include "crash/analysis/MethodThunk.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace corvan::crash {
namespace {

struct Counter {
  int value;
};

int __stdcall AddToCounter(Counter* self, int amount) { return self->value += amount; }

TEST(MethodThunkWin, PassesTheObjectInFront) {
  Counter counter{10};
  MethodThunk thunk(&counter, reinterpret_cast<void*>(&AddToCounter));
  ASSERT_TRUE(thunk.Code());
  auto callback = reinterpret_cast<int(__stdcall*)(int)>(thunk.Code());
  EXPECT_EQ(callback(5), 15);
  EXPECT_EQ(callback(1), 16);
  EXPECT_EQ(counter.value, 16);
}

}  // namespace
}  // namespace corvan::crash
