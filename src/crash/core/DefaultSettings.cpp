#include "crash/core/DefaultSettings.h"

#include <algorithm>
#include <cctype>

namespace corvan::crash {
namespace {

constexpr DefaultSetting B(const char* name, bool value) {
  return {name, SettingType::Boolean, value ? 1 : 0, ""};
}
constexpr DefaultSetting I(const char* name, std::int32_t value) {
  return {name, SettingType::Integer, value, ""};
}
constexpr DefaultSetting S(const char* name, const char* text) {
  return {name, SettingType::String, 0, text};
}

constexpr DefaultSetting kDefaults[] = {
    B("Enabled", false),
    B("NoSettings", true),
    B("CheckFileCrc", true),
    B("CheckFreeze", false),
    I("FreezeTimeout", 60),
    B("AutoSave", true),
    B("AutoSaveIfNotSent", true),
    B("AutoSend", false),
    B("AutoSendBox", false),
    B("AutoClip", true),
    B("PauseThreads", false),
    B("PlWaitBox", true),
    B("AutoContinue", false),
    I("AutoRestart", 0),
    I("AutoClose", 0),
    I("AutoDelay", 60),
    // exception dialog
    B("SendBtnVis", true),
    B("ShowBtnVis", true),
    B("ContinueBtnVis", true),
    B("RestartBtnVis", true),
    B("CloseBtnVis", true),
    B("SaveBtnVis", false),
    B("PrintBtnVis", false),
    I("FocusedBtn", 0),
    S("SendAssis", ""),
    S("SaveAssis", ""),
    S("PrintAssis", ""),
    B("AutoShowBugRep", false),
    B("UglyBtns", false),
    // delivery
    S("MailAddr", ""),
    B("SendInBackgr", true),
    B("MailAsSmtpServer", false),
    B("MailAsSmtpClient", false),
    B("UploadViaHttp", false),
    B("MailViaMapi", true),
    B("MailViaMailto", true),
    S("SmtpServer", ""),
    S("SmtpAccount", ""),
    S("SmtpPassword", ""),
    I("SmtpPort", 25),
    // auto: STARTTLS whenever offered (TLS from the start on port 465);
    // starttls: only with STARTTLS; implicit: TLS from the start; off: never
    S("SmtpTls", "auto"),
    B("SmtpClearAuth", false),
    S("HttpServer", ""),
    S("HttpAccount", ""),
    S("HttpPassword", ""),
    I("HttpPort", 80),
    // The upload goes over https only, unless these allow an http URL and
    // (also through a proxy) the account and password in clear text
    B("HttpClearText", false),
    B("HttpClearAuth", false),
    // form: every file in a field of its own name; crashserver: the
    // minidump as upload_file_minidump, as crash collection servers read it
    S("UploadFormat", "form"),
    B("AttachBugRep", true),
    B("AttachBugRepFile", true),
    B("DelBugRepFile", true),
    S("BugRepSendAs", "bugreport.txt"),
    S("BugRepZip", ""),
    S("ScrShotZip", ""),
    I("ScrShotDepth", 0),
    B("ScrShotAppOnly", true),
    S("ScrShotSendAs", "screenshot.png"),
    S("AddAttachs", ""),
    S("MailFrom", ""),
    S("AddFields", ""),
    // unsent reports: kept per user and offered again at the next start,
    // at most UnsentMaxReports of UnsentMaxMB megabytes together
    B("KeepUnsent", false),
    I("UnsentMaxReports", 10),
    I("UnsentMaxMB", 20),
    // bug report file
    S("BugRepFile", "bugreport.txt"),
    B("AppendBugReps", true),
    I("BugRepFileSize", 100000),
    B("NoDupExcepts", true),
    B("NoDupFreezes", true),
    I("DupExceptDef", 1),
    I("DupFreezeDef", 2),
    // report content
    B("ListThreads", true),
    B("CpuRegs", true),
    B("StackDump", true),
    B("ShowDisAsm", true),
    B("HideUglyItems", false),
    B("ShowRelAddrs", true),
    B("ShowRelLines", true),
    B("FormatDisAsm", false),
    I("LimitDisAsm", 5),
    S("Plugins", "modules|processes|hardware"),
    // minidump
    B("MiniDump", false),
    S("MiniDumpKind", "normal"),
    // exception filters
    S("F1Classes", ""),
    S("F2Classes", ""),
    B("F1NoBugRep", false),
    B("F1NoScrShot", false),
    B("F1NoHandlers", false),
    B("F1NoSuspend", false),
    B("F2NoBugRep", false),
    B("F2NoScrShot", false),
    B("F2NoHandlers", false),
    B("F2NoSuspend", false),
    B("GnNoBugRep", false),
    B("GnNoScrShot", false),
    B("GnNoHandlers", false),
    B("GnNoSuspend", false),
    I("F1ShowCfg", 0),
    I("F2ShowCfg", 0),
    I("GnShowCfg", 0),
    S("F1Assis", ""),
    S("F2Assis", ""),
    S("GnAssis", ""),
    // texts
    S("TitleBar", "%appname%"),
    S("ExceptMsg", "An error occurred in the application."),
    S("FrozenMsg", "The application seems to be frozen."),
    S("BitFaultMsg", "The file \"%modname%\" seems to be corrupt!"),
    S("SendBtnTxt", "send bug report"),
    S("SaveBtnTxt", "save bug report"),
    S("PrintBtnTxt", "print bug report"),
    S("ShowBtnTxt", "show bug report"),
    S("ContinueBtnTxt", "continue bug report"),
    S("RestartBtnTxt", "restart bug report"),
    S("CloseBtnTxt", "close bug report"),
    S("OkBtnTxt", "&OK"),
    S("DetailsBtnTxt", "&Details"),
    S("PlWaitTitle", "Information"),
    S("PlWaitText", "Please wait a moment..."),
    S("MailSubj", "bug report"),
    S("MailBody", "please find the bug report attached"),
    S("SendBoxTitle", "Sending bug report..."),
    S("PrepAttMsg", "Prepare attachments..."),
    S("MxLookMsg", "Searching for mail server..."),
    S("ConnMsg", "Connecting to server..."),
    S("AuthMsg", "Authentication..."),
    S("SendMailMsg", "Sending mail..."),
    S("FieldMsg", "Setting fields..."),
    S("SendAttMsg", "Sending attachments..."),
    S("SendFinalMsg", "Finalizing..."),
    S("SendFailMsg", "Sorry, sending the bug report didn't work."),
    I("VersionVar", 0),
};

}  // namespace

std::span<const DefaultSetting> DefaultSettingsTable() { return kDefaults; }

const DefaultSetting* FindDefaultSetting(std::string_view name) {
  const auto it = std::find_if(std::begin(kDefaults), std::end(kDefaults),
                               [&](const DefaultSetting& d) { return name == d.name; });
  return it == std::end(kDefaults) ? nullptr : it;
}

bool IsExtraSettingKey(std::string_view name) {
  if (name == "MinDebugInfo") return true;
  constexpr std::string_view prefix = "Assistant";
  if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) return false;
  const auto digits = name.substr(prefix.size());
  return digits[0] != '0' && std::all_of(digits.begin(), digits.end(), [](char c) {
           return std::isdigit(static_cast<unsigned char>(c));
         });
}

}  // namespace corvan::crash
