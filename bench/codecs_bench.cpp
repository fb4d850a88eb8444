// Codec benchmark on real screen content (a captured Xvfb desktop with
// windows and text, bench/data/desktop-1920x1080.png):
//  - the PNG writing stage of the screenshot encoder against libpng writing
//    the same indexed pixels (filter none, zlib level 6);
//  - the quantiser (Wu's box cut and one refinement pass) against
//    libimagequant at its fastest speed, with the PSNR of each against the
//    original, and for comparison the PSNR of Wu's palette alone;
//  - the zip writer against zip -6 on a 10 MB text file.
// Prints times and sizes, then "ratio NAME VALUE" lines (ours / theirs).
#include <benchmark/benchmark.h>
#include <libimagequant.h>
#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "crash/codec/PaletteRefinement.h"
#include "crash/codec/PngEncoder.h"
#include "crash/codec/WuQuantizer.h"
#include "crash/codec/zelZip.h"

namespace {

using namespace corvan::crash;

constexpr int kZlibLevel = 6;

// The desktop, decoded with libpng into the bitmap layout of a screenshot.
DibImage LoadDesktop() {
  const std::string path = std::string(CORVAN_BENCH_DATA_DIR) + "/desktop-1920x1080.png";
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) {
    throw std::runtime_error("cannot read " + path);
  }
  image.format = PNG_FORMAT_BGRA;
  std::vector<std::uint8_t> top_down(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, top_down.data(), 0, nullptr)) {
    throw std::runtime_error("cannot decode " + path);
  }
  DibImage dib(static_cast<int>(image.width), static_cast<int>(image.height));
  const DibPixels view = dib.View();
  for (int y = 0; y < view.height; ++y) {
    std::uint8_t* row = view.RowFromTop(y);
    std::copy_n(&top_down[static_cast<std::size_t>(y) * view.Stride()], view.Stride(), row);
    for (int x = 0; x < view.width; ++x) row[x * 4 + 3] = 0;
  }
  return dib;
}

struct Fixture {
  DibImage desktop = LoadDesktop();
  QuantizedImage quantized = QuantizeImage(desktop.View());
  std::string textFile;
  std::string scratch;

  Fixture() {
    char pattern[] = "/tmp/corvan-bench-XXXXXX";
    scratch = mkdtemp(pattern);
    textFile = scratch + "/bugreport.txt";
    WriteText();
  }
  ~Fixture() { std::filesystem::remove_all(scratch); }

