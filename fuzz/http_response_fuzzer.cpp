// Arbitrary bytes as a server's answer, cut into pieces chosen by the
// input: the client must end every request, never read or write out of
// bounds, and never hang.
#include <cstdint>
#include <string>

#include "FakeHttpPeer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  using namespace corvan::http;
  testing::FakeHttpPeer peer;
  TMemoryStream stream;
  peer.client.URL = "http://h/file.exe";
  peer.client.ReceiveStream = &stream;
  if (data[0] & 1) peer.client.SetRequestVer("1.1");
  const std::size_t piece = data[1] % 64;
  peer.answers.push_back(
      {std::string(reinterpret_cast<const char*>(data + 2), size - 2), piece, (data[0] & 2) == 0});
  // Relocations may ask for more answers: give them the same bytes.
  for (int i = 0; i < 8; ++i) peer.answers.push_back(peer.answers.front());
  try {
    peer.client.StartRequest(rqGet);
  } catch (const EHttpException&) {
    return 0;
  }
  for (int steps = 0; steps < 100000 && peer.client.State() != httpReady; ++steps) {
    peer.WaitAndProcessMessages();
  }
  peer.RunAll();
  return 0;
}
