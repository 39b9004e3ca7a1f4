// admin_id.h - the console's rules for administrator e-mail IDs and mail databases.
//
// What it is for: the setup wizard and the administrator list accept an administrator only
// with a well-formed e-mail ID and a database whose design class is a mail template's. These
// rules are kept apart from the dialogs so that both dialogs share them and tests reach them
// without a window.
//
// Ownership: every routine works on the caller's strings. Locks: none.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vtsetup {

// Longest primary domain kept from a typed entry (the combo box's text).
inline constexpr std::size_t kDomainChars = 259;
// Longest e-mail ID taken from the confirmation dialog.
inline constexpr std::size_t kConfirmedIdChars = 258;
// Longest database name taken from a dialog's edit.
inline constexpr std::size_t kDatabaseChars = 259;
// Longest design class compared.
inline constexpr std::size_t kDesignClassChars = 127;
// Longest AdminEmailId the console stores: what every reader of vantrel.ini takes whole (the
// engine reads a value of 8 KB). A longer list is refused, never cut.
inline constexpr std::size_t kStoredAdminListChars = 8191;

// Trims blanks, tabs, CR and LF at both ends and, when there is no "@", appends "@" and the
// primary domain. An empty text stays empty.
[[nodiscard]] std::string CompleteAdminId(std::string_view typed, std::string_view domain);

// True for "local@anything" where local is not empty, there is exactly one "@", and every
// other character is a letter, a digit, "-", "." or "_". Nothing is required after "@".
[[nodiscard]] bool IsValidAdminId(std::string_view id);

// The part of an ID before its "@" (the whole ID without one): the warning sender's name.
[[nodiscard]] std::string SenderName(std::string_view id);

// True when a database's design class names a mail template: cut at the first "/", the
// last four characters (the whole text when shorter) equal "mail" without case.
[[nodiscard]] bool IsMailDesignClass(std::string_view design_class);

// True when the name ends in ".nsf" or ".ntf" without case.
[[nodiscard]] bool HasDatabaseExtension(std::string_view name);

// The file name of a database path without its directory and extension: "alice" for
// ".../mail/alice.nsf". The default ID of that database is this name, "@" and the domain.
[[nodiscard]] std::string DatabaseBaseName(std::string_view path);

// Splits a comma-separated setting into its entries (empty entries kept).
[[nodiscard]] std::vector<std::string> SplitList(std::string_view text);

// Lower-cases ASCII letters.
[[nodiscard]] std::string LowerAscii(std::string_view text);

}  // namespace vtsetup
