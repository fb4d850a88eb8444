// The plugin registry: which plugins run, in which order, and how entries
// of the same name are found and removed.
#include "crash/core/ReportPlugins.h"

#include <gtest/gtest.h>

namespace corvan::crash {
namespace {

std::string First() { return "1"; }
std::string Second() { return "2"; }

std::string Names(const std::vector<ReportPlugin>& plugins) {
  std::string names;
  for (const ReportPlugin& p : plugins) names += p.name + "=" + p.text() + ";";
  return names;
}

class ReportPlugins : public ::testing::Test {
 protected:
  void SetUp() override { ClearReportPlugins(); }
  void TearDown() override { ClearReportPlugins(); }
};

TEST_F(ReportPlugins, TheSettingChoosesAndOrders) {
  RegisterReportPlugin("modules", "list of loaded modules", First, true);
  RegisterReportPlugin("hardware", "list of installed hardware", Second, true);
  EXPECT_EQ(Names(EnabledReportPlugins("modules|processes|hardware")), "modules=1;hardware=2;");
  EXPECT_EQ(Names(EnabledReportPlugins("HARDWARE|Modules")), "hardware=2;modules=1;");
  EXPECT_EQ(Names(EnabledReportPlugins("hardware")), "hardware=2;");
  EXPECT_EQ(Names(EnabledReportPlugins("")), "");
  EXPECT_EQ(Names(EnabledReportPlugins("|modules|")), "modules=1;");
}

TEST_F(ReportPlugins, SameNamesFirstEntryWinsAndGoesFirst) {
  RegisterReportPlugin("modules", "a", First, true);
  RegisterReportPlugin("Modules", "b", Second, false);
  EXPECT_EQ(Names(EnabledReportPlugins("modules")), "modules=1;");
  // Removal compares exactly and keeps the others.
  UnregisterReportPlugin("MODULES");
  EXPECT_EQ(Names(EnabledReportPlugins("modules")), "modules=1;");
  UnregisterReportPlugin("modules");
  const auto left = EnabledReportPlugins("modules");
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].name, "Modules");
  EXPECT_FALSE(left[0].ownSection);
  UnregisterReportPlugin("nothing");
  EXPECT_EQ(EnabledReportPlugins("modules").size(), 1u);
}

}  // namespace
}  // namespace corvan::crash
