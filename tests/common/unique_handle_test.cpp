// The owner template every handle owner builds on: exactly one release per
// handle, whatever moves, resets and releases happen in between.
#include "common/UniqueHandle.h"

#include <gtest/gtest.h>

#include <vector>

namespace corvan {
namespace {

std::vector<int> closed;
void Close(int handle) { closed.push_back(handle); }
using Owner = UniqueHandle<int, Close>;

class UniqueHandleTest : public testing::Test {
 protected:
  void SetUp() override { closed.clear(); }
};

TEST_F(UniqueHandleTest, EachHandleIsClosedOnceThroughMovesAndResets) {
  {
    Owner a(1);
    Owner b = std::move(a);
    Owner c(2);
    c = std::move(b);  // closes 2, takes 1
    EXPECT_EQ(closed, std::vector<int>{2});
    c.reset(3);  // closes 1
    EXPECT_FALSE(a);
  }
  EXPECT_EQ(closed, (std::vector<int>{2, 1, 3}));
}

TEST_F(UniqueHandleTest, ReleasedAndEmptyHandlesAreNeverClosed) {
  {
    Owner empty;
    Owner given(7);
    EXPECT_EQ(given.release(), 7);
    EXPECT_FALSE(given);
    Owner kept(8);
  }
  EXPECT_EQ(closed, std::vector<int>{8});
}

}  // namespace
}  // namespace corvan
