#include "crash/reporter/ReportAssistant.h"

#include "crash/core/ExceptionReport.h"
#include "crash/core/ReporterFolder.h"
#include "crash/ui/AssistantHandlers.h"
#include "crash/ui/zelNVAssistant.h"

namespace corvan::crash {
namespace {

// What the built-in handlers may change of the report.
class ReportOwner final : public AssistantOwner {
 public:
  explicit ReportOwner(ExceptionReport& report) : report_(report) {}
  void SetMailFrom(const std::string& sender) override { report_.SetStr("MailFrom", sender); }
  Ref<INVBitmap> Screenshot() override { return report_.Screenshot(); }
  void SetScreenshot(Ref<INVBitmap> bitmap) override { report_.SetScreenshot(std::move(bitmap)); }
  bool SendScreenshot() const override { return report_.SendScreenshot(); }
  void SetSendScreenshot(bool send) override { report_.SetSendScreenshot(send); }
  std::string TemporaryFolder() const override { return PreparedReporterTempFolder(); }

 private:
  ExceptionReport& report_;
};

// The assistant's edits and check boxes as the form cache sees them.
class CacheView final : public FormCacheView {
 public:
  explicit CacheView(TNVAssistant& assistant) : assistant_(assistant) {}
  int FormCount() const override { return static_cast<int>(assistant_.FormCount()); }
  bool FormCompleted(int form) const override { return Form(form).Result() == kContinue; }
  std::vector<Item> Items(int form) const override {
    std::vector<Item> items;
    const TNVForm& f = Form(form);
    for (std::size_t i = kFirstPlacedItem; i < f.ItemCount(); ++i) {
      const ItemData& d = f.Item(i).Data();
      if (d.kind == ItemKind::Edit) items.push_back({d.name, false, d.text, false});
      if (d.kind == ItemKind::CheckBox) items.push_back({d.name, true, {}, d.checked});
    }
    return items;
  }
  void SetItem(int form, const Item& item) override {
    TNVForm& f = Form(form);
    if (TNVItem* box = item.isCheckBox ? f.Find(item.name, ItemKind::CheckBox) : nullptr)
      box->SetChecked(item.checked);
    if (TNVItem* edit = item.isCheckBox ? nullptr : f.Find(item.name, ItemKind::Edit))
      edit->SetText(item.text);
  }
  bool ContinueEnabled(int form) const override {
    Form(form).CheckContinue();
    return Form(form).ContinueEnabled();
  }
  void FocusContinue(int form) override { Form(form).SetActiveControl("ContinueBtn"); }

 private:
  TNVForm& Form(int index) const { return assistant_.Form(static_cast<std::size_t>(index)); }
  TNVAssistant& assistant_;
};

void PutValuesIntoReport(TNVAssistant& assistant, ExceptionReport& report) {
  Ref<ReportFields> header = report.Header();
  for (std::size_t f = 0; f < assistant.FormCount(); ++f) {
    const TNVForm& form = assistant.Form(f);
    if (form.Result() != kContinue) continue;
    for (std::size_t i = kFirstPlacedItem; i < form.ItemCount(); ++i) {
      const ItemData& d = form.Item(i).Data();
      if (d.outputName.empty()) continue;
      if (d.kind == ItemKind::CheckBox) {
        header->SetValue(d.outputName, d.checked ? "yes" : "no");
      } else if (d.kind == ItemKind::Edit && !d.text.empty()) {
        if (d.outputType == OutputType::OwnSection && d.MultiLine()) {
          report.Sections()->SetValue(d.outputName, d.text);
        } else {
          header->SetValue(d.outputName, d.text);
        }
      }
    }
  }
}

}  // namespace

void InstallBuiltInFormHandlers() {
  SetBuiltInFormHandlers(HandleContactForm, HandleScreenshotForm);
}

AssistantOutcome RunReportAssistant(ExceptionReport& report, const std::string& name, HWND parent) {
  if (name.empty()) return AssistantOutcome::NoAssistant;
  const std::optional<AssistantDefinition> def = report.FindAssistant(name);
  if (!def) return AssistantOutcome::NoAssistant;
  InstallBuiltInFormHandlers();
  ReportOwner owner(report);
  const Ref<TNVAssistant> assistant =
      CreateAssistantForms(static_cast<HMODULE>(report.Module()), def->title, def->forms, &owner);
  CacheView cache(*assistant.get());
  report.RestoreFormValues(cache);
  const bool topmost = parent && (GetWindowLongA(parent, GWL_EXSTYLE) & WS_EX_TOPMOST);
  if (topmost)
    SetWindowPos(parent, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  const std::uint8_t result = assistant->ShowModal(parent);
  if (topmost)
    SetWindowPos(parent, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  if (result == kContinue) PutValuesIntoReport(*assistant.get(), report);
  report.StoreFormValues(cache);
  return result == kContinue ? AssistantOutcome::Completed : AssistantOutcome::Cancelled;
}

}  // namespace corvan::crash
