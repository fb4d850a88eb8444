// The logger: categories, destinations, time stamps and its file.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <future>
#include <thread>
#include <iterator>
#include <string>
#include <vector>

#include "net/socket/NetLogger.h"

namespace corvan::net {
namespace {

std::string ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// "hh:nn:ss:zzz " + text.
bool IsStamped(const std::string& line, const std::string& text) {
  const std::string pattern = "dd:dd:dd:ddd ";
  if (line.size() != pattern.size() + text.size()) return false;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const bool ok = pattern[i] == 'd' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0
                                      : line[i] == pattern[i];
    if (!ok) return false;
  }
  return line.compare(pattern.size(), std::string::npos, text) == 0;
}

std::string TempName(const char* tag) {
  return ::testing::TempDir() + "corvan-logger-" + tag + ".log";
}

TEST(NetLogger, CategoriesAndTheEventDestination) {
  TNetLogger logger;
  std::vector<std::string> lines;
  std::vector<TLogOption> categories;
  logger.SetOnNetLogEvent([&](const void*, TLogOption category, const std::string& line) {
    categories.push_back(category);
    lines.push_back(line);
  });
  EXPECT_FALSE(logger.Wants(loWsockInfo));
  logger.SetLogOptions({loDestEvent, loWsockInfo, loProtSpecDump});
  EXPECT_TRUE(logger.Wants(loWsockInfo));
  EXPECT_FALSE(logger.Wants(loWsockDump));
  logger.DoDebugLog(nullptr, loWsockInfo, "connect");
  logger.DoDebugLog(nullptr, loProtSpecDump, "line");
  EXPECT_EQ(lines, (std::vector<std::string>{"connect", "line"}));
  EXPECT_EQ(categories, (std::vector<TLogOption>{loWsockInfo, loProtSpecDump}));
}

// A handler that asks the logger something and switches its event off must
// not wait on the logger's own lock (run on a thread: a hang fails in 10 s).
TEST(NetLogger, EventHandlerMayUseTheLogger) {
  auto logger = std::make_shared<TNetLogger>();
  auto seen = std::make_shared<std::vector<bool>>();
  logger->SetOnNetLogEvent(
      [logger = logger.get(), seen](const void*, TLogOption, const std::string&) {
        seen->push_back(logger->Wants(loWsockInfo));
        logger->SetOnNetLogEvent(nullptr);
      });
  logger->SetLogOptions({loDestEvent, loWsockInfo});
  std::packaged_task<void()> task([logger] {
    logger->DoDebugLog(nullptr, loWsockInfo, "one");
    logger->DoDebugLog(nullptr, loWsockInfo, "two");
  });
  std::future<void> done = task.get_future();
  std::thread(std::move(task)).detach();
  ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(*seen, std::vector<bool>{true});
}

TEST(NetLogger, FileLinesWithStampsAppendOrOverwrite) {
  const std::string name = TempName("stamp");
  std::remove(name.c_str());
  {
    TNetLogger logger;
    logger.SetLogOptions({loDestFile, loAddStamp, loWsockErr});
    logger.SetLogFileName(name);
    logger.DoDebugLog(nullptr, loWsockErr, "first");
    logger.DoDebugLog(nullptr, loWsockErr, "second");
  }
  const std::string text = ReadFile(name);
  const std::size_t cut = text.find("\r\n");
  ASSERT_NE(cut, std::string::npos);
  EXPECT_TRUE(IsStamped(text.substr(0, cut), "first")) << text;
  EXPECT_TRUE(IsStamped(text.substr(cut + 2, text.size() - cut - 4), "second")) << text;
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
  {
    TNetLogger logger;
    logger.SetLogOptions({loDestFile});
    logger.SetLogFileName(name);
    logger.DoDebugLog(nullptr, loWsockErr, "appended");
  }
  EXPECT_EQ(ReadFile(name), text + "appended\r\n");
  {
    TNetLogger logger;
    logger.SetLogOptions({loDestFile});
    logger.SetLogFileOption(lfoOverwrite);
    logger.SetLogFileName(name);
    logger.DoDebugLog(nullptr, loWsockErr, "only");
    logger.DoDebugLog(nullptr, loWsockErr, "lines");
  }
  EXPECT_EQ(ReadFile(name), "only\r\nlines\r\n");
  std::remove(name.c_str());
}

TEST(NetLogger, NewFileNameSwitchesFiles) {
  const std::string a = TempName("a"), b = TempName("b");
  std::remove(a.c_str());
  std::remove(b.c_str());
  TNetLogger logger;
  logger.SetLogOptions({loDestFile});
  logger.SetLogFileName(a);
  logger.DoDebugLog(nullptr, loWsockErr, "to a");
  logger.SetLogFileName(b);
  logger.DoDebugLog(nullptr, loWsockErr, "to b");
  EXPECT_EQ(ReadFile(a), "to a\r\n");
  EXPECT_EQ(ReadFile(b), "to b\r\n");
  std::remove(a.c_str());
  std::remove(b.c_str());
}

TEST(NetLogger, FileWithoutANameRaises) {
  TNetLogger logger;
  logger.SetLogOptions({loDestFile});
  try {
    logger.DoDebugLog(nullptr, loWsockErr, "x");
    FAIL() << "no exception";
  } catch (const ELoggerException& e) {
    EXPECT_STREQ(e.what(), "File name empty");
  }
}

}  // namespace
}  // namespace corvan::net
