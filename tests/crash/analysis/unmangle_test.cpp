// Unit-qualified names of the symbol maps made readable.
#include "crash/analysis/Unmangle.h"

#include <gtest/gtest.h>

#include <string>

namespace corvan::crash {
namespace {

struct Unmangled {
  bool mangled;
  std::string name, unit;
};

Unmangled Unmangle(std::string name) {
  std::string unit = "stale";
  const bool mangled = UnmangleName(name, unit);
  return {mangled, name, mangled ? unit : ""};
}

TEST(Unmangle, MethodsConstructorsAndDestructors) {
  const struct {
    const char* in;
    const char* name;
    const char* unit;
  } cases[] = {
      {"@Unit@TForm1@Button1Click$qqrp14System@TObject", "TForm1.Button1Click", "Unit"},
      {"@Unit@TForm1@$bctr$qqrv", "TForm1.Create", "Unit"},
      {"@Unit@TThing@$bdtr$qqrv", "TThing.Destroy", "Unit"},
      {"@Sysutils@Format$qqrx17System@AnsiStringpx14System@TVarRecxi", "Format", "Sysutils"},
      {"@Unit@Proc", "Proc", "Unit"},
      {"@Unit@", "@Unit.Create", ""},  // nothing after the unit: the unit stays
      {"@Proc$qqrv", "Proc", ""},
      {"@%TList__1$p17System@TObject%@Add$qqrp17System@TObject", "TList__1.Add", ""},
      {"@Ns::Unit@Fn$qv", "Fn", "Ns.Unit"},
  };
  for (const auto& c : cases) {
    const Unmangled u = Unmangle(c.in);
    EXPECT_TRUE(u.mangled) << c.in;
    EXPECT_EQ(u.name, c.name) << c.in;
    EXPECT_EQ(u.unit, c.unit) << c.in;
  }
}

TEST(Unmangle, PlainNamesStayAsTheyAre) {
  for (const char* plain : {"main", "_ZN6corvan5crash4TestEv", "ns::func", ""}) {
    const Unmangled u = Unmangle(plain);
    EXPECT_FALSE(u.mangled);
    EXPECT_EQ(u.name, plain);
  }
}

}  // namespace
}  // namespace corvan::crash
