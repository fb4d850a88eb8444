// The header line of one thread in a report.
#include "crash/analysis/ThreadInfoText.h"

#include <gtest/gtest.h>

namespace corvan::crash {
namespace {

TEST(ThreadHeaderText, NamesDescriptionsAndHiddenThreads) {
  ThreadInfoEntry e;
  e.threadId = 0x1a4;
  EXPECT_EQ(ThreadHeaderText(0x1a4, nullptr, false, true), "thread $1a4");
  EXPECT_EQ(ThreadHeaderText(0x1a4, &e, false, false), "thread $1a4");
  EXPECT_EQ(ThreadHeaderText(0x1a4, &e, false, true), "thread $1a4");
  e.description = "TDownloadThread";
  EXPECT_EQ(ThreadHeaderText(0x1a4, &e, false, true), "thread $1a4 (TDownloadThread)");
  e.name = "main";
  EXPECT_EQ(ThreadHeaderText(0x1a4, &e, false, true), "main ($1a4)");
  for (const char* hidden : {"-", "AntiFreezeThread", "HandleExceptionThread"}) {
    e.name = hidden;
    EXPECT_EQ(ThreadHeaderText(0x1a4, &e, false, true), "") << hidden;
  }
  e.name = "AntiFreezeThread";
  EXPECT_EQ(ThreadHeaderText(0x1a4, &e, true, true), "AntiFreezeThread ($1a4)");
  e.name = "-";
  EXPECT_EQ(ThreadHeaderText(0x1a4, &e, true, true), "thread $1a4 (TDownloadThread)");
}

}  // namespace
}  // namespace corvan::crash
