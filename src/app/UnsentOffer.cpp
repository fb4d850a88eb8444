#include "app/UnsentOffer.h"

namespace corvan::app {

std::string UnsentOfferQuestion(int count) {
  if (count == 1) {
    return "Een foutrapport van een eerdere sessie is nog niet verzonden.\r\n"
           "Wilt u het nu verzenden?";
  }
  return "Er zijn " + std::to_string(count) +
         " foutrapporten van eerdere sessies nog niet verzonden.\r\nWilt u ze nu verzenden?";
}

}  // namespace corvan::app
