// address_list.h - splitting a list of mail addresses into its entries.
//
// What it is for: recipient items (SendTo, CopyTo, BlindCopyTo, Recipients) and the
// recipient lists the system builds from them are comma-separated, but a comma inside a
// quoted display name ("Lee, Alice" <alice@example.com>), a comment or an angle-bracket
// route separates nothing. Every place that takes such a list apart uses this one routine,
// so that an address is never cut into fragments on one side and kept whole on the other.
//
// Ownership: the entries are returned by value. Locks: none; the routine has no state.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace foundation {

// Splits list at the commas that separate addresses (RFC 5322 syntax): commas inside a
// quoted string (with backslash escapes), a comment in parentheses (nested, with escapes)
// or angle brackets belong to their entry. A group ("Team: a@x, b@y;") gives its members;
// the group's name is not an address and is left out. Entries are trimmed of blanks, tabs,
// CR and LF; empty ones are skipped. A quote, comment or bracket that is never closed
// protects nothing: from where it opened, the rest is split at plain commas, so a stray
// quote cannot hide the addresses that follow it.
[[nodiscard]] std::vector<std::string> SplitAddressList(std::string_view list);

}  // namespace foundation
