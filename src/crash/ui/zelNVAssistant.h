#pragma once
// Assistants: short sequences of modal forms read from the form resources
// ("TZE" + upper-case form name), laid out and painted by the form itself,
// each run in its own message loop on the calling thread. Form events go
// to the form's handler and then to the assistant's.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "crash/ui/AssistantModel.h"
#include "crash/ui/FormStream.h"
#include "common/WinHandles.h"
#include "crash/util/UnknownRefCounted.h"
#include "crash/ui/zelNVBitmap.h"

namespace corvan::crash {

class TNVForm;
class TNVAssistant;

enum class FormAction : std::uint8_t { Created = 0, Shown = 1, Closing = 2, ItemEvent = 3 };
enum ModalResult : std::uint8_t { kNoResult = 0, kContinue = 1, kSkip = 2, kCancel = 3 };

class TNVItem;
// owner: the report (or settings) the assistant collects values for.
// stdcall: a handler removes its 16 bytes of arguments itself, the shape
// by which a form's OnAction accepts a function of the program.
using FormHandler = void(__stdcall*)(TNVForm& form, FormAction action, TNVItem* item, void* owner);

class TNVItem {
 public:
  TNVItem(TNVForm& form, ItemData data) : form_(form), data_(std::move(data)) {}
  TNVItem(const TNVItem&) = delete;
  TNVItem& operator=(const TNVItem&) = delete;

  TNVForm& Form() const { return form_; }
  const ItemData& Data() const { return data_; }
  ItemData& Data() { return data_; }
  const std::string& Name() const { return data_.name; }
  ItemKind Kind() const { return data_.kind; }
  HWND Window() const { return window_; }
  const RECT& Rect() const { return rect_; }
  std::size_t Index() const { return index_; }

  void SetEnabled(bool on);
  void SetCaption(const std::string& caption);
  // The edit's text; during a run the window's.
  std::string Text() const;
  // Updates the window when it differs and fires the item event.
  void SetText(const std::string& text);
  void SetValid(bool valid);
  void SetChecked(bool checked);
  const Ref<INVBitmap>& Bitmap() const { return bitmap_; }
  // Fits the picture into the image area (a Resize copy when larger).
  void SetBitmap(Ref<INVBitmap> bitmap);

 private:
  friend class TNVForm;
  TNVForm& form_;
  ItemData data_;
  HWND window_ = nullptr;
  RECT rect_{};
  std::size_t index_ = 0;
  TNVItem* previous_ = this;
  TNVItem* next_ = this;
  Ref<INVBitmap> bitmap_;
};

struct INVForm : IUnknown {
  static constexpr InterfaceId kIid = {
      0x9C62303F, 0x3C4A, 0x4E2F, {0x9C, 0x14, 0x74, 0xC5, 0x18, 0x87, 0x19, 0x95}};
};
struct INVAssistant : IUnknown {
  static constexpr InterfaceId kIid = {
      0x14A3AFE4, 0xB39F, 0x4745, {0x8F, 0x85, 0x08, 0xFF, 0xAB, 0xE8, 0x77, 0x1C}};
};

class TNVForm final : public TUnknownRefCounted<INVForm> {
 public:
  // The form of one resource (empty data: only the three main buttons).
  static Ref<TNVForm> Create(const std::uint8_t* data, std::size_t size, TNVAssistant* assistant,
                             std::string title, int step, int stepCount, void* owner);

  const std::string& Name() const { return data_.name; }
  const std::string& Title() const { return title_; }
  const std::string& Message() const { return data_.message; }
  int Step() const { return step_; }
  int StepCount() const { return stepCount_; }
  std::size_t ItemCount() const { return items_.size(); }
  TNVItem& Item(std::size_t index) const { return *items_[index]; }
  TNVItem& ContinueButton() const { return *items_[kContinueIndex]; }
  TNVItem& SkipButton() const { return *items_[kSkipIndex]; }
  TNVItem& CancelButton() const { return *items_[kCancelIndex]; }
  // The first item of that exact name and kind, or null.
  TNVItem* Find(std::string_view name, ItemKind kind) const;
  const std::string& ActiveControl() const { return data_.activeControl; }
  void SetActiveControl(std::string name) { data_.activeControl = std::move(name); }
  HWND Window() const { return window_; }
  std::uint8_t Result() const { return result_; }
  FormHandler Handler() const { return handler_; }
  void SetHandler(FormHandler handler) { handler_ = handler; }
  void* Owner() const { return owner_; }
  void SetOwner(void* owner) { owner_ = owner; }
  std::uintptr_t UserData() const { return userData_; }
  void SetUserData(std::uintptr_t value) { userData_ = value; }
  void SetSkip(bool skip) { skip_ = skip; }
  bool ContinueEnabled() const;
  // The Continue check: force-disables Continue while an item refuses.
  void CheckContinue();

