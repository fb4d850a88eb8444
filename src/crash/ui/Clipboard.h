#pragma once
// The clipboard as the crash reporter fills it: plain CF_TEXT.
#include <string>

namespace corvan::crash {

// Empties the clipboard and puts text on it; false when the clipboard
// could not be opened or filled (the caller may ignore that).
bool PutTextOnClipboard(const std::string& text);

}  // namespace corvan::crash
