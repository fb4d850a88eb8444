#include <gtest/gtest.h>

#include <stdexcept>

#include "crash/core/ExceptionClasses.h"
#include "crash/core/ExceptionDescription.h"

namespace corvan::crash {
namespace {

struct Base1 {
  virtual ~Base1() = default;
};
struct Base2 {
  virtual ~Base2() = default;
};
struct Mixed : Base1, Base2 {};
struct Plain {
  int value = 4;
};

template <class T>
ExceptionDescription Describe(T object) {
  try {
    throw object;
  } catch (...) {
    return DescribeException(std::current_exception());
  }
}

TEST(ExceptionDescription, ClassChainWalksEveryAncestor) {
  EXPECT_EQ(Describe(std::out_of_range("x")).classChain,
            (std::vector<std::string>{"std::out_of_range", "std::logic_error", "std::exception"}));
  EXPECT_EQ(Describe(EAccessViolation("av", 0xC0000005, 0)).classChain,
            (std::vector<std::string>{"EAccessViolation", "EExternal", "ZelException",
                                      "std::exception"}));
  const auto mixed = Describe(Mixed());
  EXPECT_EQ(mixed.ClassName(), "Mixed");
  EXPECT_TRUE(mixed.DescendsFrom("Base1"));
  EXPECT_TRUE(mixed.DescendsFrom("Base2"));
  EXPECT_EQ(Describe(42).classChain, std::vector<std::string>{"int"});
}

TEST(ExceptionDescription, MessageOfStdExceptionsElseTheClassName) {
  const auto standard = Describe(std::runtime_error("Disk full!!"));
  EXPECT_TRUE(standard.isStdException);
  EXPECT_EQ(ReportMessage(standard), "Disk full.");
  EXPECT_EQ(ReportMessage(Describe(Plain())), "Plain.");
  EXPECT_EQ(ReportMessage(ExceptionDescription{}), "Unknown.");
  EXPECT_EQ(ExceptionDescription{}.ClassName(), "Unknown");
  EXPECT_FALSE(DescribeException(nullptr).present);
}

TEST(ExceptionDescription, IdentityIsTheThrownObject) {
  const void* seen = nullptr;
  ExceptionDescription d;
  try {
    throw std::runtime_error("x");
  } catch (std::runtime_error& e) {
    seen = &e;
    d = DescribeException(std::current_exception());
  }
  EXPECT_EQ(d.identity, seen);
}

}  // namespace
}  // namespace corvan::crash