  // Runs the form until a main button, Escape or closing ends it.
  std::uint8_t ShowModal(HWND parent);

  void Fire(FormAction action, TNVItem* item);

 private:
  friend class TNVItem;
  TNVForm() = default;
  ~TNVForm() override;
  void Load(const std::uint8_t* data, std::size_t size);
  TNVItem& AddItem(ItemData data);
  void Layout();
  void PlaceItem(TNVItem& item, int& y, HDC dc);
  HWND CreateChild(TNVItem& item, const char* cls, DWORD style);
  void PaintBackground(HDC dc);
  void PaintItems(HDC dc);
  void DrawButton(TNVItem& item, const DRAWITEMSTRUCT& draw);
  void DrawCheckBox(TNVItem& item, const DRAWITEMSTRUCT& draw);
  bool PreTranslate(MSG& msg);
  void FocusWalk(TNVItem* from, bool backwards);
  void Focus(TNVItem& item);
  TNVItem* ItemOfWindow(HWND window) const;
  void Press(TNVItem& item);
  void Close(std::uint8_t result);
  LRESULT Proc(UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  TNVAssistant* assistant_ = nullptr;  // not owned: the assistant owns its forms
  FormData data_;
  std::string title_;
  int step_ = 1, stepCount_ = 1;
  std::vector<std::unique_ptr<TNVItem>> items_;
  FormHandler handler_ = nullptr;
  HWND window_ = nullptr;
  int width_ = 0, height_ = 0;
  ScopedFont font_;
  HWND lastFocus_ = nullptr;
  TNVItem* capture_ = nullptr;
  std::uint8_t result_ = kNoResult;
  void* owner_ = nullptr;
  std::uintptr_t userData_ = 0;
  bool skip_ = false;
  bool running_ = false;
};

class TNVAssistant final : public TUnknownRefCounted<INVAssistant> {
 public:
  TNVAssistant(std::string title, void* owner) : title_(std::move(title)), owner_(owner) {}
  const std::string& Title() const { return title_; }
  std::size_t FormCount() const { return forms_.size(); }
  TNVForm& Form(std::size_t index) const { return *forms_[index].get(); }
  // Ignoring case; null when absent.
  TNVForm* FindForm(std::string_view name) const;
  std::uint8_t Result() const { return result_; }
  FormHandler Handler() const { return handler_; }
  void SetHandler(FormHandler handler) { handler_ = handler; }
  void* Owner() const { return owner_; }
  // 1 when every form was continued or skipped, 3 when one was cancelled.
  std::uint8_t ShowModal(HWND parent);
  void Add(Ref<TNVForm> form) { forms_.push_back(std::move(form)); }

 private:
  ~TNVAssistant() override = default;
  std::string title_;
  void* owner_;
  std::vector<Ref<TNVForm>> forms_;
  std::uint8_t result_ = kNoResult;
  FormHandler handler_ = nullptr;
};

// The forms named, in order, read from module (or its language resource
// module when that holds the first form).
Ref<TNVAssistant> CreateAssistantForms(HMODULE module, const std::string& title,
                                       const std::vector<std::string>& formNames, void* owner);

// The handlers a form may name in OnAction besides program functions
// ("Unit.Function", see FormHandlerLookup.h); the reporter's start-up
// installs the built-in ones.
void SetBuiltInFormHandlers(FormHandler contactForm, FormHandler screenshotForm);

}  // namespace corvan::crash
