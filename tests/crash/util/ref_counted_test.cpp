// The reporter's one reference-counting rule: a new object holds no
// reference, every Ref holds one, the last release deletes.
#include "crash/util/RefCounted.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace corvan::crash {
namespace {

class Probe : public RefCounted {
 public:
  explicit Probe(int& deaths) : deaths_(deaths) {}
  ~Probe() override { ++deaths_; }

 private:
  int& deaths_;
};

class Derived : public Probe {
 public:
  using Probe::Probe;
};

TEST(RefCounted, LastReferenceDeletesWhicheverHolderItIs) {
  int deaths = 0;
  Ref<Probe> first = MakeRef<Probe>(deaths);
  {
    Ref<Probe> copy = first;
    Ref<Probe> moved = std::move(copy);
    EXPECT_FALSE(copy);
    first = nullptr;
    EXPECT_EQ(deaths, 0);  // moved still holds it
  }
  EXPECT_EQ(deaths, 1);
}

TEST(RefCounted, RawPointerIsTakenWithAReferenceOfItsOwn) {
  int deaths = 0;
  auto* raw = new Probe(deaths);
  raw->AddRef();  // a holder outside any Ref, as a foreign module would be
  { Ref<Probe> held(raw); }
  EXPECT_EQ(deaths, 0);
  raw->Release();
  EXPECT_EQ(deaths, 1);
}

TEST(RefCounted, AssignmentReleasesTheOldObjectAndSurvivesSelfAssignment) {
  int oldDeaths = 0, newDeaths = 0;
  Ref<Probe> ref = MakeRef<Probe>(oldDeaths);
  Ref<Probe>& alias = ref;
  ref = alias;
  EXPECT_EQ(oldDeaths, 0);
  ref = MakeRef<Derived>(newDeaths);  // upcast
  EXPECT_EQ(oldDeaths, 1);
  EXPECT_EQ(newDeaths, 0);
  ref = Ref<Probe>();
  EXPECT_EQ(newDeaths, 1);
}

TEST(RefCounted, ThreadsSharingOneObjectFreeItExactlyOnce) {
  int deaths = 0;
  {
    Ref<Probe> shared = MakeRef<Probe>(deaths);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([shared] {
        for (int i = 0; i < 10000; ++i) Ref<Probe> local = shared;
      });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(deaths, 0);
  }
  EXPECT_EQ(deaths, 1);
}

TEST(RefCount, ReportsTheCountAfterEachChange) {
  RefCount count;
  EXPECT_EQ(count.Add(), 1);
  EXPECT_EQ(count.Add(), 2);
  EXPECT_EQ(count.Drop(), 1);
  EXPECT_EQ(count.Drop(), 0);
}

}  // namespace
}  // namespace corvan::crash
