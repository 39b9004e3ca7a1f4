// admin_id.cpp - administrator e-mail IDs and the mail database test's comparison.
#include "vtsetup/console/admin_id.h"

#include <cctype>

#include "foundation/utilities.h"

namespace vtsetup {

namespace {

bool IsTrimmed(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsIdCharacter(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return std::isalnum(byte) != 0 || c == '-' || c == '.' || c == '_';
}

}  // namespace

std::string CompleteAdminId(std::string_view typed, std::string_view domain) {
  while (!typed.empty() && IsTrimmed(typed.front())) typed.remove_prefix(1);
  while (!typed.empty() && IsTrimmed(typed.back())) typed.remove_suffix(1);
  std::string id(typed);
  if (id.empty()) return id;
  if (id.find('@') == std::string::npos) id.append("@").append(domain);
  return id;
}

bool IsValidAdminId(std::string_view id) {
  const std::size_t at = id.find('@');
  if (at == std::string_view::npos || at == 0) return false;
  for (std::size_t i = 0; i < id.size(); ++i) {
    if (i != at && !IsIdCharacter(id[i])) return false;  // a second "@" fails here too
  }
  return true;
}

std::string SenderName(std::string_view id) { return std::string(id.substr(0, id.find('@'))); }

bool IsMailDesignClass(std::string_view design_class) {
  design_class = design_class.substr(0, kDesignClassChars);
  design_class = design_class.substr(0, design_class.find('/'));
  if (design_class.size() > 4) design_class = design_class.substr(design_class.size() - 4);
  return foundation::EqualsNoCase(design_class, "mail");
}

bool HasDatabaseExtension(std::string_view name) {
  if (name.size() < 4) return false;
  const std::string_view extension = name.substr(name.size() - 4);
  return foundation::EqualsNoCase(extension, ".nsf") || foundation::EqualsNoCase(extension, ".ntf");
}

std::string DatabaseBaseName(std::string_view path) {
  std::string directory;
  std::string file_name;
  foundation::SplitPath(path, directory, file_name);
  const std::size_t dot = file_name.rfind('.');
  if (dot != std::string::npos) file_name.resize(dot);
  return file_name;
}

std::vector<std::string> SplitList(std::string_view text) {
  std::vector<std::string> entries;
  if (text.empty()) return entries;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = text.find(',', start);
    entries.emplace_back(text.substr(start, comma - start));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return entries;
}

std::string LowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

}  // namespace vtsetup
