// rights.h - the size-restriction extension: per-user send and receive limits on new mail.
//
// What it is for: the router writes every new mail into its mail box; the note-update hook
// measures the mail, looks the sender and each recipient up in the rule documents of
// vtsched.nsf and, when a limit is met, leaves marks for the scanning extension (which
// deletes or forwards the mail), drops refused recipients and writes warning mails.
//
// Ownership: a WarningInfo belongs to the hook call that made it and is released with
// FreeWarningInfo before the hook returns; its lists and rejected-recipient nodes go with
// it. Notes handles are closed by the routine that obtained them, on every path.
// Locks: none. The process-wide settings are written by EntryPoint before the hook is
// installed and only read afterwards, except the debug level, a word-sized store that every
// checked mail rewrites.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/notes/notes.h"

namespace rights {

// Buffer sizes of the mail's texts (bytes, the NUL included).
inline constexpr std::size_t kAddressBytes = 256;       // one address
inline constexpr std::size_t kSubjectBytes = 1000;      // the Subject header
inline constexpr std::size_t kPathBytes = 260;          // paths, the installation identifier
inline constexpr std::size_t kAdminEntries = 20;        // administrator table entries
inline constexpr std::size_t kAdminEntryBytes = 518;    // one administrator address
inline constexpr std::size_t kAdminAddresseeChars = 5220;  // the administrators joined
inline constexpr std::size_t kSizeTextChars = 40;          // the size of a mail as text
inline constexpr std::size_t kRecipientListBytes = 3000;   // first read of a header list
inline constexpr std::size_t kRecipientListGrowth = 1000;

inline constexpr const char* kRulesDatabase = "vtsched.nsf";
inline constexpr const char* kRuleForm = "NewUser";
inline constexpr const char* kLogFileName = "rights.log";

// The marks on a mail.
inline constexpr const char* kMarkItem = "X-Vantrel";
inline constexpr const char* kDoneItem = "X-SizeRestriction";
inline constexpr const char* kDoneValue = "DONE";
inline constexpr const char* kReplaceLengthItem = "ReplacePersonLength";
inline constexpr const char* kReplacePersonItem = "ReplacePerson";

// Action codes of a rule.
inline constexpr int kActionDelete = 0;
inline constexpr int kActionForward = 1;

// Which header list GetUserList reads.
inline constexpr int kListSendTo = 1;
inline constexpr int kListCopyTo = 2;
inline constexpr int kListBlindCopyTo = 3;

// Limit directions of CheckUserLimit.
inline constexpr int kDirectionReceive = 0;
inline constexpr int kDirectionSend = 1;

// Warning kinds: send case 0 (sender) and 1 (administrators); receive case 2 (each refused
// recipient), 3 (sender) and 4 (administrators).
inline constexpr int kWarnSendSender = 0;
inline constexpr int kWarnSendAdmin = 1;
inline constexpr int kWarnReceiveRecipient = 2;
inline constexpr int kWarnReceiveSender = 3;
inline constexpr int kWarnReceiveAdmin = 4;

// A recipient refused because the mail meets his receive limit, with his own rule values.
struct RejectedRecipient {
  std::string address{};  // at most kAddressBytes - 1 characters
  int mail_size = 0;    // KB
  int receive_action = kActionDelete;
  int receive_limit = 0;  // KB
};

// One checked mail. The limit, status, do-not-scan and action fields describe the address
// looked up last; the rejected recipients keep their own.
struct WarningInfo {
  int mail_size = 0;  // KB
  int user_found = 0;
  int receive_limit = 0;
  int send_limit = 0;
  int status_enabled = 0;
  int do_not_scan = 0;
  std::string sender;  // normalised From, at most kAddressBytes - 1
  // Normalised comma-separated recipient lists; empty stands for an absent item.
  std::string send_to;
  std::string blind_copy_to;
  std::string copy_to;
  std::string subject;  // at most kSubjectBytes - 1
  int send_action = kActionDelete;
  int receive_action = kActionDelete;
  std::string mailbox_path;
  std::vector<RejectedRecipient> rejected;  // in the order the recipients were checked
};

// Process-wide settings read when the library is loaded.
struct Settings {
  std::string install_directory;
  std::string config_path;
  std::string log_path;
  std::string installation_id;         // VantrelID, at most kPathBytes - 1
  std::vector<std::string> admins;     // at most kAdminEntries, each at most 517 characters
};
Settings& CurrentSettings();
void SetDebugLevel(int level);
[[nodiscard]] int DebugLevel();

// The scratch log rights.log: every line with the thread identifier; detail lines only at
// debug level 5.
void Log(std::string_view text);
void LogDetail(std::string_view text);
void Logf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void LogDetailf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// "Error code = %d Description = %s" for a failed Notes call.
void LogNotesError(STATUS status);

// ---- sizes, addresses and rules ----
[[nodiscard]] STATUS CalculateSize(NOTEHANDLE note, std::string& size_text);
[[nodiscard]] int SizeTextToKb(std::string_view size_text);
void NormaliseAddress(std::string& address);
// The normalised list of a header, or empty when the item is absent or empty.
[[nodiscard]] std::string GetUserList(NOTEHANDLE note, int which);
// The selection formula for an address that was trimmed and upper-cased; empty for an
// empty address.
[[nodiscard]] std::string MakeRule(std::string_view address);
[[nodiscard]] STATUS CheckUserNameInDB(WarningInfo& info, std::string_view address);
[[nodiscard]] bool CheckUserLimit(WarningInfo* info, NOTEHANDLE note, std::string_view address,
                                  int mail_size, int direction);
[[nodiscard]] bool IsThisUserSendMailMoreThanLimit(WarningInfo& info, NOTEHANDLE note);
[[nodiscard]] bool IsThisUserReceiveMailMoreThanLimit(WarningInfo& info, NOTEHANDLE note,
                                                      std::string_view address);
// Rewrites a mail's recipient items to the kept lists (ChangeMailReceipientHeader); a test
// passes one that fails.
using RecipientRewrite = STATUS (*)(NOTEHANDLE note, const std::string& send_to,
                                    const std::string& copy_to,
                                    const std::string& blind_copy_to);
[[nodiscard]] STATUS ChangeMailReceipientHeader(NOTEHANDLE note, const std::string& send_to,
                                                const std::string& copy_to,
                                                const std::string& blind_copy_to);
// True when recipients were refused. A failed rewrite makes the result false, yet a forward
// refusal is still marked, so that the refused recipients' copy reaches the administrators.
[[nodiscard]] bool CheckReceipientList(WarningInfo& info, NOTEHANDLE note,
                                       RecipientRewrite rewrite = &ChangeMailReceipientHeader);
void Rejectpersons_AddNode(WarningInfo& info, std::string_view address);

// ---- marks ----
[[nodiscard]] STATUS SetSendActionMark(NOTEHANDLE note, int action);
// The replacement list of the forward nodes: ReplacePersonLength and ReplacePerson.
// True when both were written.
[[nodiscard]] bool AddReplacePersonField(NOTEHANDLE note, const WarningInfo& info);
// The bytes of ReplacePerson for the forward nodes (empty when there are none).
[[nodiscard]] std::string ReplacePersonBytes(const WarningInfo& info);

// ---- warning mails and recipient rewriting ----
[[nodiscard]] STATUS GenerateWarningMessage(const WarningInfo* info, bool send_case,
                                            bool to_sender, bool to_admins,
                                            bool to_recipients);
// The body text of a kind; for kind 2 the node names the recipient.
[[nodiscard]] std::string BodyText(const WarningInfo& info, int kind,
                                   const RejectedRecipient* node);
[[nodiscard]] bool CreateBodyFile(const std::string& path, const WarningInfo& info, int kind,
                                  const RejectedRecipient* node = nullptr);
[[nodiscard]] STATUS ComposeWarningMessage(const std::string& mailbox_path,
                                           const std::string& addressees,
                                           const std::string& from, const std::string& subject,
                                           const std::string& body_file, bool blind);
[[nodiscard]] STATUS AddReceipentsField(NOTEHANDLE note, std::string_view address, bool create);
// The administrators joined with "," (at most kAdminAddresseeChars characters).
[[nodiscard]] std::string AdminAddressees();

// ---- the hook ----
[[nodiscard]] STATUS EntryPoint(DBHOOKVEC* vector);
[[nodiscard]] STATUS Term(DBHOOKVEC* vector);
[[nodiscard]] STATUS NoteUpdate(DBHOOKVEC* vector, char* user_name, void* group_list,
                                DBHANDLE db, NOTEID note_id, NOTEHANDLE note,
                                WORD* update_flags);
void FillAdminId(const std::string& config_path);
[[nodiscard]] bool CheckUserSizeRestriction(DBHANDLE db, WarningInfo& info, NOTEHANDLE note);
void FreeWarningInfo(WarningInfo*& info);

}  // namespace rights
