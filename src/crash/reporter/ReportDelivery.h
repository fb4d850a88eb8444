#pragma once
// Sending an exception report: the send button and the automatic send hand
// the report to delivery with its bug report file and folders. A report
// that does not go out is kept (when the settings say KeepUnsent) and
// offered again at the next start of the program.
#include <windows.h>

#include <string>

#include "crash/core/ReportFrontEnd.h"
#include "crash/core/UnsentQueue.h"

namespace corvan::crash {

// Sends a report over the channels of its settings; keeps it with its
// attachments for a later send unless it went out, is kept already, has no
// bug report, its settings keep none, or the process is locked. A send
// that succeeds afterwards removes it again.
ReportDeliverer& MailDeliverer();

// The reports that earlier runs of this program kept, when its settings
// keep unsent reports. Broken entries are skipped; their notes go to the
// debugger output and are returned with the list.
KeptReports UnsentReportsToOffer();
// Sends them over the channels of this program's settings in this thread,
// oldest first, each removed once it went out; stops at the first that
// does not go out (it and the later ones stay). Returns the number sent.
int SendUnsentReports(const KeptReports& kept, HWND parent);
// "Never": the kept reports are dropped. Reports that fail to go out later
// are kept and offered again.
void DropUnsentReports();

}  // namespace corvan::crash
