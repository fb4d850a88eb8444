#pragma once
// Builds small PE images for tests: headers, one data section at RVA
// 0x1000 (file offset 0x400), and the export, import and resource
// structures written the way linkers and resource compilers write them.
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "crash/analysis/PeImage.h"

namespace corvan::crash::test {

class PeBuilder {
 public:
  static constexpr std::uint32_t kSectionRva = 0x1000;
  static constexpr std::uint32_t kSectionRaw = 0x400;

  bool pe64 = false;
  std::vector<std::uint8_t> data;  // the section's contents
  std::pair<std::uint32_t, std::uint32_t> directories[16] = {};

  std::uint32_t Here() const { return kSectionRva + static_cast<std::uint32_t>(data.size()); }
  std::uint32_t Add(const void* bytes, std::size_t n) {
    const std::uint32_t rva = Here();
    data.insert(data.end(), static_cast<const std::uint8_t*>(bytes),
                static_cast<const std::uint8_t*>(bytes) + n);
    while (data.size() % 4) data.push_back(0);
    return rva;
  }
  std::uint32_t AddString(const std::string& s) { return Add(s.c_str(), s.size() + 1); }
  void Put32(std::uint32_t rva, std::uint32_t v) { std::memcpy(&data[rva - kSectionRva], &v, 4); }
  void Put16(std::uint32_t rva, std::uint16_t v) { std::memcpy(&data[rva - kSectionRva], &v, 2); }
  std::uint32_t Reserve(std::size_t n) {
    const std::uint32_t rva = Here();
    data.resize(data.size() + n);
    while (data.size() % 4) data.push_back(0);
    return rva;
  }

  // functions: RVAs by ordinal index (0 = unused slot); names: name ->
  // index; forwarders: index -> "module.function" (placed inside the
  // directory so the loader treats them as forwarders).
  void AddExports(std::uint32_t ordinalBase, std::vector<std::uint32_t> functions,
                  const std::map<std::string, std::uint16_t>& names,
                  const std::map<std::uint16_t, std::string>& forwarders = {}) {
    const std::uint32_t dir = Reserve(40);
    for (const auto& [index, text] : forwarders) functions[index] = AddString(text);
    const std::uint32_t functionsRva = Add(functions.data(), functions.size() * 4);
    std::vector<std::uint32_t> namePointers;
    std::vector<std::uint16_t> ordinals;
    for (const auto& [name, index] : names) {  // std::map: sorted as the loader wants
      namePointers.push_back(AddString(name));
      ordinals.push_back(index);
    }
    const std::uint32_t namesRva = Add(namePointers.data(), namePointers.size() * 4);
    const std::uint32_t ordinalsRva = Add(ordinals.data(), ordinals.size() * 2);
    Put32(dir + 16, ordinalBase);
    Put32(dir + 20, static_cast<std::uint32_t>(functions.size()));
    Put32(dir + 24, static_cast<std::uint32_t>(names.size()));
    Put32(dir + 28, functionsRva);
    Put32(dir + 32, namesRva);
    Put32(dir + 36, ordinalsRva);
    directories[0] = {dir, Here() - dir};
  }

  struct Import {
    std::string module;
    std::vector<std::string> names;  // "#5" imports ordinal 5
  };
  // Returns each module's import address table RVA.
  std::vector<std::uint32_t> AddImports(const std::vector<Import>& imports,
                                        bool corruptLast = false) {
    const std::uint32_t descriptors = Reserve(20 * (imports.size() + 1));
    std::vector<std::uint32_t> iats;
    const std::uint32_t slot = pe64 ? 8 : 4;
    for (std::size_t i = 0; i < imports.size(); ++i) {
      std::vector<std::uint64_t> thunks;
      for (const std::string& n : imports[i].names) {
        if (n[0] == '#') {
          thunks.push_back((pe64 ? 1ULL << 63 : 1ULL << 31) | std::stoul(n.substr(1)));
        } else {
          const std::uint16_t hint = 0;
          const std::uint32_t at = Add(&hint, 2);
          data.resize(at - kSectionRva + 2);
          AddString(n);
          thunks.push_back(at);
        }
      }
      thunks.push_back(0);
      std::vector<std::uint8_t> table;
      for (std::uint64_t t : thunks)
        table.insert(table.end(), reinterpret_cast<std::uint8_t*>(&t),
                     reinterpret_cast<std::uint8_t*>(&t) + slot);
      const std::uint32_t lookup = Add(table.data(), table.size());
      const std::uint32_t iat = Add(table.data(), table.size());
      iats.push_back(iat);
      const std::uint32_t d = descriptors + 20 * static_cast<std::uint32_t>(i);
      Put32(d, lookup);
      Put32(d + 12, AddString(imports[i].module));
      Put32(d + 16, iat);
    }
    directories[1] = {descriptors, Here() - descriptors};
    if (corruptLast && !imports.empty()) {
      Put32(descriptors + 20 * static_cast<std::uint32_t>(imports.size() - 1) + 16, Here() + 0x100);
    }
    return iats;
  }

