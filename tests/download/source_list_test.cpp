#include "download/source_list.h"

#include <gtest/gtest.h>

namespace {

void AddThree(SourceList& list) {
  for (const char* host : {"a.example", "b.example", "c.example"}) {
    SourceAddress address;
    address.server.host = host;
    address.urlPrefix = std::string("http://") + host + "/files/";
    address.fileName = "setup.exe";
    list.Add(address, "\"tag-" + std::string(host) + "\"");
  }
}

TEST(SourceListTest, SplitsTheListAtSemicolons) {
  struct Case {
    const char* list;
    std::vector<std::string> urls;
  };
  const Case cases[] = {
      {"http://a/x.exe", {"http://a/x.exe"}},
      {"http://a/x.exe;http://b/x.exe", {"http://a/x.exe", "http://b/x.exe"}},
      {" http://a/x.exe ; http://b/x.exe;", {"http://a/x.exe", "http://b/x.exe"}},
      {";;", {}},
      {"", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitSourceList(c.list), c.urls) << c.list;
}

TEST(SourceListTest, AFailedSourceRestsAndIsSkipped) {
  SourceList list;
  AddThree(list);
  EXPECT_EQ(list.Choose(0, 0), 0);
  EXPECT_FALSE(list.Fail(0, 0));
  // Resting: the next usable source in list order.
  EXPECT_EQ(list.Choose(0, 10), 1);
  EXPECT_EQ(list.Choose(0, kSourceRestFirstMs), 0);
  // Each failure doubles the rest.
  EXPECT_FALSE(list.Fail(0, 0));
  EXPECT_EQ(list.Choose(0, 2 * kSourceRestFirstMs - 1), 1);
  EXPECT_EQ(list.Choose(0, 2 * kSourceRestFirstMs), 0);
  EXPECT_EQ(list.At(1).validator, "\"tag-b.example\"");
}

TEST(SourceListTest, RepeatedFailuresDropASourceButNeverTheOnlyOne) {
  SourceList list;
  AddThree(list);
  list.Fail(2, 0);
  list.Fail(2, 0);
  list.Succeeded(2);
  EXPECT_FALSE(list.Fail(2, 0)) << "failures before a whole range count no more";
  for (int i = 1; i < kMaxSourceFailures; ++i) EXPECT_FALSE(list.Fail(1, 0));
  EXPECT_TRUE(list.Fail(1, 0));
  EXPECT_TRUE(list.At(1).dropped);
  EXPECT_EQ(list.Choose(1, 1000000), 2);
  // Every other source failing: the connection stays on its own, as with one source.
  list.Fail(0, 0);
  list.Fail(2, 0);
  EXPECT_EQ(list.Choose(0, 10), 0);
  SourceList one;
  one.Add(SourceAddress(), std::string());
  for (int i = 0; i < kMaxSourceFailures; ++i) one.Fail(0, 0);
  EXPECT_EQ(one.Choose(0, 0), 0);
}

// A source whose size is not known yet gets no connection; once it agrees it is spread over
// like the others, and when it agreed during the download the next connection goes to it.
TEST(SourceListTest, APendingSourceIsUsedOnceItAgrees) {
  SourceList list;
  AddThree(list);
  SourceAddress late;
  late.server.host = "d.example";
  list.AddPending(late);
  EXPECT_FALSE(list.Fail(3, 0));
  EXPECT_EQ(list.Choose(3, kSourceRestFirstMs), 0) << "pending: skipped even when rested";
  std::vector<int> spread;
  for (int n = 0; n < 4; ++n) spread.push_back(list.Spread(n, 0));
  EXPECT_EQ(spread, (std::vector<int>{0, 1, 2, 0}));
  EXPECT_EQ(list.TakeNewcomer(0), -1);
  SourceAddress redirected = late;
  redirected.fileName = "setup2.exe";
  list.Agree(3, redirected, "\"tag-d\"", "http", true);
  EXPECT_EQ(list.At(3).failures, 0);
  EXPECT_EQ(list.At(3).address.fileName, "setup2.exe");
  EXPECT_EQ(list.TakeNewcomer(0), 3);
  EXPECT_EQ(list.TakeNewcomer(0), -1) << "one connection for the newcomer";
  list.Drop(1);
  EXPECT_EQ(list.Choose(1, 0), 2);
  EXPECT_EQ(list.Spread(2, 0), 3);
}

}  // namespace
