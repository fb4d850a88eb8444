#include "crash/deliver/MailAddress.h"

namespace corvan::crash {
namespace {

bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= ' '; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlankOrControl(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlankOrControl(s.back())) s.remove_suffix(1);
  return s;
}

}  // namespace

std::vector<std::string> SplitRecipients(std::string_view list) {
  std::vector<std::string> items;
  while (!list.empty()) {
    const std::size_t end = list.find_first_of(",;");
    const std::string_view item = Trim(list.substr(0, end));
    if (!item.empty()) items.emplace_back(item);
    if (end == std::string_view::npos) break;
    list.remove_prefix(end + 1);
  }
  return items;
}

int NormaliseRecipients(std::string& list) {
  const std::vector<std::string> items = SplitRecipients(list);
  list.clear();
  for (const std::string& item : items) {
    if (!list.empty()) list += ',';
    list += item;
  }
  return static_cast<int>(items.size());
}

std::string FormatAngleAddress(std::string_view address, bool keepName) {
  const std::size_t open = address.find('<');
  if (open == std::string_view::npos) return "<" + std::string(address) + ">";
  return std::string(keepName ? address : address.substr(open));
}

MapiRecipient SplitRecipient(std::string_view item) {
  const std::size_t open = item.find('<');
  if (open == std::string_view::npos) return {std::string(item), "SMTP:" + std::string(item)};
  const std::string_view rest = item.substr(open + 1);
  return {std::string(item.substr(0, open)), "SMTP:" + std::string(rest.substr(0, rest.find('>')))};
}

std::string DefaultSender(std::string_view mailFrom, std::string_view recipients) {
  if (!mailFrom.empty()) return std::string(mailFrom);
  const std::vector<std::string> items = SplitRecipients(recipients);
  if (items.empty()) return {};
  return "zelExcept " + FormatAngleAddress(items.front(), false);
}

std::string MailDomain(std::string_view address) {
  const std::size_t at = address.find('@');
  if (at == std::string_view::npos) return {};
  std::string_view domain = address.substr(at + 1);
  if (!domain.empty() && domain.back() == '>') domain.remove_suffix(1);
  return std::string(domain);
}

}  // namespace corvan::crash
