#pragma once
// The mail job: everything a delivery transport (SMTP or HTTP upload)
// receives for one bug report.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace corvan::crash {

// One file to send, after the preparation (zip archives already made).
struct PreparedFile {
  std::string path;    // the file on disk
  std::string sendAs;  // its name in the mail or upload
  std::string field;   // its upload field name
  bool operator==(const PreparedFile&) const = default;
};

// The progress window's area texts, from the settings.
struct DeliveryTexts {
  std::string prepare = "Prepare attachments...";
  std::string mxLookup = "Searching for mail server...";
  std::string connect = "Connecting to server...";
  std::string auth = "Authentication...";
  std::string sendMail = "Sending mail...";
  std::string fields = "Setting fields...";
  std::string sendAttachments = "Sending attachments...";
  std::string finalize = "Finalizing...";
};

struct MailJob {
  std::string uploadUrl;  // set: HTTP upload; empty: mail
  std::string sender;
  std::string recipients;  // "," or ";" separated
  std::string server;      // empty: each recipient's mail exchanger
  std::uint16_t port = 25;
  std::string account;
  std::string password;
  std::vector<std::pair<std::string, std::string>> uploadFields;
  std::vector<PreparedFile> files;
  std::string body;
  std::string subject;
  DeliveryTexts texts;
};

}  // namespace corvan::crash
