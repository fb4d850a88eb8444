#include "crash/ui/Clipboard.h"

#include <windows.h>

#include <cstring>

namespace corvan::crash {

bool PutTextOnClipboard(const std::string& text) {
  if (!OpenClipboard(nullptr)) return false;
  bool done = false;
  EmptyClipboard();
  if (HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, text.size() + 1)) {
    if (void* p = GlobalLock(memory)) {
      std::memcpy(p, text.c_str(), text.size() + 1);
      GlobalUnlock(memory);
      done = SetClipboardData(CF_TEXT, memory) != nullptr;
    }
    if (!done) GlobalFree(memory);  // the clipboard owns it only on success
  }
  CloseClipboard();
  return done;
}

}  // namespace corvan::crash
