// directory.cpp - reading the person documents of names.nsf.
#include "platform/server/directory.h"

#include <cctype>
#include <system_error>

#include "platform/notes/mail_import.h"

namespace vtserver {
namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::vector<std::string> TextList(NOTEHANDLE note, const char* name) {
  std::vector<std::string> values;
  WORD count = NSFItemGetTextListEntries(note, name);
  for (WORD i = 0; i < count; ++i) {
    char value[MAXUSERNAME] = "";
    WORD length = NSFItemGetTextListEntry(note, name, i, value, sizeof value);
    if (length > 0) values.emplace_back(value, length);
  }
  return values;
}

// "CN=Alice Smith/O=Example" -> "Alice Smith"; other names unchanged.
std::string CommonName(const std::string& name) {
  if (name.size() < 3 || Lower(name.substr(0, 3)) != "cn=") return name;
  size_t slash = name.find('/');
  return name.substr(3, slash == std::string::npos ? std::string::npos : slash - 3);
}

struct SearchContext {
  DBHANDLE db;
  std::vector<Person>* people;
  std::map<std::string, size_t>* index;
};

STATUS ReadPerson(void* context_ptr, SEARCH_MATCH* match, ITEM_TABLE*) {
  auto* context = static_cast<SearchContext*>(context_ptr);
  if (!(match->SERetFlags & SE_FMATCH)) return NOERROR;
  NOTEHANDLE note = NULLHANDLE;
  if (NSFNoteOpen(context->db, match->ID.NoteID, OPEN_DEFAULT, &note) != NOERROR) {
    return NOERROR;  // deleted meanwhile: not a person any more
  }
  char form[64] = "";
  (void)NSFItemGetText(note, "Form", form, sizeof form);
  if (Lower(form) == "person") {
    Person person;
    std::vector<std::string> full_names = TextList(note, "FullName");
    char text[MAXPATH] = "";
    if (NSFItemGetText(note, "MailFile", text, sizeof text) > 0) person.mail_file = text;
    if (NSFItemGetText(note, "InternetAddress", text, sizeof text) > 0)
      person.internet_address = text;
    std::vector<std::string> keys;
    for (const std::string& name : full_names) {
      keys.push_back(name);
      keys.push_back(CommonName(name));
    }
    for (const std::string& name : TextList(note, "ShortName")) keys.push_back(name);
    if (!person.internet_address.empty()) keys.push_back(person.internet_address);
    if (!full_names.empty()) person.full_name = full_names.front();
    size_t position = context->people->size();
    context->people->push_back(person);
    // A name two people share stays with the first: the directory should not hold such.
    for (const std::string& key : keys) context->index->emplace(Lower(key), position);
  }
  (void)NSFNoteClose(note);
  return NOERROR;
}

}  // namespace

STATUS Directory::Reload() {
  char data[MAXPATH] = "";
  OSGetDataDirectory(data);
  std::error_code error;
  std::filesystem::path file = std::filesystem::path(data) / names_path_;
  auto time = std::filesystem::last_write_time(file, error);
  if (error) return ERR_NOEXIST;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (loaded_ && time == loaded_time_) return NOERROR;
  }
  DBHANDLE db = NULLHANDLE;
  STATUS status = NSFDbOpen(names_path_.c_str(), &db);
  if (status != NOERROR) return status;
  std::vector<Person> people;
  std::map<std::string, size_t> index;
  SearchContext context{db, &people, &index};
  status = NSFSearch(db, NULLHANDLE, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, ReadPerson,
                     &context, nullptr);
  (void)NSFDbClose(db);
  if (status != NOERROR) return status;
  std::lock_guard<std::mutex> lock(mutex_);
  people_ = std::move(people);
  index_ = std::move(index);
  loaded_time_ = time;
  loaded_ = true;
  return NOERROR;
}

std::optional<Person> Directory::Lookup(const std::string& address) const {
  std::string key = Lower(mail_import::BareAddress(address));
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = index_.find(key);
  if (found == index_.end()) return std::nullopt;
  return people_[found->second];
}

bool Directory::Loaded() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return loaded_;
}

size_t Directory::PersonCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return people_.size();
}

}  // namespace vtserver
