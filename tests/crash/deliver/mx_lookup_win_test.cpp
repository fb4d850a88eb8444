// Direct delivery to each recipient's mail exchanger under Wine, inside the
// network namespace of mx_namespace.sh: dnsmasq is the machine's only name
// server and serves the MX records, aiosmtpd instances are the exchangers.
#include <winsock2.h>
// winsock2.h before windows.h
#include <gtest/gtest.h>

#include "crash/deliver/DeliveryIo.h"
#include "crash/deliver/MailJob.h"
#include "crash/deliver/MailPeerFiles.h"
#include "crash/deliver/MxLookup.h"

namespace corvan::crash {
namespace {

using test::Env;
using test::PeerSummary;
using test::StoredCount;

std::string ExchangerDir(int n) { return Env(("CORVAN_MX_DIR_" + std::to_string(n)).c_str()); }

class DirectMail : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(ExchangerDir(3).empty()) << "run through mx_namespace.sh";
    for (int n = 3; n <= 6; ++n) before[n] = StoredCount(ExchangerDir(n));
    job.sender = "zelExcept <desk@prio.test>";
    job.subject = "bug report";
    job.body = "direct";
  }
  int NewMessages(int n) const { return StoredCount(ExchangerDir(n)) - before[n]; }
  PeerSummary Last(int n) const {
    return PeerSummary(ExchangerDir(n) + "\\" + std::to_string(StoredCount(ExchangerDir(n))) +
                       ".txt");
  }
  std::vector<std::string> Exchangers(const std::string& address) {
    WSADATA data;
    WSAStartup(MAKEWORD(1, 1), &data);
    WinDeliveryNetwork network;
    std::vector<std::string> found = MxLookup(network).Exchangers(address);
    WSACleanup();
    return found;
  }

  MailJob job;
  int before[7] = {};
};

TEST_F(DirectMail, TheNamespacesNameServerIsTheMachines) {
  WSADATA data;
  WSAStartup(MAKEWORD(1, 1), &data);
  EXPECT_EQ(FindDnsServers(), std::vector<std::string>{"127.0.0.2"});
  WSACleanup();
}

TEST_F(DirectMail, ExchangersInOrderOfPreference) {
  const std::vector<std::string> prio = {"mx-a.prio.test", "mx-b.prio.test"};
  EXPECT_EQ(Exchangers("Desk <desk@prio.test>"), prio);
  EXPECT_EQ(Exchangers("desk@alias.test"), prio);  // through the CNAME
  EXPECT_EQ(Exchangers("desk@nomx.test"), std::vector<std::string>{"nomx.test"});
}

TEST_F(DirectMail, EachRecipientAtItsOwnDomainsExchanger) {
  job.recipients = "desk@prio.test; Other <desk@other.test>;";
  ASSERT_TRUE(RunTransport(job, nullptr));
  ASSERT_EQ(NewMessages(3), 1);
  ASSERT_EQ(NewMessages(6), 1);
  EXPECT_EQ(NewMessages(4), 0);
  EXPECT_EQ(Last(3).Value("rcpt_to"), "desk@prio.test");
  EXPECT_EQ(Last(3).Value("header To"), "<desk@prio.test>");
  EXPECT_EQ(Last(6).Value("rcpt_to"), "desk@other.test");
  EXPECT_EQ(Last(6).Value("header To"), "Other <desk@other.test>");
}

TEST_F(DirectMail, NextExchangerWhenThePreferredOneIsDown) {
  job.recipients = "desk@fallback.test";
  ASSERT_TRUE(RunTransport(job, nullptr));
  EXPECT_EQ(NewMessages(4), 1);
}

TEST_F(DirectMail, DomainWithoutMxIsItsOwnExchanger) {
  job.recipients = "desk@nomx.test";
  ASSERT_TRUE(RunTransport(job, nullptr));
  EXPECT_EQ(NewMessages(5), 1);
}

TEST_F(DirectMail, UnknownDomainFails) {
  job.recipients = "desk@nowhere.test";
  EXPECT_FALSE(RunTransport(job, nullptr));
}

}  // namespace
}  // namespace corvan::crash
