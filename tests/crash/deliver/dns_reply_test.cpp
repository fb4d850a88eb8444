// DNS queries and the reply parser with crafted replies; the MX lookup over
// a scripted network (servers, base domain, resolution from the root).
#include <gtest/gtest.h>

#include "crash/deliver/DnsReply.h"
#include "crash/deliver/DnsReplyBuilder.h"
#include "crash/deliver/FakeDelivery.h"
#include "crash/deliver/MxLookup.h"

namespace corvan::crash {
namespace {

using test::DnsReplyBuilder;
using Bytes = std::vector<std::uint8_t>;
using Names = std::vector<std::string>;

const Bytes kQuery = BuildDnsQuery(0x1234, "corvan.test", kDnsTypeMx);

std::optional<DnsNames> Parse(const Bytes& reply, std::uint16_t type = kDnsTypeMx,
                              const std::string& name = "corvan.test") {
  return ParseDnsReply(reply.data(), reply.size(), 0x1234, name, type);
}

TEST(DnsQuery, Layout) {
  EXPECT_EQ(kQuery, (Bytes{0x12, 0x34, 0x01, 0x00, 0, 1,   0,   0,   0,   0, 0, 0,  6, 'c', 'o',
                           'r',  'v',  'a',  'n',  4, 't', 'e', 's', 't', 0, 0, 15, 0, 1}));
  EXPECT_EQ(BuildDnsQuery(1, "corvan.test.", kDnsTypeNs), BuildDnsQuery(1, "corvan.test", 2));
  EXPECT_TRUE(BuildDnsQuery(1, "", 15).empty());
  EXPECT_TRUE(BuildDnsQuery(1, "a..b", 15).empty());
  EXPECT_TRUE(BuildDnsQuery(1, std::string(64, 'a') + ".test", 15).empty());
  EXPECT_FALSE(BuildDnsQuery(1, std::string(63, 'a') + ".test", 15).empty());
}

TEST(DnsReply, ExchangersByPreferenceWithCompressedNames) {
  DnsReplyBuilder reply(kQuery);
  const std::size_t first = reply.AnswersAt();
  // "mx2" + pointer to the question name; then "mx1" + pointer to the
  // "corvan.test" of the first exchange (a pointer to a pointer).
  Bytes mx2 = {3, 'm', 'x', '2'};
  const Bytes toQuestion = DnsReplyBuilder::Pointer(DnsReplyBuilder::kQuestionName);
  mx2.insert(mx2.end(), toQuestion.begin(), toQuestion.end());
  reply.Mx(toQuestion, 20, mx2);
  Bytes mx1 = {3, 'm', 'x', '1'};
  const Bytes toFirstSuffix =
      DnsReplyBuilder::Pointer(static_cast<std::uint16_t>(first + 12 + 2 + 4));
  mx1.insert(mx1.end(), toFirstSuffix.begin(), toFirstSuffix.end());
  reply.Mx(toQuestion, 10, mx1);
  reply.Mx(toQuestion, 20, DnsReplyBuilder::Name("mx3.corvan.test"));
  const auto names = Parse(reply.Build());
  ASSERT_TRUE(names);
  EXPECT_EQ(names->answers, (Names{"mx1.corvan.test", "mx2.corvan.test", "mx3.corvan.test"}));
}

TEST(DnsReply, OnlyRecordsOfTheAskedNameOrItsCanonicalName) {
  DnsReplyBuilder reply(kQuery);
  const Bytes asked = DnsReplyBuilder::Pointer(DnsReplyBuilder::kQuestionName);
  reply.Mx(DnsReplyBuilder::Name("evil.test"), 0, DnsReplyBuilder::Name("mx.evil.test"));
  reply.Record(asked, kDnsTypeCname, DnsReplyBuilder::Name("real.test"));
  reply.Mx(DnsReplyBuilder::Name("REAL.test"), 5, DnsReplyBuilder::Name("mx.real.test"));
  reply.Record(asked, 1, {127, 0, 0, 1});  // an A record is no exchanger
  const auto names = Parse(reply.Build());
  ASSERT_TRUE(names);
  EXPECT_EQ(names->answers, Names{"mx.real.test"});
}

TEST(DnsReply, RepliesNotForThisQueryAreRejected) {
  const Bytes good =
      DnsReplyBuilder(kQuery).Mx({0xC0, 12}, 1, DnsReplyBuilder::Name("a.b")).Build();
  ASSERT_TRUE(Parse(good));
  Bytes otherId = good;
  otherId[1] ^= 1;
  EXPECT_FALSE(Parse(otherId));
  Bytes notAnswer = good;
  notAnswer[2] &= 0x7F;  // QR clear: a query
  EXPECT_FALSE(Parse(notAnswer));
  EXPECT_FALSE(Parse(good, kDnsTypeMx, "other.test"));
  EXPECT_FALSE(Parse(good, kDnsTypeNs));
  // An error code answers without names.
  const auto refused = Parse(DnsReplyBuilder(kQuery).Rcode(3).Build());
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->rcode, 3);
  EXPECT_TRUE(refused->answers.empty());
}

TEST(DnsReply, EveryTruncationOfAGoodReplyIsRejected) {
  const Bytes good = DnsReplyBuilder(kQuery)
                         .Mx({0xC0, 12}, 1, DnsReplyBuilder::Name("mx.corvan.test"))
                         .Mx({0xC0, 12}, 2, {2, 'm', 'x', 0xC0, 12})
                         .Build();
  ASSERT_TRUE(Parse(good));
  for (std::size_t size = 0; size < good.size(); ++size) {
    EXPECT_FALSE(ParseDnsReply(good.data(), size, 0x1234, "corvan.test", kDnsTypeMx)) << size;
  }
}

TEST(DnsReply, HostilePointersAndLabels) {
  const Bytes asked = {0xC0, 12};
  // A pointer to itself, a loop of two, a pointer beyond the end.
  DnsReplyBuilder self(kQuery);
  const std::uint16_t at = static_cast<std::uint16_t>(self.AnswersAt() + 2 + 10 + 2);
  EXPECT_FALSE(Parse(self.Mx(asked, 1, DnsReplyBuilder::Pointer(at)).Build()));
  DnsReplyBuilder loop(kQuery);
  const std::uint16_t loopAt = static_cast<std::uint16_t>(loop.AnswersAt() + 2 + 10 + 2);
  Bytes two = {1, 'a'};
  const Bytes back = DnsReplyBuilder::Pointer(static_cast<std::uint16_t>(loopAt + 4));
  two.insert(two.end(), back.begin(), back.end());
  const Bytes forward = DnsReplyBuilder::Pointer(loopAt);
  two.insert(two.end(), forward.begin(), forward.end());
  EXPECT_FALSE(Parse(loop.Mx(asked, 1, two).Build()));
  EXPECT_FALSE(Parse(DnsReplyBuilder(kQuery).Mx(asked, 1, {0xC0, 0xFF}).Build()));
  // Sixteen jumps are followed, the seventeenth is not.
  for (const int jumps : {16, 17}) {
    DnsReplyBuilder chain(kQuery);
    const std::size_t start = chain.AnswersAt() + 2 + 10 + 2;
    Bytes data;
    for (int i = 1; i < jumps; ++i) {
      const Bytes next = DnsReplyBuilder::Pointer(static_cast<std::uint16_t>(start + 2 * i));
      data.insert(data.end(), next.begin(), next.end());
    }
    const Bytes last = DnsReplyBuilder::Pointer(DnsReplyBuilder::kQuestionName);
    data.insert(data.end(), last.begin(), last.end());
    EXPECT_EQ(Parse(chain.Mx(asked, 1, data).Build()).has_value(), jumps == 16) << jumps;
  }
  // Labels with dots or control bytes, the reserved label types, names over
  // 255 bytes, exchange names running past their record.
  EXPECT_FALSE(Parse(DnsReplyBuilder(kQuery).Mx(asked, 1, {3, 'a', '.', 'b', 0}).Build()));
  EXPECT_FALSE(Parse(DnsReplyBuilder(kQuery).Mx(asked, 1, {2, 'a', '\n', 0}).Build()));
  EXPECT_FALSE(Parse(DnsReplyBuilder(kQuery).Mx(asked, 1, {0x41, 'a', 0}).Build()));
  Bytes longName;
  for (int i = 0; i < 5; ++i) {
    longName.push_back(63);
    longName.insert(longName.end(), 63, 'a');
  }
  longName.push_back(0);
  EXPECT_FALSE(Parse(DnsReplyBuilder(kQuery).Mx(asked, 1, longName).Build()));
  EXPECT_FALSE(Parse(DnsReplyBuilder(kQuery).Mx(asked, 1, {1}).Build()));
  // Counts that the reply cannot hold.
  Bytes counted = DnsReplyBuilder(kQuery).Build();
  counted[6] = 0xFF;
  EXPECT_FALSE(Parse(counted));
}

TEST(DnsReply, NameServersOfAReferral) {
  const Bytes query = BuildDnsQuery(0x1234, "corvan.test", kDnsTypeNs);
  const Bytes reply =
      DnsReplyBuilder(query)
          .Record(DnsReplyBuilder::Name("test"), kDnsTypeNs, DnsReplyBuilder::Name("ns1.nic.test"),
                  true)
          .Record(DnsReplyBuilder::Name("other"), kDnsTypeNs, DnsReplyBuilder::Name("ns.other"),
                  true)
          .Record({0}, kDnsTypeNs, DnsReplyBuilder::Name("root.ns"), true)
          .Record(DnsReplyBuilder::Name("xtest"), kDnsTypeNs, DnsReplyBuilder::Name("ns.x"), true)
          .Build();
  const auto names = Parse(reply, kDnsTypeNs);
  ASSERT_TRUE(names);
  EXPECT_TRUE(names->answers.empty());
  EXPECT_EQ(names->authority, (Names{"ns1.nic.test", "root.ns"}));
}

// The MX lookup over a scripted network: each server answers from a table
// of (server, name, type) -> reply records.
class Lookup : public ::testing::Test {
 protected:
  struct Answer {
    std::string server, name;
    std::uint16_t type;
    Names answers, authority;
  };
  void SetUp() override {
    network.dns = [this](const std::string& server, const Bytes& query) {
      std::vector<Bytes> replies;
      for (const Answer& a : table) {
        if (a.server != server) continue;
        const Bytes expected =
            BuildDnsQuery(static_cast<std::uint16_t>(query[0] << 8 | query[1]), a.name, a.type);
        if (expected != query) continue;
        DnsReplyBuilder reply(query);
        std::uint16_t preference = 10;
        for (const std::string& n : a.answers) {
          if (a.type == kDnsTypeMx) {
            reply.Mx({0xC0, 12}, preference++, DnsReplyBuilder::Name(n));
          } else {
            reply.Record({0xC0, 12}, kDnsTypeNs, DnsReplyBuilder::Name(n));
          }
        }
        for (const std::string& n : a.authority) {
          reply.Record({0xC0, 12}, kDnsTypeNs, DnsReplyBuilder::Name(n), true);
        }
        replies.push_back(reply.Build());
      }
      if (replies.empty()) replies.push_back(DnsReplyBuilder(query).Rcode(3).Build());
      return replies;
    };
  }
  Names Exchangers(const std::string& address) {
    return MxLookup(network, {"root1", "root2"}).Exchangers(address);
  }

