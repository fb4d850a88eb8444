// Sends one bug report mail with an attachment to an SMTP server on
// loopback through our client (Windows Sockets, under Wine) and prints the
// fastest of several runs:
//   bench_smtp_send PORT FILE RUNS [starttls]
// With starttls: to localhost over STARTTLS, logged in as user/secret.
// Output: "ours bytes=<file size> seconds=<best run>"
#include <winsock2.h>
// winsock2.h before windows.h

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "crash/deliver/DeliveryIo.h"
#include "crash/deliver/MailJob.h"

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) return 2;
  using namespace corvan::crash;
  MailJob job;
  job.server = "127.0.0.1";
  job.port = static_cast<std::uint16_t>(std::atoi(argv[1]));
  job.sender = "zelExcept <desk@corvan.test>";
  job.recipients = "desk@corvan.test";
  job.subject = "bug report";
  job.body = "please find the bug report attached";
  job.files = {{argv[2], "bugreport.bin", "BugReport"}};
  if (argc == 5 && std::string(argv[4]) == "starttls") {
    job.server = "localhost";
    job.tls = MailTls::kStartTls;
    job.account = "user";
    job.password = "secret";
  }
  std::uint64_t size = 0;
  StdioDeliveryFiles().Size(argv[2], size);
  double best = 1e9;
  for (int run = 0; run < std::atoi(argv[3]); ++run) {
    const auto start = std::chrono::steady_clock::now();
    if (!RunTransport(job, nullptr)) {
      std::fprintf(stderr, "send failed\n");
      return 1;
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (took.count() < best) best = took.count();
  }
  std::printf("ours bytes=%llu seconds=%.4f\n", static_cast<unsigned long long>(size), best);
  return 0;
}
