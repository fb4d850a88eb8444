#pragma once
// The reporter's windows over an exception report, as the pipeline asks
// for them: the exception box (or the console form) and what its buttons
// hand back to the pipeline, the bug report file and the end of the
// program; the assistants, the screenshot, the progress window and the
// clipboard.
#include "crash/core/ReportFrontEnd.h"

namespace corvan::crash {

ReportPresenter& WindowsPresenter();

}  // namespace corvan::crash
