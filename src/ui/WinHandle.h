#pragma once
// Small owners of Windows handles: each closes its handle exactly once.
#include <windows.h>

#include "common/UniqueHandle.h"

namespace corvan::ui {

using corvan::UniqueHandle;

inline void CloseKernelHandle(HANDLE h) { ::CloseHandle(h); }
inline void DeleteGdiFont(HFONT h) { ::DeleteObject(h); }
inline void DeleteGdiBitmap(HBITMAP h) { ::DeleteObject(h); }

// Process, thread, event, mapping ... (null when absent).
using ScopedHandle = UniqueHandle<HANDLE, CloseKernelHandle>;
using ScopedFont = UniqueHandle<HFONT, DeleteGdiFont>;
using ScopedBitmap = UniqueHandle<HBITMAP, DeleteGdiBitmap>;

}  // namespace corvan::ui
