// Decoding the whole code section of a large Wine DLL instruction by
// instruction with DecodeInstruction and with Zydis's decode-only call, and
// ParseFunction over every exported function of that DLL.
// Ends with "ratio x86-decode VALUE" (our MB/s / Zydis MB/s).
#include <Zydis/Zydis.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>

#include "crash/analysis/x86/CodeImage.h"
#include "crash/analysis/x86/FunctionParser.h"
#include "crash/analysis/x86/InstructionDecoder.h"

using namespace corvan::crash;

namespace {

const char* DllPath() {
  const char* path = std::getenv("CORVAN_BENCH_DLL");
  return path ? path : "/usr/lib/i386-linux-gnu/wine/i386-windows/wined3d.dll";
}

struct TCorpus {
  TImageFileView Image;
  TBlockMemoryView Code;  // the code section alone: one block, as a live view sees one region
  Address Start = 0;
  std::vector<std::uint8_t> Bytes;
  bool Loaded = false;
};

TCorpus& Corpus() {
  static TCorpus corpus = [] {
    TCorpus c;
    std::string error;
    if (!c.Image.Load(DllPath(), error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return c;
    }
    for (const TImageSection& s : c.Image.Headers().Sections) {
      if (!s.IsCode()) continue;
      c.Start = s.Start;
      c.Bytes.resize(s.VirtualSize);
      c.Bytes.resize(c.Image.ReadUpTo(s.Start, c.Bytes.data(), c.Bytes.size()));
      break;
    }
    c.Code.Add(c.Start, c.Bytes);
    c.Loaded = !c.Bytes.empty();
    return c;
  }();
  return corpus;
}

void DecodeOurs(benchmark::State& state) {
  TCorpus& c = Corpus();
  if (!c.Loaded) return state.SkipWithError("no DLL");
  std::size_t instructions = 0;
  for (auto _ : state) {
    const Address end = c.Start + static_cast<Address>(c.Bytes.size());
    for (Address at = c.Start; at < end;) {
      InstructionInfo info;
      DecodeInstruction(c.Code, at, info);
      at = info.Valid ? info.After : at + 1;
      ++instructions;
    }
    benchmark::DoNotOptimize(instructions);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.Bytes.size()));
}

void DecodeZydis(benchmark::State& state) {
  TCorpus& c = Corpus();
  if (!c.Loaded) return state.SkipWithError("no DLL");
  ZydisDecoder decoder;
  ZydisDecoderInit(&decoder, ZYDIS_MACHINE_MODE_LEGACY_32, ZYDIS_STACK_WIDTH_32);
  std::size_t instructions = 0;
  for (auto _ : state) {
    for (std::size_t offset = 0; offset < c.Bytes.size();) {
      ZydisDecodedInstruction insn;
      const bool ok = ZYAN_SUCCESS(ZydisDecoderDecodeInstruction(
          &decoder, nullptr, c.Bytes.data() + offset, c.Bytes.size() - offset, &insn));
      offset += ok ? insn.length : 1;
      ++instructions;
    }
    benchmark::DoNotOptimize(instructions);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.Bytes.size()));
}

void ParseExports(benchmark::State& state) {
  TCorpus& c = Corpus();
  if (!c.Loaded) return state.SkipWithError("no DLL");
  const TAddressRange code = ModuleCodeRange(c.Image.Headers());
  std::vector<Address> entries;
  for (const auto& [address, name] : c.Image.Exports()) {
    if (code.Contains(address)) entries.push_back(address);
  }
  std::size_t valid = 0;
  for (auto _ : state) {
    for (Address entry : entries) {
      TFunctionInfo info;
      ParseFunction(c.Image, entry, {}, info);
      valid += info.Valid;
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * entries.size()));
  state.counters["functions"] = static_cast<double>(entries.size());
  state.counters["valid"] =
      static_cast<double>(valid / std::max<std::size_t>(1, state.iterations()));
}

BENCHMARK(DecodeOurs)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(DecodeZydis)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(ParseExports)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Keeps the rates of the runs for the ratio lines.
class TRateReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const std::string name = run.benchmark_name();
      auto bytes = run.counters.find("bytes_per_second");
      if (bytes != run.counters.end()) Rates[name] = bytes->second.value;
      auto items = run.counters.find("items_per_second");
      if (items != run.counters.end()) Rates[name] = items->second.value;
    }
  }
  std::map<std::string, double> Rates;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  TRateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double ours = reporter.Rates["DecodeOurs/min_time:2.000"] / 1e6;
  const double zydis = reporter.Rates["DecodeZydis/min_time:2.000"] / 1e6;
  const double parse = reporter.Rates["ParseExports/min_time:2.000"];
  std::printf("\n%s: code section %zu bytes, %zu exported functions\n", DllPath(),
              Corpus().Bytes.size(), Corpus().Image.Exports().size());
  std::printf(
      "DecodeInstruction: %.1f MB/s\nZydis decode-only: %.1f MB/s\nParseFunction: %.0f "
      "functions/s\n",
      ours, zydis, parse);
  std::printf("ratio x86-decode %.2f\n", zydis > 0 ? ours / zydis : 0.0);
  return 0;
}
