#pragma once
// A hidden window per thread that hands window messages (system
// broadcasts and message numbers allocated here) to registered handlers.
#include <windows.h>

namespace corvan::crash {

// Called on the window's thread, without any lock held.
using MessageHandler = void (*)(void* key1, void* key2, HWND window, UINT message, WPARAM wParam,
                                LPARAM lParam, LRESULT& result);

// Registers handler for message on the window of threadId (0: the calling
// thread), creating that window when the calling thread asks for its own.
// Message 0 allocates the first free number from 1024 up. Returns the
// message number, or 0 when the window does not exist (another thread's)
// or the same registration exists already.
UINT AddMessageHandler(MessageHandler handler, UINT message, DWORD threadId, void* key1,
                       void* key2);
// Removes every registration of handler with these keys (for message, or
// for all messages when 0). A window left without registrations is
// destroyed: directly on its thread, by a posted WM_CLOSE from another.
void RemoveMessageHandler(MessageHandler handler, UINT message, DWORD threadId, void* key1,
                          void* key2);
// The thread's window, or null.
HWND MessageHandlerWindow(DWORD threadId);
// Drops every registration and closes the registry's mutex.
void ShutdownMessageHandlers();

}  // namespace corvan::crash
