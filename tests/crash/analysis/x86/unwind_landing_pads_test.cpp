#include <gtest/gtest.h>

#include "crash/analysis/x86/UnwindLandingPads.h"

namespace corvan::crash {
namespace {

constexpr Address Entry = 0x00401000;
constexpr Address Cie = 0x00500000;
constexpr Address Fde = Cie + 20;
constexpr Address Lsda = 0x00500100;

void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// CIE "zLR" with absolute pointers, an FDE for Entry, and an LSDA whose
// call sites (uleb128, as gcc writes them) name one landing pad.
TBlockMemoryView UnwindData(Address fdeBegin, Address lsda, std::vector<std::uint8_t> callSites) {
  std::vector<std::uint8_t> frame(0x200, 0);
  Put32(frame, 0, 16);
  frame[8] = 1;  // version
  frame[9] = 'z';
  frame[10] = 'L';
  frame[11] = 'R';
  frame[13] = 1;
  frame[14] = 0x7C;
  frame[15] = 8;  // alignment, return register
  frame[16] = 2;
  frame[17] = 0x00;
  frame[18] = 0x00;                 // augmentation: L and R absolute
  Put32(frame, 20, 20);             // FDE length
  Put32(frame, 24, Fde + 4 - Cie);  // CIE pointer
  Put32(frame, 28, fdeBegin);
  Put32(frame, 32, 0x40);  // range
  frame[36] = 4;
  Put32(frame, 37, lsda);
  const std::size_t l = Lsda - Cie;
  frame[l] = 0xFF;      // no LPStart: the function start
  frame[l + 1] = 0xFF;  // no type table
  frame[l + 2] = 0x01;  // call sites in uleb128
  frame[l + 3] = static_cast<std::uint8_t>(callSites.size());
  std::copy(callSites.begin(), callSites.end(), frame.begin() + static_cast<std::ptrdiff_t>(l + 4));
  TBlockMemoryView view;
  view.Add(Cie, frame);
  return view;
}

TEST(LandingPadsFromFde, ReadsTheCallSiteTable) {
  const TBlockMemoryView view = UnwindData(Entry, Lsda,
                                           {0x00, 0x05, 0x20, 0x01,    // call with a pad
                                            0x05, 0x03, 0x00, 0x00,    // call without
                                            0x10, 0x04, 0x2A, 0x00});  // another pad
  EXPECT_EQ(LandingPadsFromFde(view, Fde, Entry),
            (std::vector<Address>{Entry + 0x20, Entry + 0x2A}));
}

TEST(LandingPadsFromFde, NothingForOtherFunctionsOrBrokenData) {
  const std::vector<std::uint8_t> sites = {0x00, 0x05, 0x20, 0x01};
  EXPECT_TRUE(LandingPadsFromFde(UnwindData(Entry + 1, Lsda, sites), Fde, Entry).empty());
  EXPECT_TRUE(LandingPadsFromFde(UnwindData(Entry, 0, sites), Fde, Entry).empty()) << "no LSDA";
  EXPECT_TRUE(LandingPadsFromFde(UnwindData(Entry, 0x00900000, sites), Fde, Entry).empty())
      << "unreadable LSDA";
  EXPECT_TRUE(LandingPadsFromFde(UnwindData(Entry, Lsda, sites), Fde + 1, Entry).empty());
  TBlockMemoryView empty;
  EXPECT_TRUE(LandingPadsFromFde(empty, Fde, Entry).empty());
}

}  // namespace
}  // namespace corvan::crash
