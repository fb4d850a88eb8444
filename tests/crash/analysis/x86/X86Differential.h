#pragma once
// Differential testing of DecodeInstruction against Zydis (the main oracle)
// and i686-w64-mingw32-objdump (second opinion) over the code sections of
// PE images and over random bytes.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace corvan::crash::testing {

struct TDiffFigures {
  std::uint64_t Instructions = 0;    // decoded positions (Zydis boundaries)
  std::uint64_t OraclesAgree = 0;    // in scope, Zydis and objdump agree
  std::uint64_t Agree = 0;           // ... and we agree with them (a differently
                                     // spelt mnemonic is listed, not counted)
  std::uint64_t LaterExtension = 0;  // Zydis: valid, of a later extension
  std::uint64_t LaterRejected = 0;   // ... which we call invalid
  std::uint64_t Transfers = 0;       // calls and jumps among OraclesAgree
  std::uint64_t TransfersAgree = 0;  // same kind and destination
  // Disagreements by class ("what:opcode[/reg]") with one example each.
  std::map<std::string, std::uint64_t> Classes;
  std::map<std::string, std::string> Examples;
  void Add(const TDiffFigures& other);
  std::string Summary(const std::string& title) const;
};

// Compares every instruction of the image's code sections, at Zydis's
// instruction boundaries. withObjdump: also ask objdump (else Zydis alone).
bool DiffImage(const std::string& path, bool withObjdump, TDiffFigures& figures,
               std::string& error);

// Decodes count random bytes (fixed seed) at every offset.
void DiffRandom(std::uint32_t seed, std::size_t count, TDiffFigures& figures);

// Classes explained in the data file: "class  reason" per line.
std::map<std::string, std::string> LoadExplanations(const std::string& path);

}  // namespace corvan::crash::testing