  test::FakeNetwork network;
  std::vector<Answer> table;
};

TEST_F(Lookup, ConfiguredServersThenTheBaseDomain) {
  network.dnsServers = {"10.0.0.1", "10.0.0.2"};
  table = {{"10.0.0.2", "mail.corvan.test", kDnsTypeMx, {"mx.corvan.test"}, {}},
           {"10.0.0.1", "y.corvan.test", kDnsTypeMx, {"base.corvan.test"}, {}}};
  EXPECT_EQ(Exchangers("Desk <desk@mail.corvan.test>"), Names{"mx.corvan.test"});
  EXPECT_EQ(Exchangers("desk@x.y.corvan.test"), Names{"base.corvan.test"});
  EXPECT_EQ(network.dnsAsked,
            (Names{"10.0.0.1", "10.0.0.2", "10.0.0.1", "10.0.0.2", "10.0.0.1", "10.0.0.2"}));
  // Nothing anywhere: the domain is its own exchanger.
  EXPECT_EQ(Exchangers("desk@nowhere.test"), Names{"nowhere.test"});
  EXPECT_EQ(Exchangers("no domain"), Names{});
}

TEST_F(Lookup, FromTheRootWithoutServers) {
  table = {{"root2", "corvan.test", kDnsTypeNs, {}, {"ns.test"}},
           {"ns.test", "corvan.test", kDnsTypeNs, {}, {"ns.corvan.test"}},
           {"ns.corvan.test", "corvan.test", kDnsTypeNs, {"ns1.corvan.test"}, {}},
           {"ns1.corvan.test", "corvan.test", kDnsTypeMx, {"mx.corvan.test"}, {}}};
  EXPECT_EQ(Exchangers("desk@corvan.test"), Names{"mx.corvan.test"});
}

TEST_F(Lookup, RootResolutionStopsOnALoopOfReferrals) {
  table = {{"root1", "corvan.test", kDnsTypeNs, {}, {"ns.test"}},
           {"ns.test", "corvan.test", kDnsTypeNs, {}, {"ns.test"}}};
  EXPECT_EQ(Exchangers("desk@corvan.test"), Names{"corvan.test"});
  EXPECT_LE(network.dnsAsked.size(), 8u);
}

// Answers with the query's own identifier and question, but from another
// address or port, come first: only the server's own reply counts. And no
// query id follows from the one before.
TEST_F(Lookup, SecurityOnlyTheQueriedServerAnswersWithFreshIds) {
  network.dnsServers = {"10.0.0.1"};
  table = {{"10.0.0.1", "corvan.test", kDnsTypeMx, {"mx.corvan.test"}, {}}};
  std::vector<std::uint16_t> ids;
  network.dnsSpoof = [&ids](const std::string&, const Bytes& query) {
    ids.push_back(static_cast<std::uint16_t>(query[0] << 8 | query[1]));
    const Bytes forged =
        DnsReplyBuilder(query).Mx({0xC0, 12}, 1, DnsReplyBuilder::Name("evil.example")).Build();
    return std::vector<std::pair<std::string, Bytes>>{
        {"10.6.6.6:53", forged}, {"10.0.0.1:5353", forged}, {"", forged}};
  };
  MxLookup lookup(network);
  for (int i = 0; i < 8; ++i)
    EXPECT_EQ(lookup.Exchangers("desk@corvan.test"), Names{"mx.corvan.test"});
  ASSERT_EQ(ids.size(), 8u);
  int sequential = 0;
  for (std::size_t i = 1; i < ids.size(); ++i) sequential += ids[i] == ids[i - 1] + 1;
  EXPECT_LT(sequential, 3) << "query ids run on from one start";
}

TEST(BaseDomain, LastThreeLabels) {
  EXPECT_EQ(BaseDomain("a.b.c.d.e"), "c.d.e");
  EXPECT_EQ(BaseDomain("c.d.e"), "c.d.e");
  EXPECT_EQ(BaseDomain("test"), "test");
}

}  // namespace
}  // namespace corvan::crash
