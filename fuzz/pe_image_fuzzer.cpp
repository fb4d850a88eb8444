// The PE reader on arbitrary bytes, in both layouts: every query must stay
// inside the buffer and end in bounded time.
#include "crash/analysis/PeImage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace corvan::crash;
  const BufferImageBytes bytes({data, size});
  for (ImageLayout layout : {ImageLayout::File, ImageLayout::Mapped}) {
    const PeImage image(bytes, layout);
    if (!image.Valid()) return 0;
    // Each lookup walks the tables: a few of them keep a run fast.
    const auto exports = image.Exports();
    for (std::size_t i = 0; i < exports.size() && i < 8; ++i) {
      if (!exports[i].name.empty()) (void)image.ExportRva(exports[i].name);
      (void)image.ExportNameAt(exports[i].rva);
    }
    (void)image.ExportRva(1u);
    (void)image.Imports();
    (void)image.FileVersion();
    (void)image.FindResourceEntry(std::uint16_t(10), std::string("TZELEXCEPT"));
  }
  return 0;
}
