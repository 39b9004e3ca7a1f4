// Tests of administrator IDs, the mail design-class rule and the event-file reader.
#include "vtsetup/console/admin_id.h"

#include <gtest/gtest.h>

#include "platform/ui/winuser.h"
#include "vtsetup/console/script.h"

namespace vtsetup {
namespace {

TEST(AdminId, CompletionTrimsAndAddsThePrimaryDomain) {
  EXPECT_EQ(CompleteAdminId("  alice\t\r\n", "example.com"), "alice@example.com");
  EXPECT_EQ(CompleteAdminId("bob@other.org ", "example.com"), "bob@other.org");
  EXPECT_EQ(CompleteAdminId(" \t ", "example.com"), "");
}

TEST(AdminId, ValidationAcceptsOneAtWithALocalPartOfPlainCharacters) {
  EXPECT_TRUE(IsValidAdminId("first.last-2_x@example.com"));
  EXPECT_TRUE(IsValidAdminId("admin@"));  // nothing is required after "@"
  EXPECT_FALSE(IsValidAdminId("@example.com"));
  EXPECT_FALSE(IsValidAdminId("al ice@example.com"));
  EXPECT_FALSE(IsValidAdminId("alice@ex@ample.com"));
  EXPECT_FALSE(IsValidAdminId("alice"));
  EXPECT_FALSE(IsValidAdminId("al+ice@example.com"));
  EXPECT_FALSE(IsValidAdminId(""));
  EXPECT_EQ(SenderName("alice@example.com"), "alice");
}

TEST(AdminId, MailDesignClassIsJudgedBeforeTheFirstSlash) {
  EXPECT_TRUE(IsMailDesignClass("StdR85Mail"));
  EXPECT_TRUE(IsMailDesignClass("Mail"));
  EXPECT_TRUE(IsMailDesignClass("iNotesMAIL/Other"));
  EXPECT_FALSE(IsMailDesignClass("Directory"));
  EXPECT_FALSE(IsMailDesignClass("Other/Mail"));
  EXPECT_FALSE(IsMailDesignClass("ail"));
  EXPECT_FALSE(IsMailDesignClass("MailBox"));
}

TEST(AdminId, DatabaseNamesGiveTheirDefaults) {
  EXPECT_TRUE(HasDatabaseExtension("mail/alice.NSF"));
  EXPECT_TRUE(HasDatabaseExtension("mail7.ntf"));
  EXPECT_FALSE(HasDatabaseExtension("mail/alice.box"));
  EXPECT_FALSE(HasDatabaseExtension("nsf"));
  EXPECT_EQ(DatabaseBaseName("/root/domino/data/mail/alice.nsf"), "alice");
  EXPECT_EQ(DatabaseBaseName("mail\\bob"), "bob");
  EXPECT_EQ(SplitList("a@x,,b@x"), (std::vector<std::string>{"a@x", "", "b@x"}));
  EXPECT_TRUE(SplitList("").empty());
}

TEST(Script, ReadsEveryEventKind) {
  std::string error;
  const auto events = ParseScript(
      "# wizard\n\ntype 1011 example.com\r\ntype 1016 \nclick 1\nselect 1005 a@x b\n"
      "answer OK\nclose\n",
      error);
  ASSERT_TRUE(events) << error;
  ASSERT_EQ(events->size(), 6u);
  EXPECT_EQ((*events)[0].kind, EventKind::kType);
  EXPECT_EQ((*events)[0].control, 1011);
  EXPECT_EQ((*events)[0].text, "example.com");
  EXPECT_EQ((*events)[0].line, 3);
  EXPECT_EQ((*events)[1].text, "");
  EXPECT_EQ((*events)[3].text, "a@x b");
  EXPECT_EQ((*events)[4].button, IDOK);
  EXPECT_EQ((*events)[5].kind, EventKind::kClose);
}

TEST(Script, StopsAtTheFirstBadLineWithItsNumber) {
  const std::pair<const char*, const char*> cases[] = {
      {"click 1\npress 1\n", "2: unknown event \"press\""},
      {"click 4711\n", "1: unknown control \"4711\""},
      {"type abc x\n", "1: unknown control \"abc\""},
      {"\n\nanswer maybe\n", "3: unknown message box button \"maybe\""},
      {"click 1 now\n", "1: click takes only a control"},
      {"select 1005\n", "1: select needs the entry's text"},
      {"close 1\n", "1: unexpected text after close"},
  };
  for (const auto& [script, expected] : cases) {
    std::string error;
    EXPECT_FALSE(ParseScript(script, error)) << script;
    EXPECT_EQ(error, expected) << script;
  }
}

}  // namespace
}  // namespace vtsetup
