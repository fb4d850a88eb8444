// Message numbers and handlers of the hidden message window.
#include "crash/analysis/MessageHandlers.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <thread>

namespace corvan::crash {
namespace {

struct HandlerLog {
  int calls = 0;
  UINT lastMessage = 0;
};

void LogHandler(void* key1, void*, HWND, UINT message, WPARAM, LPARAM, LRESULT& result) {
  auto* log = static_cast<HandlerLog*>(key1);
  ++log->calls;
  log->lastMessage = message;
  result = 7;
}

TEST(MessageHandlersWin, AllocatesNumbersAndDispatches) {
  HandlerLog a, b;
  const UINT first = AddMessageHandler(LogHandler, 0, 0, &a, nullptr);
  const UINT second = AddMessageHandler(LogHandler, 0, 0, &b, nullptr);
  EXPECT_EQ(first, 1024u);
  EXPECT_EQ(second, 1025u);
  EXPECT_EQ(AddMessageHandler(LogHandler, first, 0, &a, nullptr), 0u);  // already there
  EXPECT_EQ(AddMessageHandler(LogHandler, WM_SETTINGCHANGE, 0, &a, nullptr),
            UINT(WM_SETTINGCHANGE));
  const HWND window = MessageHandlerWindow(0);
  ASSERT_TRUE(window);
  EXPECT_EQ(SendMessageA(window, first, 0, 0), 7);
  EXPECT_EQ(a.calls, 1);
  EXPECT_EQ(b.calls, 0);
  SendMessageA(window, WM_SETTINGCHANGE, 0, 0);
  EXPECT_EQ(a.lastMessage, UINT(WM_SETTINGCHANGE));
  SendMessageA(window, WM_MOVE, 0, 0);  // not watched
  EXPECT_EQ(a.calls, 2);
  RemoveMessageHandler(LogHandler, 0, 0, &a, nullptr);
  EXPECT_TRUE(IsWindow(window));
  RemoveMessageHandler(LogHandler, 0, 0, &b, nullptr);
  EXPECT_FALSE(IsWindow(window));
  EXPECT_FALSE(MessageHandlerWindow(0));
}

TEST(MessageHandlersWin, AnotherThreadsWindowClosesByAPostedMessage) {
  HandlerLog log;
  std::atomic<DWORD> threadId{0};
  std::atomic<HWND> window{nullptr};
  std::thread owner([&] {
    AddMessageHandler(LogHandler, 0, 0, &log, nullptr);
    window = MessageHandlerWindow(0);
    threadId = GetCurrentThreadId();
    MSG msg;
    while (IsWindow(window) && GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
  });
  while (!threadId) Sleep(1);
  EXPECT_EQ(AddMessageHandler(LogHandler, 0, GetCurrentThreadId() + 1000000, &log, nullptr), 0u);
  EXPECT_EQ(MessageHandlerWindow(threadId), window.load());
  RemoveMessageHandler(LogHandler, 0, threadId, &log, nullptr);
  owner.join();
  EXPECT_FALSE(IsWindow(window));
}

TEST(MessageHandlersWin, EveryThreadsWindowCarriesTheProcessPrefix) {
  // The prefix a development environment searches for this process by.
  char own[16];
  std::snprintf(own, sizeof own, "$%lx", GetCurrentProcessId());
  const std::string prefix = std::string("zelToolsMsgHandlerWindow") + own + "$";
  auto className = [](HWND window) {
    char name[256] = {};
    GetClassNameA(window, name, sizeof name);
    return std::string(name);
  };
  HandlerLog log;
  AddMessageHandler(LogHandler, 0, 0, &log, nullptr);
  const std::string mine = className(MessageHandlerWindow(0));
  std::string other;
  std::thread second([&] {
    AddMessageHandler(LogHandler, 0, 0, &log, nullptr);
    other = className(MessageHandlerWindow(0));
    RemoveMessageHandler(LogHandler, 0, 0, &log, nullptr);
  });
  second.join();
  RemoveMessageHandler(LogHandler, 0, 0, &log, nullptr);
  EXPECT_EQ(mine.rfind(prefix, 0), 0u) << mine;
  EXPECT_EQ(other, mine);
}

}  // namespace
}  // namespace corvan::crash
