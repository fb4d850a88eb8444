#pragma once
// Small text helpers of the crash reporter: its hexadecimal style and the
// parts of Windows paths. Pure string work, no system calls.
#include <cstdint>
#include <string>
#include <string_view>

namespace corvan::crash {

// "$" and lower-case hexadecimal digits without leading zeros ("$0" for 0);
// the style of every hexadecimal number of the reporter without a width.
std::string HexText(std::uint32_t value);
// Eight lower-case hexadecimal digits: the style of addresses.
std::string AddressText(std::uint32_t value);

std::string FileNamePart(std::string_view path);  // after the last backslash
std::string FolderPart(std::string_view path);    // up to and including it
// "C:\" for "C:..."; "\\server\share\" for a UNC path; empty otherwise.
std::string DrivePart(std::string_view path);
std::string WithoutExtension(std::string_view path);  // drops the last dot on

// Resolves path against the executable's folder (which ends in a
// backslash): a relative path is appended to it, "\x" gets its drive, and
// "\.\" and "\..\" steps are folded. ".." never climbs above the drive.
std::string MakeAbsolutePath(std::string_view path, std::string_view exeFolder);

bool EqualsIgnoreCase(std::string_view a, std::string_view b);
// Without the blanks and tabs around it.
std::string_view TrimBlanks(std::string_view text);
std::string LowerCase(std::string_view text);

}  // namespace corvan::crash
