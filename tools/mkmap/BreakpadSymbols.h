#pragma once
// The Breakpad symbol file of a Windows program, from what binutils report
// about it: the text crash servers and Breakpad's stack walker read to name
// the frames of a minidump and to unwind frames without a frame pointer.
//   MODULE windows x86 <identifier> <debug file>
//   INFO CODE_ID <time stamp><image size> <program>
//   FILE <n> <path>
//   FUNC <rva> <size> 0 <name>, then its lines: <rva> <size> <line> <file n>
//   PUBLIC <rva> 0 <name>                 (code without lines)
//   STACK CFI INIT <rva> <size> <rules>, STACK CFI <rva> <changed rules>
// Addresses are relative to the image base, in hex without "0x".
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace corvan::mkmap {

// A code symbol's extent (virtual addresses; the end is the next symbol's
// start) and its name as the map has it (mangled, without COFF's
// underscore).
struct SymbolFunction {
  std::uint32_t start = 0, end = 0;
  std::string name;
};

// A row of the decoded line table, sorted by address.
struct SymbolRow {
  std::uint32_t address = 0;
  std::int32_t line = 0;
  std::string file;  // full path
};

struct SymbolModule {
  std::string identifier;  // BreakpadIdentifier of the CodeView record
  std::string debugFile;   // the record's database name, without folders
  std::string codeFile;    // "corvan.exe"
  std::string codeId;      // time stamp (8 hex digits) and image size
  std::uint32_t imageBase = 0;
};

// The identifier Breakpad files a module's symbols under: the CodeView
// record's signature as a GUID (first three fields in their own byte
// order) and its age, in upper-case hex. Empty unless record is "RSDS" of
// at least 24 bytes.
std::string BreakpadIdentifier(std::span<const std::uint8_t> record);
// The record's database name without its folders; empty when absent.
std::string CodeViewDatabase(std::span<const std::uint8_t> record);
// Where Breakpad looks for the symbols of debugFile: "<debug file>/<id>/"
// and the debug file with ".pdb" replaced by ".sym".
std::string SymbolFilePath(const std::string& debugFile, const std::string& identifier);

// STACK CFI records from `objdump --dwarf=frames-interp` of the program.
// A rule binutils shows only as an expression ("exp") has no Breakpad form:
// a register with one is left to the walker, and an entry's records end
// where its frame address becomes one (the walker falls back on the frame
// pointer there).
std::string StackCfiRecords(const std::string& framesText, std::uint32_t imageBase);

// The whole symbol file. A function's lines are those of its own file (the
// file of its first row); rows of other files inside it are code inlined
// from elsewhere, covered by the line before them, as the embedded map and
// so the bug report have it. A function without rows is a PUBLIC. Names are
// demangled.
std::string SymbolFileText(const SymbolModule& module, const std::vector<SymbolFunction>& functions,
                           const std::vector<SymbolRow>& rows, const std::string& stackCfi);

}  // namespace corvan::mkmap
