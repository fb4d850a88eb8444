#pragma once
// Recipient lists of the bug report mail: addresses separated by "," or
// ";", each a bare address or a display name followed by "<address>".
#include <string>
#include <string_view>
#include <vector>

namespace corvan::crash {

// The items of a recipient list, each trimmed of blanks and control
// characters; empty items ("a@x;", ";;") are dropped.
std::vector<std::string> SplitRecipients(std::string_view list);

// Rewrites list as its items joined by ","; returns their number.
int NormaliseRecipients(std::string& list);

// "<" + address + ">" for an address without "<". One with "<" is returned
// whole when keepName is set, otherwise from its "<" on (no display name).
std::string FormatAngleAddress(std::string_view address, bool keepName);

// The display name and the MAPI address ("SMTP:" + address) of one item.
struct MapiRecipient {
  std::string name;
  std::string address;
};
MapiRecipient SplitRecipient(std::string_view item);

// The sender when none is configured: "zelExcept <first recipient>", or
// empty without recipients.
std::string DefaultSender(std::string_view mailFrom, std::string_view recipients);

// The domain of an address: after its first "@", without a final ">".
std::string MailDomain(std::string_view address);

}  // namespace corvan::crash
