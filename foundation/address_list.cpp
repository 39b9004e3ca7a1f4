// address_list.cpp - splitting a list of mail addresses into its entries (see
// address_list.h).
#include "foundation/address_list.h"

namespace foundation {
namespace {

constexpr std::string_view kTrimmed = " \t\r\n";

std::string_view Trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kTrimmed);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kTrimmed) - first + 1);
}

// Index of the character that closes the construct opened at list[open], or npos when it
// is never closed. Quoted strings, domain literals and comments take backslash escapes;
// comments nest; an angle address may hold a quoted local part.
std::size_t ClosingIndex(std::string_view list, std::size_t open) {
  const char opener = list[open];
  const char closer = opener == '"' ? '"' : opener == '[' ? ']' : opener == '(' ? ')' : '>';
  int depth = 1;
  for (std::size_t i = open + 1; i < list.size(); ++i) {
    const char c = list[i];
    if (c == '\\' && opener != '<') {
      ++i;
      continue;
    }
    if (opener == '<' && c == '"') {
      i = ClosingIndex(list, i);
      if (i == std::string_view::npos) return i;
      continue;
    }
    if (opener == '(' && c == '(') {
      ++depth;
      continue;
    }
    if (c == closer && --depth == 0) return i;
  }
  return std::string_view::npos;
}

}  // namespace

std::vector<std::string> SplitAddressList(std::string_view list) {
  std::vector<std::string> entries;
  std::string current;
  auto flush = [&] {
    const std::string_view entry = Trim(current);
    if (!entry.empty()) entries.emplace_back(entry);
    current.clear();
  };
  bool in_group = false;
  std::size_t i = 0;
  while (i < list.size()) {
    const char c = list[i];
    if (c == '"' || c == '(' || c == '<' || c == '[') {
      const std::size_t close = ClosingIndex(list, i);
      if (close == std::string_view::npos) {
        // Never closed: the rest is split at plain commas.
        std::string_view rest = list.substr(i);
        for (std::size_t comma = rest.find(','); comma != std::string_view::npos;
             comma = rest.find(',')) {
          current.append(rest.substr(0, comma));
          flush();
          rest.remove_prefix(comma + 1);
        }
        current.append(rest);
        break;
      }
      current.append(list.substr(i, close - i + 1));
      i = close + 1;
      continue;
    }
    if (c == ',') {
      flush();
    } else if (c == ':' && !in_group) {
      // "name: member, member;": the text before the colon names the group.
      current.clear();
      in_group = true;
    } else if (c == ';' && in_group) {
      flush();
      in_group = false;
    } else {
      current.push_back(c);
    }
    ++i;
  }
  flush();
  return entries;
}

}  // namespace foundation
