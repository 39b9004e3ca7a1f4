// item_test.cpp - items: the value layouts routines see, text with lengths, text lists,
// numbers and times, several items of one name, copy and delete, bad names.
#include <cstring>

#include "platform/notes/notes_test_support.h"

namespace {

class ItemTest : public OpenNoteTest {
 protected:
  ItemTest() : OpenNoteTest("items.nsf") {}
};

struct ScannedItem {
  std::string name;
  WORD type;
  std::string data;  // after the type word
};

STATUS Collect(WORD, WORD, char* name, WORD name_len, void* value, DWORD value_len,
               void* context) {
  auto* items = static_cast<std::vector<ScannedItem>*>(context);
  WORD type;
  std::memcpy(&type, value, sizeof type);
  items->push_back({std::string(name, name_len), type,
                    std::string(static_cast<char*>(value) + 2, value_len - 2)});
  return NOERROR;
}

TEST_F(ItemTest, ScanHandsOutEveryLayoutInOrderAfterAReload) {
  ASSERT_EQ(NSFItemSetText(note_, "Subject", "Hello", MAXWORD), NOERROR);
  ASSERT_EQ(NSFItemCreateTextList(note_, "Recipients", "a@x", MAXWORD), NOERROR);
  ASSERT_EQ(NSFItemAppendTextList(note_, "Recipients", "bc@y", MAXWORD, TRUE), NOERROR);
  NUMBER size = 42.5;
  ASSERT_EQ(NSFItemSetNumber(note_, "Size", &size), NOERROR);
  TIMEDATE posted = VtTimeDateFromUnix(1700000000);
  ASSERT_EQ(NSFItemSetTime(note_, "PostedDate", &posted), NOERROR);
  ASSERT_EQ(VtNoteSetMimeBody(note_, "Body", "MIME-Version: 1.0\r\n\r\nhi", 23), NOERROR);
  Reload();

  std::vector<ScannedItem> items;
  ASSERT_EQ(NSFItemScan(note_, Collect, &items), NOERROR);
  ASSERT_EQ(items.size(), 5u);
  EXPECT_EQ(items[0].name, "Subject");
  EXPECT_EQ(items[0].type, TYPE_TEXT);
  EXPECT_EQ(items[0].data, "Hello");
  EXPECT_EQ(items[1].type, TYPE_TEXT_LIST);
  // Entry count, entry lengths, texts.
  EXPECT_EQ(items[1].data, std::string("\x02\x00\x03\x00\x04\x00" "a@xbc@y", 13));
  EXPECT_EQ(ListGetNumEntries(items[1].data.data(), FALSE), 2);
  char* text = nullptr;
  WORD length = 0;
  ASSERT_EQ(ListGetText(items[1].data.data(), FALSE, 1, &text, &length), NOERROR);
  EXPECT_EQ(std::string(text, length), "bc@y");
  EXPECT_EQ(ListGetText(items[1].data.data(), FALSE, 2, &text, &length), ERR_LIST_ENTRY);
  EXPECT_EQ(items[2].type, TYPE_NUMBER);
  double stored;
  std::memcpy(&stored, items[2].data.data(), sizeof stored);
  EXPECT_EQ(stored, 42.5);
  EXPECT_EQ(items[3].type, TYPE_TIME);
  EXPECT_EQ(items[4].type, TYPE_MIME_PART);
  void* at = items[4].data.data();
  MIME_PART part;
  ODSReadMemory(&at, _MIME_PART, &part, 1);
  EXPECT_EQ(part.wByteCount, 23);
  EXPECT_EQ(std::string(static_cast<char*>(at), part.wByteCount),
            "MIME-Version: 1.0\r\n\r\nhi");

  TIMEDATE read_back;
  ASSERT_TRUE(NSFItemGetTime(note_, "postedDATE", &read_back));
  EXPECT_TRUE(TimeDateEqual(&posted, &read_back));
  NUMBER number = 0;
  ASSERT_TRUE(NSFItemGetNumber(note_, "size", &number));
  EXPECT_EQ(number, 42.5);
}

TEST_F(ItemTest, TextKeepsExplicitLengthsAndCutsToTheBuffer) {
  ASSERT_EQ(NSFItemSetText(note_, "Zeros", "ab\0cd\0\0", 7), NOERROR);
  ASSERT_EQ(NSFItemSetText(note_, "Plain", "abcdef", MAXWORD), NOERROR);
  Reload();
  char buffer[16];
  std::memset(buffer, 'z', sizeof buffer);
  EXPECT_EQ(NSFItemGetText(note_, "Zeros", buffer, sizeof buffer), 7);
  EXPECT_EQ(std::string(buffer, 8), std::string("ab\0cd\0\0\0", 8));
  EXPECT_EQ(NSFItemGetText(note_, "Plain", buffer, 4), 3);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(NSFItemGetText(note_, "Absent", buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "");
  // Setting text replaces every item of the name, whatever its type.
  NUMBER one = 1;
  ASSERT_EQ(NSFItemSetNumber(note_, "Plain", &one), NOERROR);
  EXPECT_EQ(NSFItemGetText(note_, "Plain", buffer, sizeof buffer), 1);
  EXPECT_STREQ(buffer, "1");
}

TEST_F(ItemTest, TextListWithZeroLengthEntryAndDuplicates) {
  ASSERT_EQ(NSFItemCreateTextList(note_, "List", "first", MAXWORD), NOERROR);
  ASSERT_EQ(NSFItemAppendTextList(note_, "List", "", 0, TRUE), NOERROR);
  ASSERT_EQ(NSFItemAppendTextList(note_, "List", "first", MAXWORD, FALSE), NOERROR);
  ASSERT_EQ(NSFItemAppendTextList(note_, "List", "last", MAXWORD, FALSE), NOERROR);
  ASSERT_EQ(NSFItemAppendTextList(note_, "List", "last", MAXWORD, TRUE), NOERROR);
  Reload();
  EXPECT_EQ(NSFItemGetTextListEntries(note_, "List"), 4);
  char entry[16];
  std::vector<std::string> entries;
  for (WORD i = 0; i < 4; ++i) {
    WORD length = NSFItemGetTextListEntry(note_, "List", i, entry, sizeof entry);
    entries.emplace_back(entry, length);
  }
  EXPECT_EQ(entries, (std::vector<std::string>{"first", "", "last", "last"}));
  EXPECT_EQ(NSFItemGetTextListEntry(note_, "List", 4, entry, sizeof entry), 0);
  // A plain text item reads as a list of one.
  ASSERT_EQ(NSFItemSetText(note_, "One", "only", MAXWORD), NOERROR);
  EXPECT_EQ(NSFItemGetTextListEntries(note_, "One"), 1);
  ASSERT_EQ(NSFItemAppendTextList(note_, "One", "two", MAXWORD, TRUE), NOERROR);
  EXPECT_EQ(NSFItemGetTextListEntries(note_, "One"), 2);
}

TEST_F(ItemTest, SeveralItemsOfOneNameWalkWithInfoNextAndEndWith546) {
  for (const char* part : {"one", "two", "three"}) {
    ASSERT_EQ(NSFItemAppend(note_, 0, "Body", 4, TYPE_TEXT, part, std::strlen(part)), NOERROR);
    ASSERT_EQ(NSFItemSetText(note_, std::string("X").append(part).c_str(), part, MAXWORD),
              NOERROR);
  }
  Reload();
  BLOCKID item;
  BLOCKID value;
  WORD type = 0;
  DWORD length = 0;
  std::vector<std::string> seen;
  STATUS status = NSFItemInfo(note_, "body", 4, &item, &type, &value, &length);
  while (status == NOERROR) {
    char* bytes = OSLockBlock(char, value);
    seen.emplace_back(bytes + 2, length - 2);
    OSUnlockBlock(value);
    EXPECT_EQ(type, TYPE_TEXT);
    status = NSFItemInfoNext(note_, item, "Body", 4, &item, &type, &value, &length);
  }
  EXPECT_EQ(ERR(status), 546);
  EXPECT_EQ(seen, (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_EQ(NSFItemInfo(note_, "Nothing", 7, nullptr, nullptr, nullptr, nullptr),
            ERR_ITEM_NOT_FOUND);
  ASSERT_EQ(NSFItemDelete(note_, "BODY", 4), NOERROR);
  EXPECT_EQ(NSFItemDelete(note_, "Body", 4), ERR_ITEM_NOT_FOUND);
  EXPECT_FALSE(NSFItemIsPresent(note_, "Body", 4));
  EXPECT_TRUE(NSFItemIsPresent(note_, "Xtwo", 4));
}

TEST_F(ItemTest, CopyCarriesItemsIntoANoteOfAnotherDatabase) {
  ASSERT_EQ(NSFItemCreateTextList(note_, "SendTo", "a@x", MAXWORD), NOERROR);
  ASSERT_EQ(NSFItemAppendTextList(note_, "SendTo", "b@x", MAXWORD, TRUE), NOERROR);
  DBHANDLE other = CreateOpen("quarantine.nsf");
  NOTEHANDLE copy = NULLHANDLE;
  ASSERT_EQ(NSFNoteCreate(other, &copy), NOERROR);
  BLOCKID item;
  ASSERT_EQ(NSFItemInfo(note_, "SendTo", 6, &item, nullptr, nullptr, nullptr), NOERROR);
  ASSERT_EQ(NSFItemCopy(copy, item), NOERROR);
  ASSERT_EQ(NSFNoteUpdate(copy, 0), NOERROR);
  char text[64];
  WORD length = 0;
  ASSERT_EQ(MailGetMessageItem(copy, MAIL_SENDTO_ITEM_NUM, text, sizeof text, &length), NOERROR);
  EXPECT_STREQ(text, "a@x, b@x");
  EXPECT_EQ(NSFNoteClose(copy), NOERROR);
  EXPECT_EQ(NSFDbClose(other), NOERROR);
}

TEST_F(ItemTest, BadNamesAndValuesAreRefusedWithoutChangingTheNote) {
  std::string long_name(256, 'n');
  STATUS status = NSFItemSetText(note_, long_name.c_str(), "x", MAXWORD);
  EXPECT_EQ(status, ERR_ITEM_NAME_TOO_LONG);
  EXPECT_NE(StatusText(status).find("255"), std::string::npos);
  EXPECT_EQ(NSFItemAppend(note_, 0, long_name.c_str(), 256, TYPE_TEXT, "x", 1),
            ERR_ITEM_NAME_TOO_LONG);
  EXPECT_EQ(NSFItemInfo(note_, long_name.c_str(), 256, nullptr, nullptr, nullptr, nullptr),
            ERR_ITEM_NAME_TOO_LONG);
  std::string longest(255, 'n');
  EXPECT_EQ(NSFItemSetText(note_, longest.c_str(), "x", MAXWORD), NOERROR);
  // A list whose lengths run past its end, a short number, a MIME part longer than its value.
  const char broken_list[] = "\x02\x00\x05\x00\x05\x00" "abc";
  EXPECT_EQ(NSFItemAppend(note_, 0, "L", 1, TYPE_TEXT_LIST, broken_list, 9), ERR_BAD_VALUE);
  EXPECT_EQ(NSFItemAppend(note_, 0, "N", 1, TYPE_NUMBER, "1234", 4), ERR_BAD_VALUE);
  std::vector<char> mime(ODSLength(_MIME_PART), 0);
  mime[8] = 10;  // wByteCount 10 with no bytes after the header
  EXPECT_EQ(NSFItemAppend(note_, 0, "M", 1, TYPE_MIME_PART, mime.data(), mime.size()),
            ERR_BAD_VALUE);
  std::vector<ScannedItem> items;
  ASSERT_EQ(NSFItemScan(note_, Collect, &items), NOERROR);
  EXPECT_EQ(items.size(), 1u);
}

TEST_F(ItemTest, ScanStopsWithTheRoutinesStatus) {
  for (const char* name : {"A", "B", "C"}) {
    ASSERT_EQ(NSFItemSetText(note_, name, name, MAXWORD), NOERROR);
  }
  int calls = 0;
  auto stop_at_second = [](WORD, WORD, char*, WORD, void*, DWORD, void* context) -> STATUS {
    return ++*static_cast<int*>(context) == 2 ? 1 : NOERROR;
  };
  EXPECT_EQ(NSFItemScan(note_, stop_at_second, &calls), 1);
  EXPECT_EQ(calls, 2);
}

}  // namespace
