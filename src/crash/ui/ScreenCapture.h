#pragma once
// The screenshot of a report: the screen, or only this program's windows.
#include "crash/ui/zelNVBitmap.h"

namespace corvan::crash {

// Captures the virtual screen with the mouse cursor, or with appOnly only
// the bounding rectangle of this process's visible top-level windows, white
// outside their visible parts. Null when nothing can be captured.
Ref<INVBitmap> CaptureScreen(bool appOnly);

}  // namespace corvan::crash