  // 10 MB of bug-report-like text: varied addresses, names and numbers.
  void WriteText() {
    std::mt19937 rng(42);
    const char* units[] = {"zelExcept", "NetSocket", "HttpClient", "fCorvanNGmain", "zelZip"};
    const char* calls[] = {"TriggerSessionConnected",
                           "ProcessMessages",
                           "Send",
                           "Get",
                           "AddArea",
                           "WndProc",
                           "CreateZipFile"};
    std::string text;
    char line[256];
    while (text.size() < 10'000'000) {
      const int n =
          std::snprintf(line, sizeof line, "%08x corvan.exe  %-14s %5u[%u] %s.%s (+%u)\r\n",
                        static_cast<unsigned>(0x401000 + rng() % 0x80000), units[rng() % 5],
                        static_cast<unsigned>(rng() % 3000), static_cast<unsigned>(rng() % 40),
                        units[rng() % 5], calls[rng() % 7], static_cast<unsigned>(rng() % 200));
      text.append(line, static_cast<std::size_t>(n));
    }
    text.resize(10'000'000);
    std::FILE* f = std::fopen(textFile.c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
};

Fixture& Data() {
  static Fixture fixture;
  return fixture;
}

// Results worth printing besides the times.
std::map<std::string, double> g_figures;

// ---- PNG writing stage -----------------------------------------------------

std::vector<std::uint8_t> LibpngWrite(const QuantizedImage& q, int width, int height) {
  std::vector<std::uint8_t> out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    throw std::runtime_error("libpng failed");
  }
  png_set_write_fn(
      png, &out,
      [](png_structp p, png_bytep data, png_size_t length) {
        auto* sink = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(p));
        sink->insert(sink->end(), data, data + length);
      },
      nullptr);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
               PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_color palette[kPaletteEntries];
  for (int k = 0; k < kPaletteEntries; ++k) {
    palette[k] = {q.palette[k * 3], q.palette[k * 3 + 1], q.palette[k * 3 + 2]};
  }
  png_set_PLTE(png, info, palette, kPaletteEntries);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
  png_set_compression_level(png, kZlibLevel);
  png_set_compression_mem_level(png, 8);
  png_set_compression_window_bits(png, 15);
  png_write_info(png, info);
  for (int y = 0; y < height; ++y) {
    png_write_row(
        png,
        const_cast<png_bytep>(
            &q.imageData[static_cast<std::size_t>(y) * (static_cast<std::size_t>(width) + 1) + 1]));
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

void PngWriteOurs(benchmark::State& state) {
  Fixture& d = Data();
  std::size_t size = 0;
  for (auto _ : state) {
    const std::vector<std::uint8_t> png =
        BuildIndexedPng(static_cast<std::uint32_t>(d.desktop.Width()),
                        static_cast<std::uint32_t>(d.desktop.Height()), 8, d.quantized.palette,
                        d.quantized.imageData);
    size = png.size();
    benchmark::DoNotOptimize(png.data());
  }
  g_figures["png bytes ours"] = static_cast<double>(size);
}

void PngWriteLibpng(benchmark::State& state) {
  Fixture& d = Data();
  std::size_t size = 0;
  for (auto _ : state) {
    const std::vector<std::uint8_t> png =
        LibpngWrite(d.quantized, d.desktop.Width(), d.desktop.Height());
    size = png.size();
    benchmark::DoNotOptimize(png.data());
  }
  g_figures["png bytes libpng"] = static_cast<double>(size);
}

// ---- Quantisation ----------------------------------------------------------

// PSNR of a squared error summed over the red, green and blue channels.
double PsnrOfError(double squared, std::size_t pixels) {
  const double mse = squared / (static_cast<double>(pixels) * 3);
  return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

// PSNR over the red, green and blue channels of the original.
double Psnr(const DibImage& original, const std::uint8_t* rgbPalette,
            const std::vector<std::uint8_t>& indices, std::size_t rowStride, std::size_t skip) {
  DibImage copy = original;
  const DibPixels view = copy.View();
  double squared = 0;
  for (int y = 0; y < view.height; ++y) {
    const std::uint8_t* row = view.RowFromTop(y);
    const std::uint8_t* idx = &indices[static_cast<std::size_t>(y) * rowStride + skip];
    for (int x = 0; x < view.width; ++x) {
      const std::uint8_t* e = &rgbPalette[idx[x] * 3];
      for (int c = 0; c < 3; ++c) {
        const double diff = static_cast<double>(row[x * 4 + 2 - c]) - e[c];
        squared += diff * diff;
      }
    }
  }
  return PsnrOfError(squared, view.PixelCount());
}

void QuantiseOurs(benchmark::State& state) {
  Fixture& d = Data();
  QuantizedImage q;
  for (auto _ : state) {
    q = QuantizeImage(d.desktop.View());
    benchmark::DoNotOptimize(q.imageData.data());
  }
  g_figures["psnr ours dB"] = Psnr(d.desktop, q.palette.data(), q.imageData,
                                   static_cast<std::size_t>(d.desktop.Width()) + 1, 1);
  WuQuantizer wu;
  wu.AddPixels(d.desktop.View().bits, d.desktop.View().PixelCount());
  const MappedPalette unrefined = MapCells(wu.BuildPalette(), wu.Cells());
  g_figures["psnr ours unrefined dB"] =
      PsnrOfError(static_cast<double>(unrefined.squaredError), d.desktop.View().PixelCount());
}

void QuantiseLibimagequant(benchmark::State& state) {
  Fixture& d = Data();
  const int w = d.desktop.Width(), h = d.desktop.Height();
  // libimagequant takes RGBA, top-down; the conversion is not timed.
  std::vector<std::uint8_t> rgba(static_cast<std::size_t>(w) * h * 4);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const std::uint8_t* p = d.desktop.View().Pixel(x, y);
      std::uint8_t* o = &rgba[(static_cast<std::size_t>(y) * w + x) * 4];
      o[0] = p[2], o[1] = p[1], o[2] = p[0], o[3] = 255;
    }
  std::vector<std::uint8_t> indices(static_cast<std::size_t>(w) * h);
  std::vector<std::uint8_t> palette(768);
  for (auto _ : state) {
    liq_attr* attr = liq_attr_create();
    liq_set_speed(attr, 10);
    liq_image* image = liq_image_create_rgba(attr, rgba.data(), w, h, 0);
    liq_result* result = nullptr;
    if (liq_image_quantize(image, attr, &result) != LIQ_OK) throw std::runtime_error("liq");
    liq_set_dithering_level(result, 0);  // ours does not dither either
    liq_write_remapped_image(result, image, indices.data(), indices.size());
    const liq_palette* pal = liq_get_palette(result);
    for (unsigned k = 0; k < pal->count; ++k) {
      palette[k * 3] = pal->entries[k].r, palette[k * 3 + 1] = pal->entries[k].g,
                  palette[k * 3 + 2] = pal->entries[k].b;
    }
    liq_result_destroy(result);
    liq_image_destroy(image);
    liq_attr_destroy(attr);
    benchmark::DoNotOptimize(indices.data());
  }
  g_figures["psnr libimagequant dB"] =
      Psnr(d.desktop, palette.data(), indices, static_cast<std::size_t>(w), 0);
}

// ---- Zip ---------------------------------------------------------------------

void ZipOurs(benchmark::State& state) {
  Fixture& d = Data();
  StdioZipFileAccess files;
  const std::string zip = d.scratch + "/ours.zip";
  for (auto _ : state) {
    if (!CreateZipFile(files, zip, {d.textFile}, {"bugreport.txt"})) {
      throw std::runtime_error("zip failed");
    }
  }
  g_figures["zip bytes ours"] = static_cast<double>(std::filesystem::file_size(zip));
}

void ZipInfoZip(benchmark::State& state) {
  Fixture& d = Data();
  const std::string zip = d.scratch + "/theirs.zip";
  const std::string command = "zip -6 -q -X -j " + zip + " " + d.textFile;
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::remove(zip);  // zip would update an existing archive
    state.ResumeTiming();
    if (std::system(command.c_str()) != 0) throw std::runtime_error("zip -6 failed");
  }
  g_figures["zip bytes zip -6"] = static_cast<double>(std::filesystem::file_size(zip));
}

std::size_t DistinctColours(DibImage& image) {
  std::vector<std::uint32_t> colours;
  const std::vector<std::uint8_t>& b = image.Bytes();
  for (std::size_t i = 0; i < b.size(); i += 4)
    colours.push_back(b[i] | b[i + 1] << 8 | b[i + 2] << 16);
  std::sort(colours.begin(), colours.end());
  return static_cast<std::size_t>(std::unique(colours.begin(), colours.end()) - colours.begin());
}

// Keeps each benchmark's mean wall time per iteration (seconds).
class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> seconds;
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
      seconds[run.benchmark_name()] =
          run.real_accumulated_time / static_cast<double>(run.iterations);
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::RegisterBenchmark("png-write/ours", PngWriteOurs)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("png-write/libpng", PngWriteLibpng)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("quantise/ours-wu-refined", QuantiseOurs)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("quantise/libimagequant-speed10", QuantiseLibimagequant)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("zip/ours", ZipOurs)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("zip/zip-6", ZipInfoZip)->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  Data();  // load and prepare before timing
  CollectingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  std::printf("\ntest image: %d x %d captured desktop, %zu distinct colours\n",
              Data().desktop.Width(), Data().desktop.Height(), DistinctColours(Data().desktop));
  for (const auto& [name, value] : g_figures) std::printf("%-24s %.2f\n", name.c_str(), value);
  auto ratio = [&](const char* name, const char* ours, const char* theirs) {
    const auto a = reporter.seconds.find(ours), b = reporter.seconds.find(theirs);
    if (a == reporter.seconds.end() || b == reporter.seconds.end() || b->second <= 0) return;
    std::printf("ratio %s %.3f\n", name, a->second / b->second);
  };
  if (g_figures.count("png bytes ours") && g_figures.count("png bytes libpng")) {
    std::printf("png size ours/libpng     %.4f\n",
                g_figures["png bytes ours"] / g_figures["png bytes libpng"]);
  }
  std::printf("\n");
  ratio("png-write-time", "png-write/ours", "png-write/libpng");
  ratio("quantise-time", "quantise/ours-wu-refined", "quantise/libimagequant-speed10");
  ratio("zip-time", "zip/ours", "zip/zip-6");
  return 0;
}
