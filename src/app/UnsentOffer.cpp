#include "app/UnsentOffer.h"

namespace corvan::app {

std::string UnsentOfferQuestion(int count) {
  // What leaves the machine, said before the user decides.
  static constexpr char kContents[] =
      "\r\nEen rapport bevat gegevens van deze computer (ook de gebruikers- en computernaam), "
      "de lijst van draaiende programma's, een schermafdruk en een geheugenafdruk van het "
      "programma. Met \"Bekijken\" ziet u de tekst.";
  if (count == 1) {
    return std::string(
               "Een foutrapport van een eerdere sessie is nog niet verzonden.\r\n"
               "Wilt u het nu verzenden?") +
           kContents;
  }
  return "Er zijn " + std::to_string(count) +
         " foutrapporten van eerdere sessies nog niet verzonden.\r\nWilt u ze nu verzenden?" +
         kContents;
}

}  // namespace corvan::app
