// Handlers named by a form: how OnAction splits into unit and function, and
// which code passes for a handler (every return removes the handler's 16
// bytes of arguments) on hand-made functions.
#include <gtest/gtest.h>

#include <vector>

#include "crash/ui/FormHandlerLookup.h"

namespace corvan::crash {
namespace {

constexpr Address kCode = 0x401000;

bool Shaped(std::vector<std::uint8_t> code) {
  TBlockMemoryView view;
  view.Add(kCode, std::move(code));
  return HasHandlerShape(view, kCode, {});
}

TEST(FormHandlerLookup, SplitsUnitAndFunctionAtTheFirstTwoDots) {
  const auto check = [](const char* value, const char* unit, const char* function) {
    const HandlerName n = SplitHandlerName(value);
    EXPECT_EQ(n.Unit, unit) << value;
    EXPECT_EQ(n.Function, function) << value;
  };
  check("probe_forms.OnProbeForm", "probe_forms", "OnProbeForm");
  check("unit.function.rest", "unit", "function");
  check("OnlyAFunction", "", "OnlyAFunction");
  check("unit.", "unit", "");
  check(".function", "", "function");
}

TEST(FormHandlerLookup, EveryReturnMustRemoveSixteenBytes) {
  // push ebp; mov ebp, esp; pop ebp; ret 16
  EXPECT_TRUE(Shaped({0x55, 0x89, 0xE5, 0x5D, 0xC2, 0x10, 0x00}));
  // The shapes of other conventions: cdecl, one stack argument, two.
  EXPECT_FALSE(Shaped({0x55, 0x89, 0xE5, 0x5D, 0xC3}));
  EXPECT_FALSE(Shaped({0x55, 0x89, 0xE5, 0x5D, 0xC2, 0x04, 0x00}));
  EXPECT_FALSE(Shaped({0x55, 0x89, 0xE5, 0x5D, 0xC2, 0x08, 0x00}));
  // Two exits: test eax, eax; jz +3; ret 16; ret 16 / ... ; ret
  EXPECT_TRUE(Shaped({0x85, 0xC0, 0x74, 0x03, 0xC2, 0x10, 0x00, 0xC2, 0x10, 0x00}));
  EXPECT_FALSE(Shaped({0x85, 0xC0, 0x74, 0x03, 0xC2, 0x10, 0x00, 0xC3}));
}

TEST(FormHandlerLookup, NoFunctionNoHandler) {
  // Never returns (jmp $), invalid code, and nothing at the address.
  EXPECT_FALSE(Shaped({0xEB, 0xFE}));
  EXPECT_FALSE(Shaped({0x0F, 0xFF}));
  TBlockMemoryView empty;
  EXPECT_FALSE(HasHandlerShape(empty, kCode, {}));
}

}  // namespace
}  // namespace corvan::crash
