#include "net/http/HttpTypes.h"

namespace corvan::http {

const char* HttpStateName(int state) {
  static const char* const kNames[] = {
      "httpReady",       "httpNotConnected",  "httpConnected",
      "httpDnsLookup",   "httpDnsLookupDone", "httpWaitingHeader",
      "httpWaitingBody", "httpBodyReceived",  "httpWaitingProxyConnect",
      "httpClosing",     "httpAborting"};
  if (state < 0 || state >= static_cast<int>(sizeof kNames / sizeof kNames[0])) {
    return "INVALID STATE";
  }
  return kNames[state];
}

}  // namespace corvan::http
