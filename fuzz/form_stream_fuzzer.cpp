// The form stream parser on arbitrary bytes: it must stay inside them, and
// what it reads must survive a write and a second parse unchanged.
#include <cstdlib>

#include "crash/ui/FormStream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace corvan::crash;
  const FormStreamContent first = ParseFormStream(data, size);
  if (first.objects.empty()) return 0;
  const auto bytes = WriteFormStream(first.objects);
  const FormStreamContent second = ParseFormStream(bytes.data(), bytes.size());
  // Only values change representation (tag 12 -> 6, 7 -> 6 when long).
  if (second.end != FormStreamContent::End::Complete ||
      second.objects.size() != first.objects.size()) {
    std::abort();
  }
  for (std::size_t i = 0; i < first.objects.size(); ++i) {
    const FormObject& a = first.objects[i];
    const FormObject& b = second.objects[i];
    if (a.className != b.className || a.objectName != b.objectName || a.depth != b.depth)
      std::abort();
    if (a.properties.size() != b.properties.size()) std::abort();
    for (std::size_t p = 0; p < a.properties.size(); ++p) {
      if (a.properties[p].name != b.properties[p].name) std::abort();
      if (a.properties[p].value.Text() != b.properties[p].value.Text()) std::abort();
    }
  }
  return 0;
}
