#pragma once
// The start-up offer of the bug reports that earlier runs could not send:
// one small box with "Nu verzenden", "Later" and "Nooit", saying what the
// reports hold, and "Bekijken" to read them first.
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

namespace corvan::app {

inline constexpr char kSendNowText[] = "Nu verzenden";
inline constexpr char kLaterText[] = "Later";
inline constexpr char kNeverText[] = "Nooit";
inline constexpr char kViewText[] = "Bekijken";

// The box's question for count kept reports (count >= 1), with what they
// contain.
std::string UnsentOfferQuestion(int count);

#ifdef _WIN32
// Shows the box when reports are kept and does what the user chose: send
// them now (over the channels of the program's settings), keep them for
// the next start ("Later", also Escape and the close box), or drop them
// ("Nooit"). Never throws; a broken kept report never stops the start.
void OfferUnsentReports(HWND owner, const std::string& title);
#endif

}  // namespace corvan::app
