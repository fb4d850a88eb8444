#include "crash/codec/BmpFile.h"

#include <algorithm>

#include "crash/util/ByteOrder.h"

namespace corvan::crash {

void PutBmpInfoHeader(std::uint8_t* out, int width, int height) {
  std::fill_n(out, kBmpInfoHeaderSize, 0);
  PutLe32(out, kBmpInfoHeaderSize);
  PutLe32(out + 4, static_cast<std::uint32_t>(width));
  PutLe32(out + 8, static_cast<std::uint32_t>(height));
  PutLe16(out + 12, 1);   // planes
  PutLe16(out + 14, 32);  // bits per pixel
  // 16: compression 0 (none)
  PutLe32(out + 20, static_cast<std::uint32_t>(static_cast<std::size_t>(width) *
                                               static_cast<std::size_t>(height) * 4));
}

std::vector<std::uint8_t> EncodeBmp(const DibPixels& pixels) {
  const std::size_t offset = kBmpFileHeaderSize + kBmpInfoHeaderSize;
  std::vector<std::uint8_t> file(offset + pixels.ByteSize());
  file[0] = 'B';
  file[1] = 'M';
  PutLe32(&file[2], static_cast<std::uint32_t>(file.size()));
  PutLe32(&file[10], static_cast<std::uint32_t>(offset));
  PutBmpInfoHeader(&file[kBmpFileHeaderSize], pixels.width, pixels.height);
  if (pixels.ByteSize() > 0) std::copy_n(pixels.bits, pixels.ByteSize(), &file[offset]);
  return file;
}

}  // namespace corvan::crash
