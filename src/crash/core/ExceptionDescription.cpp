#include "crash/core/ExceptionDescription.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "crash/core/ReportText.h"

namespace corvan::crash {
namespace {

void AddChain(const std::type_info& type, std::vector<std::string>& chain, int depth) {
  if (depth > 15) return;  // no real hierarchy is deeper; a damaged one may loop
  chain.push_back(ClassName(type));
  if (const auto* single = dynamic_cast<const abi::__si_class_type_info*>(&type)) {
    AddChain(*single->__base_type, chain, depth + 1);
  } else if (const auto* multi = dynamic_cast<const abi::__vmi_class_type_info*>(&type)) {
    for (unsigned i = 0; i < multi->__base_count; ++i) {
      AddChain(*multi->__base_info[i].__base_type, chain, depth + 1);
    }
  }
}

}  // namespace

const std::string& ExceptionDescription::ClassName() const {
  static const std::string unknown = "Unknown";
  return classChain.empty() ? unknown : classChain.front();
}

bool ExceptionDescription::DescendsFrom(const std::string& className) const {
  return std::find(classChain.begin(), classChain.end(), className) != classChain.end();
}

std::string ReportMessage(const ExceptionDescription& description) {
  if (!description.present) return NormaliseExceptionMessage("");
  return NormaliseExceptionMessage(description.isStdException ? description.message
                                                              : description.ClassName());
}

std::string ClassName(const std::type_info& type) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(
      abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
  std::string name = status == 0 && demangled ? demangled.get() : type.name();
  // Our own classes go by their plain names, like the runtime's.
  for (const char* own : {"corvan::", "(anonymous namespace)::"}) {
    if (name.rfind(own, 0) == 0) name = name.substr(name.rfind("::") + 2);
  }
  return name;
}

std::vector<std::string> ClassChain(const std::type_info& type) {
  std::vector<std::string> chain;
  AddChain(type, chain, 0);
  return chain;
}

ExceptionDescription DescribeException(const std::exception_ptr& error) {
  ExceptionDescription d;
  if (!error) return d;
  d.present = true;
  // libstdc++ keeps the thrown object's address as the pointer's only member.
  static_assert(sizeof(std::exception_ptr) == sizeof(void*));
  std::memcpy(&d.identity, &error, sizeof d.identity);
  const std::type_info* type = nullptr;
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    d.isStdException = true;
    d.message = e.what();
    type = abi::__cxa_current_exception_type();
  } catch (...) {
    type = abi::__cxa_current_exception_type();
  }
  if (type) d.classChain = ClassChain(*type);
  return d;
}

}  // namespace corvan::crash
