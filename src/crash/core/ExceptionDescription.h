#pragma once
// What the report needs to know about an exception object, taken by value
// while the object still exists: its class and ancestors, its message and
// its identity (to match it with the state captured when it was thrown).
#include <exception>
#include <string>
#include <typeinfo>
#include <vector>

namespace corvan::crash {

struct ExceptionDescription {
  bool present = false;
  // The class first, then its ancestors (depth first, in declaration
  // order); names without the namespaces of this program.
  std::vector<std::string> classChain;
  std::string message;  // what() of a std::exception, else empty
  bool isStdException = false;
  const void* identity = nullptr;  // the thrown object; never dereferenced

  const std::string& ClassName() const;  // "Unknown" without an object
  bool DescendsFrom(const std::string& className) const;
};

// The report's text for the object's message: the message of a
// std::exception, else the class name (Unknown without an object);
// then normalised.
std::string ReportMessage(const ExceptionDescription& description);

// The class chain of a type, walking the ABI's class type information.
std::vector<std::string> ClassChain(const std::type_info& type);
// Demangled, with the "corvan::...::" namespaces dropped.
std::string ClassName(const std::type_info& type);

// Describes the exception error holds (none for a null pointer).
ExceptionDescription DescribeException(const std::exception_ptr& error);

}  // namespace corvan::crash
