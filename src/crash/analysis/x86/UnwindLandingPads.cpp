#include "crash/analysis/x86/UnwindLandingPads.h"

#include <string>

namespace corvan::crash {
namespace {

// DWARF pointer encodings (low nibble: format, high nibble: application).
constexpr std::uint8_t EncOmit = 0xFF;
constexpr std::uint8_t EncAbsPtr = 0x00, EncUleb = 0x01, EncUdata2 = 0x02, EncUdata4 = 0x03,
                       EncSleb = 0x09, EncSdata2 = 0x0A, EncSdata4 = 0x0B;
constexpr std::uint8_t EncPcRel = 0x10, EncIndirect = 0x80;
constexpr unsigned MaxCallSites = 4096;

class TDwarfReader {
 public:
  TDwarfReader(const TMemoryView& view, Address at) : view_(view), at_(at) {}
  bool Ok() const { return ok_; }
  Address At() const { return at_; }
  void Seek(Address at) { at_ = at; }

  std::uint8_t U8() {
    std::uint8_t v = 0;
    ok_ = ok_ && view_.Read(at_, &v, 1);
    ++at_;
    return v;
  }
  std::uint32_t U32() {
    std::uint32_t v = 0;
    ok_ = ok_ && view_.ReadDword(at_, v);
    at_ += 4;
    return v;
  }
  std::uint32_t Uleb() {
    std::uint32_t value = 0;
    for (unsigned shift = 0; ok_; shift += 7) {
      const std::uint8_t b = U8();
      if (shift < 32) value |= static_cast<std::uint32_t>(b & 0x7F) << shift;
      if (!(b & 0x80)) break;
      if (shift > 63) ok_ = false;
    }
    return value;
  }
  std::int32_t Sleb() {
    std::uint32_t value = 0;
    unsigned shift = 0;
    std::uint8_t b = 0;
    do {
      b = U8();
      if (shift < 32) value |= static_cast<std::uint32_t>(b & 0x7F) << shift;
      shift += 7;
      if (shift > 63) ok_ = false;
    } while (ok_ && (b & 0x80));
    if (shift < 32 && (b & 0x40)) value |= ~0u << shift;
    return static_cast<std::int32_t>(value);
  }
  std::string String() {
    std::string s;
    for (char c = static_cast<char>(U8()); ok_ && c && s.size() < 64; c = static_cast<char>(U8()))
      s += c;
    return s;
  }
  Address Encoded(std::uint8_t encoding) {
    if (encoding == EncOmit) return 0;
    const Address place = at_;
    Address value = 0;
    switch (encoding & 0x0F) {
      case EncAbsPtr:
      case EncUdata4:
      case EncSdata4:
        value = U32();
        break;
      case EncUleb:
        value = Uleb();
        break;
      case EncSleb:
        value = static_cast<Address>(Sleb());
        break;
      case EncUdata2: {
        std::uint16_t v = 0;
        ok_ = ok_ && view_.Read(at_, &v, 2);
        at_ += 2;
        value = v;
        break;
      }
      case EncSdata2: {
        std::int16_t v = 0;
        ok_ = ok_ && view_.Read(at_, &v, 2);
        at_ += 2;
        value = static_cast<Address>(v);
        break;
      }
      default:
        ok_ = false;
        return 0;
    }
    if ((encoding & 0x70) == EncPcRel)
      value += place;
    else if ((encoding & 0x70) != 0)
      ok_ = false;  // text/data/func-relative: not used by our compilers
    if (encoding & EncIndirect) ok_ = ok_ && view_.ReadDword(value, value);
    return value;
  }

 private:
  const TMemoryView& view_;
  Address at_;
  bool ok_ = true;
};

struct TCieInfo {
  std::uint8_t FdeEncoding = EncAbsPtr;
  std::uint8_t LsdaEncoding = EncOmit;
  bool HasAugmentationData = false;
};

bool ReadCie(const TMemoryView& view, Address cie, TCieInfo& info) {
  TDwarfReader in(view, cie);
  const std::uint32_t length = in.U32();
  if (length == 0 || length == 0xFFFFFFFF || in.U32() != 0) return false;
  const std::uint8_t version = in.U8();
  const std::string augmentation = in.String();
  if (augmentation.find("eh") != std::string::npos) in.U32();
  in.Uleb();                           // code alignment
  in.Sleb();                           // data alignment
  version == 1 ? in.U8() : in.Uleb();  // return address register
  if (augmentation.empty() || augmentation[0] != 'z') return in.Ok();
  info.HasAugmentationData = true;
  in.Uleb();
  for (char c : augmentation.substr(1)) {
    switch (c) {
      case 'L':
        info.LsdaEncoding = in.U8();
        break;
      case 'R':
        info.FdeEncoding = in.U8();
        break;
      case 'P':
        in.Encoded(in.U8());
        break;
      case 'S':
      case 'B':
        break;
      default:
        return false;
    }
  }
  return in.Ok();
}

}  // namespace

std::vector<Address> LandingPadsFromFde(const TMemoryView& view, Address fde,
                                        Address functionEntry) {
  std::vector<Address> pads;
  TDwarfReader in(view, fde);
  const std::uint32_t length = in.U32();
  const Address ciePointerAt = in.At();
  const std::uint32_t ciePointer = in.U32();
  if (!in.Ok() || length == 0 || length == 0xFFFFFFFF || ciePointer == 0) return pads;
  TCieInfo cie;
  if (!ReadCie(view, ciePointerAt - ciePointer, cie) || !cie.HasAugmentationData) return pads;
  const Address begin = in.Encoded(cie.FdeEncoding);
  in.Encoded(cie.FdeEncoding & 0x0F);  // range
  in.Uleb();                           // augmentation data length
  const Address lsda = in.Encoded(cie.LsdaEncoding);
  if (!in.Ok() || begin != functionEntry || lsda == 0) return pads;

  TDwarfReader table(view, lsda);
  const std::uint8_t lpStartEncoding = table.U8();
  const Address lpStart = lpStartEncoding == EncOmit ? begin : table.Encoded(lpStartEncoding);
  if (table.U8() != EncOmit) table.Uleb();  // type table offset
  const std::uint8_t callSiteEncoding = table.U8();
  const std::uint32_t tableLength = table.Uleb();
  const Address end = table.At() + tableLength;
  for (unsigned i = 0; table.Ok() && table.At() < end && i < MaxCallSites; ++i) {
    table.Encoded(callSiteEncoding);  // start
    table.Encoded(callSiteEncoding);  // length
    const Address pad = table.Encoded(callSiteEncoding);
    table.Uleb();  // action
    if (table.Ok() && pad) pads.push_back(lpStart + pad);
  }
  if (!table.Ok()) pads.clear();
  return pads;
}

}  // namespace corvan::crash
