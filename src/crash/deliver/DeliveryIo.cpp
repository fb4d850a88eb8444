#include "crash/deliver/DeliveryIo.h"

#include <sys/stat.h>

#include <cstdio>

namespace corvan::crash {
namespace {

class StdioReader final : public DeliveryFiles::Reader {
 public:
  explicit StdioReader(std::FILE* file) : file_(file) {}
  ~StdioReader() override { std::fclose(file_); }
  long Read(void* buffer, std::size_t size) override {
    const std::size_t n = std::fread(buffer, 1, size, file_);
    if (n < size && std::ferror(file_)) return -1;
    return static_cast<long>(n);
  }

 private:
  std::FILE* file_;
};

}  // namespace

bool StdioDeliveryFiles::Size(const std::string& path, std::uint64_t& size) {
#ifdef _WIN32
  struct _stat64 st {};
  if (_stat64(path.c_str(), &st) != 0 || !(st.st_mode & _S_IFREG)) return false;
#else
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
#endif
  size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

std::unique_ptr<DeliveryFiles::Reader> StdioDeliveryFiles::Open(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return nullptr;
  return std::make_unique<StdioReader>(file);
}

}  // namespace corvan::crash
