#include "crash/codec/zelZip.h"

#include <sys/stat.h>

#include <cstdio>
#include <ctime>

namespace corvan::crash {
namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

class StdioArchive : public ZipFileAccess::Archive {
 public:
  explicit StdioArchive(std::FILE* f) : file_(f) {}
  bool Write(const void* data, std::size_t size) override {
    return std::fwrite(data, 1, size, file_.get()) == size;
  }
  bool Close() override { return std::fclose(file_.release()) == 0; }

 private:
  File file_;
};

}  // namespace

std::string ZipEntryName(const std::vector<std::string>& paths,
                         const std::vector<std::string>& names, std::size_t i) {
  if (i < names.size() && !names[i].empty()) return names[i];
  const std::string& path = paths[i];
  const std::size_t slash = path.rfind('\\');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool CreateZipFile(ZipFileAccess& files, const std::string& zipPath,
                   const std::vector<std::string>& paths, const std::vector<std::string>& names) {
  std::unique_ptr<ZipFileAccess::Archive> archive = files.CreateArchive(zipPath);
  if (!archive) return false;
  ZipWriter writer(*archive);
  bool ok = true;
  std::vector<std::uint8_t> data;
  for (std::size_t i = 0; i < paths.size() && ok; ++i) {
    ZipEntryInfo info;
    if (!files.ReadSource(paths[i], data, info)) continue;
    ok = writer.Add(ZipEntryName(paths, names, i), data, info) != ZipWriter::AddResult::Failed;
  }
  ok = ok && writer.Finish();
  ok = archive->Close() && ok;
  archive.reset();
  if (!ok) files.Delete(zipPath);
  return ok;
}

std::unique_ptr<ZipFileAccess::Archive> StdioZipFileAccess::CreateArchive(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return nullptr;
  return std::make_unique<StdioArchive>(f);
}

bool StdioZipFileAccess::ReadSource(const std::string& path, std::vector<std::uint8_t>& data,
                                    ZipEntryInfo& info) {
  File f(std::fopen(path.c_str(), "rb"));
  struct stat st {};
  if (!f || fstat(fileno(f.get()), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  try {
    data.resize(static_cast<std::size_t>(st.st_size));
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (std::fread(data.data(), 1, data.size(), f.get()) != data.size()) return false;
  const std::time_t modified = st.st_mtime;
  std::tm local{};
#ifdef _WIN32
  if (localtime_s(&local, &modified) != 0) return false;
#else
  if (!localtime_r(&modified, &local)) return false;
#endif
  info.modified = ToDosDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                local.tm_hour, local.tm_min, local.tm_sec);
  info.attributes = 0x20 | ((st.st_mode & S_IWUSR) ? 0 : 0x01);
  return true;
}

void StdioZipFileAccess::Delete(const std::string& path) { std::remove(path.c_str()); }

}  // namespace corvan::crash