  struct Resource {
    ResourceKey type, name;
    std::uint16_t language;
    std::vector<std::uint8_t> bytes;
  };
  // One directory chain per resource; types must differ.
  void AddResources(const std::vector<Resource>& resources) {
    const std::uint32_t root = Reserve(16 + 8 * resources.size());
    auto entry = [&](std::uint32_t dirRva, std::size_t index, const ResourceKey& key,
                     std::uint32_t target, bool directory) {
      const std::uint32_t at = dirRva + 16 + 8 * static_cast<std::uint32_t>(index);
      if (const auto* id = std::get_if<std::uint16_t>(&key)) {
        Put32(at, *id);
      } else {
        const std::string& s = std::get<std::string>(key);
        std::vector<std::uint16_t> wide{static_cast<std::uint16_t>(s.size())};
        for (char c : s) wide.push_back(static_cast<std::uint8_t>(c));
        Put32(at, 0x80000000u | (Add(wide.data(), wide.size() * 2) - root));
      }
      Put32(at + 4, (directory ? 0x80000000u : 0) | (target - root));
    };
    auto count = [&](std::uint32_t dirRva, const ResourceKey& key) {
      Put16(dirRva + (std::holds_alternative<std::uint16_t>(key) ? 14 : 12), 1);
    };
    int named = 0;
    for (const Resource& r : resources) named += std::holds_alternative<std::string>(r.type);
    Put16(root + 12, static_cast<std::uint16_t>(named));
    Put16(root + 14, static_cast<std::uint16_t>(resources.size() - named));
    // Named entries come first, as resource compilers write them.
    std::vector<const Resource*> ordered;
    for (const Resource& r : resources)
      if (std::holds_alternative<std::string>(r.type)) ordered.push_back(&r);
    for (const Resource& r : resources)
      if (!std::holds_alternative<std::string>(r.type)) ordered.push_back(&r);
    for (std::size_t i = 0; i < ordered.size(); ++i) {
      const Resource& r = *ordered[i];
      const std::uint32_t typeDir = Reserve(24);
      const std::uint32_t langDir = Reserve(24);
      const std::uint32_t dataEntry = Reserve(16);
      const std::uint32_t bytes = Add(r.bytes.data(), r.bytes.size());
      entry(root, i, r.type, typeDir, true);
      count(typeDir, r.name);
      entry(typeDir, 0, r.name, langDir, true);
      count(langDir, ResourceKey(r.language));
      entry(langDir, 0, ResourceKey(r.language), dataEntry, false);
      Put32(dataEntry, bytes);
      Put32(dataEntry + 4, static_cast<std::uint32_t>(r.bytes.size()));
    }
    directories[2] = {root, Here() - root};
  }

  static std::vector<std::uint8_t> VersionResource(std::uint16_t a, std::uint16_t b,
                                                   std::uint16_t c, std::uint16_t d) {
    std::vector<std::uint8_t> v(40 + 52);
    auto put16 = [&](std::size_t at, std::uint16_t x) { std::memcpy(&v[at], &x, 2); };
    auto put32 = [&](std::size_t at, std::uint32_t x) { std::memcpy(&v[at], &x, 4); };
    put16(0, static_cast<std::uint16_t>(v.size()));
    put16(2, 52);
    const char key[] = "VS_VERSION_INFO";
    for (std::size_t i = 0; i < sizeof key; ++i)
      put16(6 + 2 * i, static_cast<std::uint8_t>(key[i]));
    put32(40, 0xFEEF04BD);
    put32(44, 0x10000);
    put32(48, static_cast<std::uint32_t>(a) << 16 | b);
    put32(52, static_cast<std::uint32_t>(c) << 16 | d);
    put32(56, 0x00090008);
    put32(60, 0);
    return v;
  }

  // layout File: headers in 0x400 bytes, the section at offset 0x400;
  // layout Mapped: the section at 0x1000, as the loader lays it out.
  std::vector<std::uint8_t> Build(ImageLayout layout) const {
    const std::uint32_t sectionAt = layout == ImageLayout::File ? kSectionRaw : kSectionRva;
    std::vector<std::uint8_t> out(sectionAt + data.size());
    auto put16 = [&](std::size_t at, std::uint16_t x) { std::memcpy(&out[at], &x, 2); };
    auto put32 = [&](std::size_t at, std::uint32_t x) { std::memcpy(&out[at], &x, 4); };
    out[0] = 'M';
    out[1] = 'Z';
    const std::uint32_t nt = 0x80;
    put32(0x3C, nt);
    std::memcpy(&out[nt], "PE\0\0", 4);
    put16(nt + 4, pe64 ? 0x8664 : 0x14C);
    put16(nt + 6, 1);  // one section
    const std::uint16_t optionalSize = pe64 ? 240 : 224;
    put16(nt + 20, optionalSize);
    const std::size_t opt = nt + 24;
    put16(opt, pe64 ? 0x20B : 0x10B);
    put32(opt + 16, 0x1000);  // entry point
    if (pe64) {
      put32(opt + 24, 0x40000000);
      put32(opt + 28, 0x1);
    } else {
      put32(opt + 28, 0x10000000);
    }
    put32(opt + 56, kSectionRva + static_cast<std::uint32_t>((data.size() + 0xFFF) & ~0xFFFu));
    put32(opt + (pe64 ? 108 : 92), 16);
    for (int i = 0; i < 16; ++i) {
      put32(opt + (pe64 ? 112 : 96) + 8 * i, directories[i].first);
      put32(opt + (pe64 ? 116 : 100) + 8 * i, directories[i].second);
    }
    const std::size_t section = opt + optionalSize;
    std::memcpy(&out[section], ".data", 5);
    put32(section + 8, static_cast<std::uint32_t>(data.size()));
    put32(section + 12, kSectionRva);
    put32(section + 16, static_cast<std::uint32_t>(data.size()));
    put32(section + 20, kSectionRaw);
    put32(section + 36, 0xC0000040);
    if (!data.empty()) std::memcpy(&out[sectionAt], data.data(), data.size());
    return out;
  }
};

}  // namespace corvan::crash::test
