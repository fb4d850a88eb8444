#pragma once
// The built-in handlers of the contact and screenshot forms. The owner
// object they receive is an AssistantOwner (the report, or null).
#include <string>

#include "crash/ui/zelNVAssistant.h"

namespace corvan::crash {

class AssistantOwner {
 public:
  // "name <address>": the sender of the report's mail.
  virtual void SetMailFrom(const std::string& sender) = 0;

 protected:
  ~AssistantOwner() = default;
};

// Registry key (HKEY_CURRENT_USER) of the remembered contact data.
inline constexpr const char* kContactKey = "Software\\Quenor\\ContactForm";

void HandleContactForm(TNVForm& form, FormAction action, TNVItem* item, void* owner);

}  // namespace corvan::crash
