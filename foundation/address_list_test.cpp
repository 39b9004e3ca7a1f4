// Tests of the address-list split: commas that separate addresses and commas that belong
// to one, as mail clients write recipient headers.
#include "foundation/address_list.h"

#include <gtest/gtest.h>

namespace foundation {
namespace {

using Entries = std::vector<std::string>;

TEST(SplitAddressList, CommasInsideAnAddressKeepItWhole) {
  struct Case {
    const char* list;
    Entries entries;
  };
  const Case cases[] = {
      {"\"Lee, Alice\" <alice@example.com>, bob@example.com",
       {"\"Lee, Alice\" <alice@example.com>", "bob@example.com"}},
      {"\"Say \\\"hi, there\\\"\" <a@x>,b@y", {"\"Say \\\"hi, there\\\"\" <a@x>", "b@y"}},
      {"a@x (Lee, (the, elder) Alice), b@y", {"a@x (Lee, (the, elder) Alice)", "b@y"}},
      {"Alice <@relay.example,@hub.example:alice@example.com>, b@y",
       {"Alice <@relay.example,@hub.example:alice@example.com>", "b@y"}},
      {"<\"odd,local\"@x>, b@y", {"<\"odd,local\"@x>", "b@y"}},
      {"a@[IPv6:::1], b@y", {"a@[IPv6:::1]", "b@y"}},
      {"CN=Alice Lee/O=Acme, CN=Bob Ray/O=Acme", {"CN=Alice Lee/O=Acme", "CN=Bob Ray/O=Acme"}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitAddressList(c.list), c.entries) << c.list;
}

TEST(SplitAddressList, GroupsGiveTheirMembers) {
  EXPECT_EQ(SplitAddressList("Team: a@x, \"Lee, Al\" <al@x>; c@y"),
            (Entries{"a@x", "\"Lee, Al\" <al@x>", "c@y"}));
  EXPECT_TRUE(SplitAddressList("undisclosed-recipients:;").empty());
  // A semicolon outside a group is no separator.
  EXPECT_EQ(SplitAddressList("a@x;b@y"), (Entries{"a@x;b@y"}));
}

TEST(SplitAddressList, EmptyEntriesAndLineBreaksAreDropped) {
  EXPECT_EQ(SplitAddressList(" a@x ,\r\n\t b@y,, ,"), (Entries{"a@x", "b@y"}));
  EXPECT_TRUE(SplitAddressList("").empty());
  EXPECT_TRUE(SplitAddressList(" , ,").empty());
}

TEST(SplitAddressList, UnclosedQuoteOrBracketHidesNothing) {
  EXPECT_EQ(SplitAddressList("a@x, \"Lee, bob@y, carol@z"),
            (Entries{"a@x", "\"Lee", "bob@y", "carol@z"}));
  EXPECT_EQ(SplitAddressList("a@x (note, b@y"), (Entries{"a@x (note", "b@y"}));
  EXPECT_EQ(SplitAddressList("<a@x, b@y"), (Entries{"<a@x", "b@y"}));
  // A long run of openers costs one pass, not one per opener.
  const std::string hostile(200000, '(');
  EXPECT_EQ(SplitAddressList(hostile + ",a@x").size(), 2u);
}

}  // namespace
}  // namespace foundation
