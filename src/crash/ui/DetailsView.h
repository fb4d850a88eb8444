#pragma once
// The details view's model, free of Windows: which tabs a bug report gets,
// the text behind each tab, and the formatters that turn a section's text
// into list columns and rows. A formatter recognises the section's layout
// (call stacks, modules, registers, stack dump, disassembly, ...), finds
// its columns and marks colours and group titles; text that does not look
// tabular yields no columns and is shown as it is.
//
// Column detection looks for offsets at which every line holds the same
// separator (a blank, "=", "|", or ": "); such an offset becomes a
// boundary, the separators there turn into blanks, and a run of separator
// offsets gives one boundary at its end. Rows are then cut by putting a
// TAB in place of the separator in front of each boundary.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvan::crash {

using NamedTexts = std::vector<std::pair<std::string, std::string>>;

struct DetailsColumn {
  std::string caption;
  bool upperCase = false;     // caption began with "^"
  bool rightAligned = false;  // caption began with a blank
};

struct DetailsItem {
  std::string text;          // cells joined by TAB; a title row keeps its ">>" line
  std::uint32_t colour = 0;  // 0: column colours; else 0x00BBGGRR for the whole row
  bool title = false;        // bold group title with a line under it
};

struct DetailsContent {
  std::vector<DetailsColumn> columns;
  std::vector<DetailsItem> items;
  bool fixedPitch = false;
  bool columnHeaders = true;
  // A list needs both; otherwise the text is shown in a read-only edit.
  bool IsList() const { return !columns.empty() && !items.empty(); }
};

inline constexpr std::uint32_t kFaultRowColour = 0xD0D0FF;
inline constexpr std::uint32_t kWhite = 0xFFFFFF;

// Tab names for these sections: "general", "call stack(s)", then every
// section after the thread sections ("cpu registers" as "cpu regs",
// "disassembling" as "disasm").
std::vector<std::string> WantedTabs(const NamedTexts& sections);
// The number of thread sections: the first and the "$" ones after it.
int ThreadSectionCount(const NamedTexts& sections);

struct TabText {
  std::string section;  // the section's own name ("" for the first two tabs)
  std::string text;
};
TabText TextOfTab(int tab, const NamedTexts& header, const NamedTexts& sections);

// Chooses the formatter by tab and section and runs it.
DetailsContent FormatTab(int tab, const std::string& section, const std::string& text);

// The individual formatters.
DetailsContent FormatHeader(const std::string& text);
DetailsContent FormatRegisters(const std::string& text);
DetailsContent FormatStackDump(const std::string& text);
DetailsContent FormatModules(const std::string& text);
DetailsContent FormatProcesses(const std::string& text);
DetailsContent FormatDisassembly(const std::string& text);
DetailsContent FormatCallStacks(const std::string& text);
DetailsContent FormatAutomatic(const std::string& text);

// A caption with its "^" (upper case) and leading blank (right-aligned).
DetailsColumn ParseCaption(std::string_view caption);
// The cells of a row as the list shows them: cut at TABs (the last column
// takes the rest), trimmed, upper-cased where the column says so; a title
// row has ">>" as its first cell and nothing else.
std::vector<std::string> ItemCells(const DetailsItem& item,
                                   const std::vector<DetailsColumn>& columns);

// Column boundaries (offsets of the character after each separator) of
// text's lines; separators found are replaced by blanks in text. With
// ignoreSingle, an offset where only one other line has a lone separator
// is no boundary (unless only one line has text).
std::vector<int> DetectColumns(std::string& text, bool ignoreSingle);

}  // namespace corvan::crash
