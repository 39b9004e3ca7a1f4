// rules.cpp - measuring a mail, normalising its addresses and checking them against the
// rule documents of vtsched.nsf; the marks left for the scanning extension.
//
// What it is for: fills a mail's WarningInfo with its size, its sender's send verdict and
// its refused recipients, and writes X-Vantrel, ReplacePersonLength and ReplacePerson.
// Ownership: every lookup opens, searches and closes the rules database itself and frees
// its formula; nothing is cached between addresses or mails.
// Locks: none; all state is the caller's WarningInfo.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <new>

#include "foundation/address_list.h"
#include "foundation/notes_handles.h"
#include "foundation/utilities.h"
#include "rights/rights.h"

namespace rights {
namespace {

constexpr const char* kHyphens46 = "----------------------------------------------";

// The lookup's own record, handed to the search routine.
struct InputInfo {
  DBHANDLE db = NULLHANDLE;
  int user_found = 0;
  int receive_limit = 0;
  int send_limit = 0;
  int send_action = kActionDelete;
  int receive_action = kActionDelete;
  int do_not_scan = 0;
  int status_enabled = 0;
};

using foundation::EqualsNoCase;
using foundation::StartsWithNoCase;

// Blanks, tabs, CR and LF at both ends.
void TrimAddress(std::string& text) {
  const char* blanks = " \t\r\n";
  const std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) {
    text.clear();
    return;
  }
  text = text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// A number item as whole KB: the fraction dropped, absent, negative or out of range gives 0
// or the nearest bound instead of an undefined conversion.
int NumberItem(NOTEHANDLE note, const char* name) {
  NUMBER number = 0;
  if (!NSFItemGetNumber(note, name, &number) || !std::isfinite(number)) return 0;
  if (number >= static_cast<double>(INT_MAX)) return INT_MAX;
  if (number <= static_cast<double>(INT_MIN)) return INT_MIN;
  return static_cast<int>(number);
}

// 'D' = delete, 'F' = forward; anything else keeps the code.
void ReadAction(NOTEHANDLE note, const char* name, int& action) {
  char text[kAddressBytes] = {};
  NSFItemGetText(note, name, text, sizeof(text));
  if (text[0] == 'D') action = kActionDelete;
  if (text[0] == 'F') action = kActionForward;
}

// The search routine: one call per matching rule document; later matches overwrite.
STATUS CheckUserName(void* context, SEARCH_MATCH* match, ITEM_TABLE* /*summary*/) {
  auto* input = static_cast<InputInfo*>(context);
  if (input == nullptr || match == nullptr || (match->SERetFlags & SE_FMATCH) == 0) {
    return NOERROR;
  }
  NOTEHANDLE note = NULLHANDLE;
  const STATUS status = NSFNoteOpen(input->db, match->ID.NoteID, OPEN_DEFAULT, &note);
  if (status != NOERROR) {
    LogNotesError(status);
    Log("ERROR!!! Unable to Open the Note. NSfNoteOpen() Fails...Reason above...in function "
        "CheckUserName()");
    return status;
  }
  char text[kAddressBytes] = {};
  NSFItemGetText(note, "FirstName", text, sizeof(text));
  Logf("User FirstName = %s", text);
  NSFItemGetText(note, "MiddleInitial", text, sizeof(text));
  Logf("User MiddleInitial = %s", text);
  NSFItemGetText(note, "LastName", text, sizeof(text));
  Logf("User LastName = %s", text);
  input->user_found = 1;

  NSFItemGetText(note, "Status", text, sizeof(text));
  if (EqualsNoCase(text, "Enable")) {
    input->status_enabled = 1;
    NSFItemGetText(note, "DoNotScanMail", text, sizeof(text));
    input->do_not_scan = EqualsNoCase(text, "yes") ? 1 : 0;
    input->send_limit = NumberItem(note, "Max_Send_Size");
    input->receive_limit = NumberItem(note, "Max_Receive_Size");
    ReadAction(note, "Max_Send_Action", input->send_action);
    ReadAction(note, "Max_Receive_Action", input->receive_action);
  } else {
    input->status_enabled = 0;
  }
  (void)NSFNoteClose(note);
  return NOERROR;
}

// Appends an address to a comma-separated list.
void AppendToList(std::string& list, std::string_view address) {
  if (!list.empty()) list += ',';
  list += address;
}

}  // namespace

STATUS CalculateSize(NOTEHANDLE note, std::string& size_text) {
  size_text.clear();
  if (note == NULLHANDLE) {
    Log("ERROR!!! Input Parameter (hNote) is NULL in Function CalculateSize");
    return 1;
  }
  const char* formula_text = "@DocLength";
  FORMULAHANDLE formula = NULLHANDLE;
  HCOMPUTE compute = NULLHANDLE;
  try {
    WORD formula_len = 0;
    STATUS compile_error = NOERROR;
    STATUS status = NSFFormulaCompile(nullptr, 0, formula_text, MAXWORD, &formula,
                                      &formula_len, &compile_error, nullptr, nullptr, nullptr,
                                      nullptr);
    if (status != NOERROR) {
      LogNotesError(status);
      Logf("ERROR!!! function NSFFormula Compile Fails{%s} in Function CalculateSize...Reason "
           "above",
           formula_text);
      return status;
    }
    status = NSFComputeStart(0, OSLockObject(formula), &compute);
    if (status != NOERROR) {
      OSUnlockObject(formula);
      (void)OSMemFree(formula);
      LogNotesError(status);
      Log("ERROR!!! function NSFComputeStart Fails in Function CalculateSize. Reasona above");
      return status;
    }
    DHANDLE result = NULLHANDLE;
    WORD result_len = 0;
    status = NSFComputeEvaluate(compute, note, &result, &result_len, nullptr, nullptr, nullptr);
    if (status != NOERROR) {
      (void)NSFComputeStop(compute);
      OSUnlockObject(formula);
      (void)OSMemFree(formula);
      LogNotesError(status);
      Log("ERROR!!! Function NSFComputeEvaluate Fails in Function CalculateSize Reason above");
      return status;
    }
    char text[kSizeTextChars + 1] = {};
    // A failed conversion is logged and leaves the text as it was.
    auto convert = [&text](NUMBER number) {
      WORD text_len = 0;
      const STATUS converted =
          ConvertFLOATToText(nullptr, nullptr, &number, text, kSizeTextChars, &text_len);
      if (converted != NOERROR) {
        LogNotesError(converted);
        Log("ERROR!!! Unable to Convert number to text in Function CalculateSize...Reason "
            "above");
      }
    };
    const auto* value = static_cast<const unsigned char*>(OSLockObject(result));
    if (value != nullptr && result_len >= sizeof(WORD)) {
      WORD type = 0;
      std::memcpy(&type, value, sizeof(type));
      if (type == TYPE_NUMBER && result_len >= sizeof(WORD) + sizeof(NUMBER)) {
        NUMBER number = 0;
        std::memcpy(&number, value + sizeof(WORD), sizeof(number));
        convert(number);
      } else if (type == TYPE_NUMBER_RANGE && result_len >= 3 * sizeof(WORD)) {
        WORD count = 0;
        std::memcpy(&count, value + sizeof(WORD), sizeof(count));
        const std::size_t available = (result_len - 3 * sizeof(WORD)) / sizeof(NUMBER);
        count = static_cast<WORD>(std::min<std::size_t>(count, available));
        for (WORD i = 0; i < count; ++i) {
          NUMBER number = 0;
          std::memcpy(&number, value + 3 * sizeof(WORD) + i * sizeof(NUMBER), sizeof(number));
          convert(number);
        }
      } else {
        Logf("TYPE_INVALID_OR_UNKNOWN : %x", type);
      }
    }
    text[kSizeTextChars] = '\0';
    size_text = text;
    if (value != nullptr) OSUnlockObject(result);
    (void)OSMemFree(result);
    OSUnlockObject(formula);
    (void)OSMemFree(formula);
    formula = NULLHANDLE;
    status = NSFComputeStop(compute);
    compute = NULLHANDLE;
    if (status != NOERROR) {
      LogNotesError(status);
      Log("ERROR!!! Function NSFComputeStop Fails in Function CalculateSize Reason above");
      return status;
    }
    return NOERROR;
  } catch (...) {
    Log("ERROR!!! Catch Caught in Function CalculateSize");
    if (formula != NULLHANDLE) (void)OSMemFree(formula);
    if (compute != NULLHANDLE) {
      const STATUS status = NSFComputeStop(compute);
      if (status != NOERROR) return status;
    }
    return 1;
  }
}

int SizeTextToKb(std::string_view size_text) {
  // Leading decimal digits; a number beyond the unsigned range stays at its largest value.
  unsigned long long bytes = 0;
  for (char c : size_text) {
    if (c < '0' || c > '9') break;
    bytes = bytes * 10 + static_cast<unsigned>(c - '0');
    if (bytes > 0xFFFFFFFFull) {
      bytes = 0xFFFFFFFFull;
      break;
    }
  }
  char text[64] = {};
  std::snprintf(text, sizeof(text), "%.0f", static_cast<double>(bytes) / 1024.0);
  return std::atoi(text);
}

void NormaliseAddress(std::string& address) {
  if (!StartsWithNoCase(address, "CN=")) {
    std::string collected;
    bool quoted = false;
    for (std::size_t i = 0; i < address.size(); ++i) {
      const char c = address[i];
      if (c == '"') {
        quoted = !quoted;
        continue;
      }
      if (quoted) {
        // An escaped quote inside a display name does not end it: "a \" <x@y>" <b@z>
        // is b@z, not x@y.
        if (c == '\\') ++i;
        continue;
      }
      if (c == ' ') continue;
      if (c == '(' || c == '>') break;
      if (c == '<') {
        collected.clear();
        continue;
      }
      collected += c;
    }
    if (!collected.empty()) address = collected;
  }
  TrimAddress(address);
}

std::string GetUserList(NOTEHANDLE note, int which) {
  const WORD item = which == kListSendTo     ? MAIL_SENDTO_ITEM_NUM
                    : which == kListCopyTo   ? MAIL_COPYTO_ITEM_NUM
                                             : MAIL_BLINDCOPYTO_ITEM_NUM;
  try {
    // Grow the buffer while the text filled it; the header call measures in 16 bits, so
    // the buffer stops growing at that bound and a longer list is read cut.
    std::size_t size = kRecipientListBytes;
    std::string raw;
    for (;;) {
      std::vector<char> buffer(size, '\0');
      const WORD capacity = static_cast<WORD>(size - 1);
      WORD length = 0;
      const STATUS status = MailGetMessageItem(note, item, buffer.data(), capacity, &length);
      if (status != NOERROR) {
        LogNotesError(status);
        return {};
      }
      raw.assign(buffer.data(), std::min<std::size_t>(length, size - 1));
      if (static_cast<std::size_t>(length) + 1 != capacity) break;
      if (size + kRecipientListGrowth > MAXWORD) break;
      size += kRecipientListGrowth;
    }
    if (raw.empty()) return {};
    LogDetail(raw);
    LogDetail("Before Converting email id... See Above");
    std::string joined;
    // Split by address syntax: "Lee, Alice" <alice@example.com> is one recipient.
    for (std::string& piece : foundation::SplitAddressList(raw)) {
      // An address is handled in kAddressBytes: a longer entry is cut before it is read.
      if (piece.size() > kAddressBytes - 2) piece.resize(kAddressBytes - 2);
      NormaliseAddress(piece);
      if (piece.empty()) continue;
      if (!joined.empty()) LogDetailf("New Email ID=%s", piece.c_str());
      AppendToList(joined, piece);
    }
    LogDetail(joined);
    LogDetail("After Converting email id... See Above");
    return joined;
  } catch (const std::bad_alloc&) {
    Log("ERRROR!!!! Unable to allocate memory for buffer!!!");
  } catch (...) {
    Log("ERROR!!! Catch Caught in Function GetUserList");
  }
  return {};
}

std::string MakeRule(std::string_view address) {
  if (address.empty()) {
    Log("ERROR!!! Input of MakeRule is NULL");
    return {};
  }
  char head[64];
  std::snprintf(head, sizeof(head), "SELECT form = \"%s\" & ", kRuleForm);
  const char* field = "Email3 = \"";
  const char* type = "Third Type";
  if (StartsWithNoCase(address, "CN=")) {
    if (address.find('@') != std::string_view::npos) {
      field = "Email2 = \"";
      type = "Second Type";
    } else {
      field = "Email1 = \"";
      type = "First Type";
    }
  }
  std::string rule = std::string(head) + field;
  // The address is pasted into a string literal of the formula: quotes and backslashes in
  // it are escaped so that they can neither end the literal nor break the formula.
  for (char c : address) {
    if (c == '"' || c == '\\') rule += '\\';
    rule += c;
  }
  rule += '"';
  Logf("User=%s emailid is %s, Rule is =[%s]", std::string(address).c_str(), type, rule.c_str());
  return rule;
}

STATUS CheckUserNameInDB(WarningInfo& info, std::string_view address) {
  if (address.empty()) {
    Log("ERROR!!! Input of CheckUserNameInDB is NULL");
    return 1;
  }
  std::string email(address.substr(0, kPathBytes - 1));
  info.user_found = 0;
  info.receive_limit = 0;
  info.send_limit = 0;
  info.status_enabled = 0;
  info.do_not_scan = 0;
  foundation::TrimBoth(email);
  for (char& c : email) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::string rule = MakeRule(email);
  if (rule.empty()) {
    Log("ERROR!!! MakeRule() function fails");
    return 1;
  }
  Logf("Email ID = %s Rule = %s", email.c_str(), rule.c_str());
  std::unique_ptr<InputInfo> input(new (std::nothrow) InputInfo());
  if (!input) {
    Log("ERROR!!! malloc() function fails..Unable to allocate memory for INPUTINFO");
    return 1;
  }
  // Declared in this order, the formula is freed before the database closes.
  foundation::DbOwner rules;
  foundation::MemoryOwner formula;
  STATUS status = NSFDbOpen(kRulesDatabase, rules.out());
  if (status != NOERROR) {
    LogNotesError(status);
    Logf("ERROR!!! Unable to Open the DB{%s}. Reason above...", kRulesDatabase);
    return status;
  }
  WORD formula_len = 0;
  STATUS compile_error = NOERROR;
  status = NSFFormulaCompile(nullptr, 0, rule.c_str(), MAXWORD, formula.out(), &formula_len,
                             &compile_error, nullptr, nullptr, nullptr, nullptr);
  if (status != NOERROR) {
    LogNotesError(status);
    Logf("ERROR!!! NSFFormulaCompile Fails... database file name{%s}. Reason above...",
         kRulesDatabase);
    return status;
  }
  input->db = rules.get();
  status = NSFSearch(rules.get(), formula.get(), nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr,
                     CheckUserName, input.get(), nullptr);
  if (status != NOERROR) {
    LogNotesError(status);
    Logf("ERROR!!! NSFSearch Fails... database file name{%s}. Reason above...", kRulesDatabase);
    return status;
  }
  info.user_found = input->user_found;
  info.receive_limit = input->receive_limit;
  info.send_limit = input->send_limit;
  info.do_not_scan = input->do_not_scan;
  info.status_enabled = input->status_enabled;
  info.send_action = input->send_action;
  info.receive_action = input->receive_action;
  return NOERROR;
}

bool CheckUserLimit(WarningInfo* info, NOTEHANDLE note, std::string_view address,
                    int mail_size, int direction) {
  if (info == nullptr) {
    Log("ERROR!!! Input Parameter (uinfo) is NULL in CheckUserLimit Function");
    return false;
  }
  if (note == NULLHANDLE) {
    Log("ERROR!!! Input Parameter (hNote) is NULL in CheckUserLimit Function");
    return false;
  }
  if (address.empty()) {
    Log("ERROR!!! Input Parameter (UserEmailID) is NULL in CheckUserLimit Function");
    return false;
  }
  try {
    if (CheckUserNameInDB(*info, address) != NOERROR) {
      Log("ERROR!!! Function CheckUserNameInDB Fails()");
      return false;
    }
    if (info->status_enabled == 0) {
      Log("This User Status is NOT Enable");
      return false;
    }
    if (info->do_not_scan != 0) return false;
    Log("This User Status is Enable");
    const int limit = direction == kDirectionSend ? info->send_limit : info->receive_limit;
    if (limit != 0 && mail_size >= limit) {
      const std::string user(address);
      Logf(direction == kDirectionSend ? "User %s Sending mail %d, but his max size is %d"
                                       : "User %s Receiving mail %d, but his max size is %d",
           user.c_str(), mail_size, limit);
      return true;
    }
  } catch (...) {
    Log("ERROR!!! Function CheckUserLimit Catch Caught!!!");
  }
  return false;
}

bool IsThisUserSendMailMoreThanLimit(WarningInfo& info, NOTEHANDLE note) {
  const bool met = CheckUserLimit(&info, note, info.sender, info.mail_size, kDirectionSend);
  if (met) {
    Logf("This User %s not able to send mail more then %d kb", info.sender.c_str(),
         info.mail_size);
  }
  if (info.do_not_scan != 0) {
    Logf("DoNotScanMail is set for User %s", info.sender.c_str());
    const std::string& id = CurrentSettings().installation_id;
    const STATUS status = NSFItemSetText(note, kMarkItem, id.c_str(), MAXWORD);
    if (status != NOERROR) {
      LogNotesError(status);
      Log("ERROR!!! NSFItemSetText(X-Vantrel) Fails in IsThisUserSendMailMoreThanLimit...Reason "
          "above.");
    }
  }
  return met;
}

bool IsThisUserReceiveMailMoreThanLimit(WarningInfo& info, NOTEHANDLE note,
                                        std::string_view address) {
  if (note == NULLHANDLE || address.empty()) {
    Log("ERROR!!! Either one of Input Parameter is emtpy in IsThisUserReceiveMailMoreThanLimit");
    return false;
  }
  const bool met = CheckUserLimit(&info, note, address, info.mail_size, kDirectionReceive);
  if (met) {
    const std::string user(address);
    Logf("This User %s not able to Receive mail more then %d kb Action = %d", user.c_str(),
         info.mail_size, info.receive_action);
  }
  return met;
}

void Rejectpersons_AddNode(WarningInfo& info, std::string_view address) {
  try {
    RejectedRecipient node;
    node.address.assign(address.substr(0, kAddressBytes - 1));
    node.mail_size = info.mail_size;
    node.receive_action = info.receive_action;
    node.receive_limit = info.receive_limit;
    info.rejected.push_back(std::move(node));
  } catch (const std::bad_alloc&) {
    Log("ERROR!!! Rejectpersons_AddNode Unable to Allocate Memory");
  }
}

namespace {

// Checks every address of one list; refused ones become nodes, the rest the kept list.
std::string GetReceiepents(WarningInfo& info, NOTEHANDLE note, const std::string& list,
                           const char* field, bool& refused) {
  Logf("Checking Recipient in %s Field", field);
  std::string kept;
  for (const std::string& address : foundation::SplitAddressList(list)) {
    Log(kHyphens46);
    Logf("Checking the Details of User = %s", address.c_str());
    if (IsThisUserReceiveMailMoreThanLimit(info, note, address)) {
      refused = true;
      Log("Function IsThisUserReceiveMailMoreThanLimit return TRUE");
      Rejectpersons_AddNode(info, address);
    } else {
      Log("Function IsThisUserReceiveMailMoreThanLimit return FALSE");
      try {
        AppendToList(kept, address);
      } catch (const std::bad_alloc&) {
        Log("ERRROR!!!! Unable to allocate memory for retString!!!");
        throw;  // the whole sorting fails, logged by CheckReceipientList
      }
    }
  }
  return kept;
}

}  // namespace

bool CheckReceipientList(WarningInfo& info, NOTEHANDLE note, RecipientRewrite rewrite) {
  try {
    bool refused = false;
    const std::string send_to = GetReceiepents(info, note, info.send_to, "SendTo", refused);
    const std::string copy_to = GetReceiepents(info, note, info.copy_to, "CopyTo", refused);
    const std::string blind_copy_to =
        GetReceiepents(info, note, info.blind_copy_to, "BlindCopyTo", refused);
    if (!refused) return false;
    if (!send_to.empty()) {
      Log(send_to);
      Log("SendTo modified List above");
    }
    if (!copy_to.empty()) {
      Log(copy_to);
      Log("CopyTo modified List above");
    }
    if (!blind_copy_to.empty()) {
      Log(blind_copy_to);
      Log("BlindCopyTo modified List above");
    }
    const bool forward =
        std::any_of(info.rejected.begin(), info.rejected.end(),
                    [](const RejectedRecipient& node) {
                      return node.receive_action == kActionForward;
                    });
    info.receive_action = forward ? kActionForward : kActionDelete;
    Logf("Type of Action taken = %d", info.receive_action);
    bool result = true;
    if (!send_to.empty() || !copy_to.empty() || !blind_copy_to.empty()) {
      if (rewrite(note, send_to, copy_to, blind_copy_to) != NOERROR) result = false;
      if (forward) {
        if (AddReplacePersonField(note, info)) {
          Log("Successfully added \"ReplaceReceipent\"");
          if (SetSendActionMark(note, kActionForward) != NOERROR) result = false;
        } else {
          Log("ERROR!!! function AddReplacePersonField Fails");
        }
      }
    } else {
      Log("No User in the List, ...");
      if (SetSendActionMark(note, forward ? kActionForward : kActionDelete) != NOERROR) {
        result = false;
      }
    }
    return result;
  } catch (...) {
    Log("ERROR!!! Catch Caught function CheckReceipientList");
  }
  return false;
}

STATUS SetSendActionMark(NOTEHANDLE note, int action) {
  const char* value = action == kActionForward ? "FORWARD" : "DELETE";
  const STATUS status = NSFItemSetText(note, kMarkItem, value, MAXWORD);
  if (status != NOERROR) {
    LogNotesError(status);
    Logf("ERROR!!! NSFItemSetText(X-Vantrel) Fails to write \"%s\" in "
         "CheckUserSizeRestriction...Reason above",
         value);
  } else {
    Logf("Successfully added X-Vantrel as \"%s\"", value);
  }
  return status;
}

std::string ReplacePersonBytes(const WarningInfo& info) {
  std::size_t total = 0;
  std::size_t count = 0;
  std::string joined;
  for (const RejectedRecipient& node : info.rejected) {
    if (node.receive_action != kActionForward) continue;
    total += node.address.size();
    ++count;
    AppendToList(joined, node.address);
  }
  if (total == 0) return {};
  joined.resize(total + 2 * count, '\0');
  return joined;
}

bool AddReplacePersonField(NOTEHANDLE note, const WarningInfo& info) {
  std::string bytes;
  try {
    bytes = ReplacePersonBytes(info);
  } catch (const std::bad_alloc&) {
    Log("ERROR!!! Unable to allocat memory in AddReplacePersonField");
    return false;
  }
  if (bytes.empty()) {
    Log("Length is Zero in AddReplacePersonField");
    return false;
  }
  // The item length is a 16-bit count: a list that does not fit is not written at all, so
  // the length item never promises more bytes than the list item holds.
  if (bytes.size() >= MAXWORD) {
    Log("ERROR!!! Unable to Write ReplacePersonLength in AddReplacePersonField...Reason above");
    return false;
  }
  const std::string length = std::to_string(bytes.size());
  STATUS status = NSFItemSetText(note, kReplaceLengthItem, length.c_str(),
                                 static_cast<WORD>(length.size()));
  if (status == NOERROR) {
    status = NSFItemSetText(note, kReplacePersonItem, bytes.data(),
                            static_cast<WORD>(bytes.size()));
  }
  if (status != NOERROR) {
    LogNotesError(status);
    Log("ERROR!!! Unable to Write ReplacePersonLength in AddReplacePersonField...Reason above");
    return false;
  }
  return true;
}

}  // namespace rights
