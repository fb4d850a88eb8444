// The image editor registered for BMP files in the tests: paints the whole
// picture of the file it is started with (a 32-bit BMP) pure red and saves
// it in place, as a user editing the screenshot would.
//   image_editor_double PATH
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 2) return 1;
  std::vector<char> bmp;
  {
    std::ifstream in(argv[1], std::ios::binary);
    bmp.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  if (bmp.size() < 54 || bmp[0] != 'B' || bmp[1] != 'M') return 1;
  std::uint32_t offset = 0;
  std::uint16_t bits = 0;
  std::memcpy(&offset, &bmp[10], 4);
  std::memcpy(&bits, &bmp[28], 2);
  if (bits != 32 || offset > bmp.size()) return 1;
  for (std::size_t at = offset; at + 4 <= bmp.size(); at += 4) {
    bmp[at] = 0;                            // blue
    bmp[at + 1] = 0;                        // green
    bmp[at + 2] = static_cast<char>(0xFF);  // red
  }
  // The reporter reads the file back when its write time moves.
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out.write(bmp.data(), static_cast<std::streamsize>(bmp.size()));
  return out ? 0 : 1;
}
