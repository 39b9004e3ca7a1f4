// mail.cpp - the mail calls: header items by number, classification, attachments by number,
// body text out to a file and in from a file, body items built line by line, MIME bodies.
//
// Rich text is stored as paragraphs (see notes_nsf.h); one body may span several items of
// the same name, each kept under kRichTextItemBytes, as a long body is in a real mail file.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "platform/notes/notes_internal.h"

namespace notes_internal {
namespace {

constexpr WORD kParagraphRecord = 0x0001;
constexpr size_t kRichTextItemBytes = 60000;
constexpr const char* kDefaultBodyItem = "Body";

const char* HeaderItemName(WORD code) {
  switch (code) {
    case MAIL_SENDTO_ITEM_NUM: return MAIL_SENDTO_ITEM;
    case MAIL_COPYTO_ITEM_NUM: return MAIL_COPYTO_ITEM;
    case MAIL_FROM_ITEM_NUM: return MAIL_FROM_ITEM;
    case MAIL_SUBJECT_ITEM_NUM: return MAIL_SUBJECT_ITEM;
    case MAIL_COMPOSEDDATE_ITEM_NUM: return MAIL_COMPOSEDDATE_ITEM;
    case MAIL_POSTEDDATE_ITEM_NUM: return MAIL_POSTEDDATE_ITEM;
    case MAIL_BODY_ITEM_NUM: return MAIL_BODY_ITEM;
    case MAIL_INTENDEDRECIPIENT_ITEM_NUM: return MAIL_INTENDEDRECIPIENT_ITEM;
    case MAIL_FAILUREREASON_ITEM_NUM: return MAIL_FAILUREREASON_ITEM;
    case MAIL_RECIPIENTS_ITEM_NUM: return MAIL_RECIPIENTS_ITEM;
    case MAIL_ROUTINGSTATE_ITEM_NUM: return "RoutingState";
    case MAIL_FORM_ITEM_NUM: return MAIL_FORM_ITEM;
    case MAIL_SAVED_FORM_ITEM_NUM: return "SavedForm";
    case MAIL_BLINDCOPYTO_ITEM_NUM: return MAIL_BLINDCOPYTO_ITEM;
    default: return nullptr;
  }
}

std::vector<std::string> SplitLines(std::string_view text, std::string_view delimiters) {
  std::vector<std::string> lines;
  std::string line;
  bool open = false;  // text after the last delimiter
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (delimiters.find(c) == std::string_view::npos) {
      line += c;
      open = true;
      continue;
    }
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n' &&
        delimiters.find('\n') != std::string_view::npos) {
      ++i;
    }
    lines.push_back(std::move(line));
    line.clear();
    open = false;
  }
  if (open) lines.push_back(std::move(line));
  return lines;
}

std::vector<std::uint8_t> EncodeParagraphs(const std::vector<std::string>& paragraphs,
                                           size_t begin, size_t end) {
  std::vector<std::uint8_t> out;
  for (size_t i = begin; i < end; ++i) {
    PutWord(&out, kParagraphRecord);
    PutWord(&out, static_cast<WORD>(paragraphs[i].size()));
    out.insert(out.end(), paragraphs[i].begin(), paragraphs[i].end());
  }
  return out;
}

// Appends paragraphs to the body as rich text items; a text body is turned into rich text
// first so the order of the text is kept.
void AppendRichText(Note& note, const std::string& name, std::vector<std::string> paragraphs) {
  // A paragraph record holds at most MAXWORD bytes; longer lines continue in the next one.
  std::vector<std::string> records;
  for (std::string& paragraph : paragraphs) {
    if (paragraph.size() <= kRichTextItemBytes) {
      records.push_back(std::move(paragraph));
      continue;
    }
    for (size_t at = 0; at < paragraph.size(); at += kRichTextItemBytes) {
      records.push_back(paragraph.substr(at, kRichTextItemBytes));
    }
  }
  Item* text_body = FindItem(note, name);
  if (text_body != nullptr && text_body->Type() == TYPE_TEXT) {
    bool found = false;
    std::vector<std::string> old = BodyParagraphs(note, name, &found);
    RemoveItems(note, name);
    records.insert(records.begin(), old.begin(), old.end());
  }
  size_t begin = 0;
  while (begin < records.size()) {
    size_t end = begin;
    size_t bytes = 0;
    while (end < records.size() && (end == begin || bytes + 4 + records[end].size() <= kRichTextItemBytes)) {
      bytes += 4 + records[end].size();
      ++end;
    }
    std::vector<std::uint8_t> value = EncodeParagraphs(records, begin, end);
    AppendItem(note, name, 0, TYPE_COMPOSITE,
               std::string_view(reinterpret_cast<const char*>(value.data()), value.size()));
    begin = end;
  }
}

void WrapParagraph(std::string_view text, size_t width, std::string_view delimiter,
                   std::string* out) {
  if (width == 0) {
    out->append(text);
    out->append(delimiter);
    return;
  }
  while (text.size() > width) {
    size_t cut = text.rfind(' ', width);
    std::string_view line;
    if (cut == std::string_view::npos || cut == 0) {
      line = text.substr(0, width);
      text.remove_prefix(width);
    } else {
      line = text.substr(0, cut);
      text.remove_prefix(cut + 1);
    }
    while (!line.empty() && line.back() == ' ') line.remove_suffix(1);
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    out->append(line);
    out->append(delimiter);
  }
  out->append(text);
  out->append(delimiter);
}

std::string ExpandTabs(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c != '\t') {
      out += c;
      continue;
    }
    do {
      out += ' ';
    } while (out.size() % 8 != 0);
  }
  return out;
}

}  // namespace

std::vector<std::string> BodyParagraphs(const Note& note, std::string_view name, bool* found_r) {
  std::vector<std::string> paragraphs;
  *found_r = false;
  for (const Item& item : note.items) {
    if (!EqualNoCase(item.name, name)) continue;
    std::string_view data = item.Data();
    if (item.Type() == TYPE_TEXT) {
      *found_r = true;
      std::vector<std::string> lines = SplitLines(data, std::string_view("\r\n\0", 3));
      paragraphs.insert(paragraphs.end(), lines.begin(), lines.end());
    } else if (item.Type() == TYPE_COMPOSITE) {
      *found_r = true;
      auto bytes = reinterpret_cast<const std::uint8_t*>(data.data());
      size_t at = 0;
      while (at + 4 <= data.size()) {
        WORD record = GetWord(bytes + at);
        size_t length = GetWord(bytes + at + 2);
        if (at + 4 + length > data.size()) break;
        if (record == kParagraphRecord) paragraphs.emplace_back(data.substr(at + 4, length));
        at += 4 + length;
      }
    }
  }
  return paragraphs;
}

}  // namespace notes_internal

using namespace notes_internal;

STATUS MailGetMessageItem(NOTEHANDLE message, WORD item_code, char* string_r, WORD string_size,
                          WORD* string_len_r) {
  if (string_r != nullptr && string_size > 0) string_r[0] = '\0';
  if (string_len_r != nullptr) *string_len_r = 0;
  const char* name = HeaderItemName(item_code);
  if (name == nullptr) return ERR_MAIL_BAD_ITEM_CODE;
  LockedNote locked;
  if (STATUS status = LockNote(message, &locked); status != NOERROR) return status;
  Item* item = FindItem(*locked.note, name);
  std::string text;
  if (item != nullptr) {
    switch (item->Type()) {
      case TYPE_TEXT:
        text = std::string(item->Data());
        break;
      case TYPE_TEXT_LIST: {
        std::vector<std::string> entries;
        if (!DecodeTextList(item->Data(), &entries)) return ERR_BAD_VALUE;
        for (size_t i = 0; i < entries.size(); ++i) {
          if (i > 0) text += ", ";
          text += entries[i];
        }
        break;
      }
      case TYPE_TIME: {
        TIMEDATE time;
        if (item->Data().size() < sizeof time) return ERR_BAD_VALUE;
        std::memcpy(&time, item->Data().data(), sizeof time);
        char buffer[64];
        WORD length = 0;
        if (ConvertTIMEDATEToText(nullptr, nullptr, &time, buffer, sizeof buffer, &length) ==
            NOERROR) {
          text.assign(buffer, length);
        }
        break;
      }
      case TYPE_COMPOSITE: {
        bool found = false;
        for (const std::string& paragraph : BodyParagraphs(*locked.note, name, &found)) {
          if (!text.empty()) text += "\r\n";
          text += paragraph;
        }
        break;
      }
      default:
        break;
    }
  }
  WORD length = CopyOut(text, string_r, string_size);
  if (string_len_r != nullptr) *string_len_r = length;
  return NOERROR;
}

STATUS MailGetMessageItemTimeDate(NOTEHANDLE message, WORD item_code, TIMEDATE* time_r) {
  const char* name = HeaderItemName(item_code);
  if (name == nullptr) return ERR_MAIL_BAD_ITEM_CODE;
  NotePtr note;
  if (STATUS status = FindNote(message, &note); status != NOERROR) return status;
  return NSFItemGetTime(message, name, time_r) ? NOERROR : ERR_ITEM_NOT_FOUND;
}

STATUS MailReplaceHeaderItem(NOTEHANDLE message, WORD item_code, const char* value,
                             WORD value_len) {
  const char* name = HeaderItemName(item_code);
  if (name == nullptr) return ERR_MAIL_BAD_ITEM_CODE;
  return NSFItemSetText(message, name, value == nullptr ? "" : value,
                        value == nullptr ? 0 : value_len);
}

BOOL MailIsNonDeliveryReport(NOTEHANDLE message) {
  LockedNote locked;
  if (LockNote(message, &locked) != NOERROR) return FALSE;
  Note& note = *locked.note;
  if (FindItem(note, MAIL_FAILUREREASON_ITEM) != nullptr) return TRUE;
  Item* form = FindItem(note, MAIL_FORM_ITEM);
  if (form != nullptr && form->Type() == TYPE_TEXT &&
      EqualNoCase(form->Data(), "NonDelivery Report")) {
    return TRUE;
  }
  return FALSE;
}

WORD MailGetMessageClass(NOTEHANDLE message) {
  LockedNote locked;
  if (LockNote(message, &locked) != NOERROR) return MAIL_CLASS_NOT_MAIL;
  Note& note = *locked.note;
  if ((note.note_class & NOTE_CLASS_DOCUMENT) == 0) return MAIL_CLASS_NOT_MAIL;
  if (FindItem(note, MAIL_RECIPIENTS_ITEM) == nullptr &&
      FindItem(note, MAIL_SENDTO_ITEM) == nullptr) {
    return MAIL_CLASS_NOT_MAIL;
  }
  Item* form = FindItem(note, MAIL_FORM_ITEM);
  std::string_view form_name = form != nullptr && form->Type() == TYPE_TEXT ? form->Data() : "";
  if (FindItem(note, MAIL_FAILUREREASON_ITEM) != nullptr ||
      EqualNoCase(form_name, "NonDelivery Report") || EqualNoCase(form_name, "Delivery Report")) {
    return MAIL_CLASS_REPORT;
  }
  if (EqualNoCase(form_name, "Return Receipt")) return MAIL_CLASS_RECEIPT;
  return MAIL_CLASS_MEMO;
}

BOOL MailGetMessageAttachmentInfo(NOTEHANDLE message, WORD attachment_num, BLOCKID* item_r,
                                  char* file_name_r, DWORD* file_size_r,
                                  WORD* file_attributes_r, WORD* file_host_type_r,
                                  TIMEDATE* file_created_r, TIMEDATE* file_modified_r) {
  LockedNote locked;
  if (LockNote(message, &locked) != NOERROR) return FALSE;
  WORD seen = 0;
  for (const Item& item : locked.note->items) {
    FILEOBJECT object;
    std::string name;
    if (item.Type() != TYPE_OBJECT || !EqualNoCase(item.name, MAIL_FILE_ITEM) ||
        !DecodeFileObject(item.Data(), &object, &name)) {
      continue;
    }
    if (seen++ != attachment_num) continue;
    if (item_r != nullptr) *item_r = BLOCKID{message, item.serial};
    if (file_name_r != nullptr) CopyOut(name, file_name_r, MAXPATH);
    if (file_size_r != nullptr) {
      unsigned long long size = item.object ? item.object->size : object.FileSize;
      *file_size_r = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
    }
    if (file_attributes_r != nullptr) *file_attributes_r = object.FileAttributes;
    if (file_host_type_r != nullptr) *file_host_type_r = object.HostType;
    if (file_created_r != nullptr) *file_created_r = object.FileCreated;
    if (file_modified_r != nullptr) *file_modified_r = object.FileModified;
    return TRUE;
  }
  return FALSE;
}

STATUS MailExtractMessageAttachment(NOTEHANDLE message, BLOCKID item, const char* file_path) {
  return NSFNoteExtractFile(message, item, file_path, nullptr);
}

STATUS MailGetMessageBodyText(NOTEHANDLE message, const char* body_item_name,
                              const char* line_delimiter, WORD line_length, BOOL convert_tabs,
                              const char* output_file, DWORD* file_size_r) {
  if (file_size_r != nullptr) *file_size_r = 0;
  if (output_file == nullptr || *output_file == '\0') return ERR_BAD_PARAM;
  std::vector<std::string> paragraphs;
  {
    LockedNote locked;
    if (STATUS status = LockNote(message, &locked); status != NOERROR) return status;
    bool found = false;
    paragraphs = BodyParagraphs(*locked.note,
                                body_item_name != nullptr ? body_item_name : kDefaultBodyItem,
                                &found);
    if (!found) return ERR_MAIL_NO_BODY;
  }
  std::string_view delimiter = line_delimiter != nullptr ? line_delimiter : "\r\n";
  std::string text;
  for (const std::string& paragraph : paragraphs) {
    WrapParagraph(convert_tabs ? ExpandTabs(paragraph) : paragraph, line_length, delimiter, &text);
  }
  std::ofstream out(output_file, std::ios::binary | std::ios::trunc);
  if (!out) return ERR_FILE_IO;
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  if (!out) return ERR_FILE_IO;
  if (file_size_r != nullptr) {
    *file_size_r = static_cast<DWORD>(std::min<size_t>(text.size(), MAXDWORD));
  }
  return NOERROR;
}

STATUS MailAddMessageBodyText(NOTEHANDLE message, const char* body_item_name,
                              const char* input_file, DWORD font_id,
                              const char* line_delimiters, WORD paragraph_delims,
                              void* nls_info) {
  if (input_file == nullptr || *input_file == '\0') return ERR_BAD_PARAM;
  NotePtr note;
  if (STATUS status = FindNote(message, &note); status != NOERROR) return status;
  std::ifstream in(input_file, std::ios::binary);
  if (!in) return ERR_NOEXIST;
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return ERR_FILE_IO;
  std::string_view delimiters = line_delimiters != nullptr && *line_delimiters != '\0'
                                    ? std::string_view(line_delimiters)
                                    : std::string_view("\r\n\x1a");
  std::lock_guard<std::recursive_mutex> lock(note->mutex);
  AppendRichText(*note, body_item_name != nullptr ? body_item_name : kDefaultBodyItem,
                 SplitLines(text, delimiters));
  return NOERROR;
}

STATUS MailAddMessageBodyTextExt(NOTEHANDLE message, const char* body_item_name,
                                 const char* input_file, DWORD font_id,
                                 const char* line_delimiters, WORD paragraph_delims,
                                 void* nls_info) {
  return MailAddMessageBodyText(message, body_item_name, input_file, font_id, line_delimiters,
                                paragraph_delims, nls_info);
}

STATUS MailCreateBodyItem(DHANDLE* body_item_r, DWORD* body_item_len_r) {
  if (body_item_r == nullptr) return ERR_BAD_PARAM;
  *body_item_r = NULLHANDLE;
  if (STATUS status = CheckThread(); status != NOERROR) return status;
  *body_item_r = AddHandle(std::make_shared<BodyItem>());
  if (body_item_len_r != nullptr) *body_item_len_r = 0;
  return NOERROR;
}

STATUS MailAppendBodyItemLine(DHANDLE body_item, DWORD* body_item_len, const char* text,
                              WORD text_len) {
  std::shared_ptr<BodyItem> item;
  if (STATUS status = FindBodyItem(body_item, &item); status != NOERROR) return status;
  if (text == nullptr && text_len != 0) return ERR_BAD_PARAM;
  item->paragraphs.emplace_back(text == nullptr ? "" : text, text_len);
  if (body_item_len != nullptr) *body_item_len += 4 + text_len;
  return NOERROR;
}

STATUS MailAddBodyItem(NOTEHANDLE message, DHANDLE body_item, DWORD body_item_len,
                       void* nls_info) {
  return MailAddBodyItemExt(message, body_item, body_item_len, kDefaultBodyItem, nls_info);
}

STATUS MailAddBodyItemExt(NOTEHANDLE message, DHANDLE body_item, DWORD body_item_len,
                          const char* body_item_name, void* nls_info) {
  std::shared_ptr<BodyItem> item;
  if (STATUS status = FindBodyItem(body_item, &item); status != NOERROR) return status;
  NotePtr note;
  if (STATUS status = FindNote(message, &note); status != NOERROR) return status;
  std::lock_guard<std::recursive_mutex> lock(note->mutex);
  AppendRichText(*note, body_item_name != nullptr ? body_item_name : kDefaultBodyItem,
                 item->paragraphs);
  return NOERROR;
}

STATUS VtNoteSetMimeBody(NOTEHANDLE handle, const char* item_name, const char* text,
                         DWORD text_len) {
  if (text == nullptr && text_len != 0) return ERR_BAD_PARAM;
  std::string name;
  if (item_name == nullptr) item_name = kDefaultBodyItem;
  if (STATUS status = CheckItemName(item_name, static_cast<WORD>(strnlen(item_name, MAXITEMNAME + 1)),
                                    &name);
      status != NOERROR) {
    return status;
  }
  LockedNote locked;
  if (STATUS status = LockNote(handle, &locked); status != NOERROR) return status;
  RemoveItems(*locked.note, name);
  // Parts of at most kMimePartMaxBytes: the stored header counts a part's bytes in 16 bits.
  size_t offset = 0;
  do {
    size_t length = std::min<size_t>(text_len - offset, kMimePartMaxBytes);
    MIME_PART part{};
    part.wVersion = MIME_PART_VERSION;
    part.cPartType = offset == 0 ? MIME_PART_MESSAGE : MIME_PART_BODY;
    part.wByteCount = static_cast<WORD>(length);
    std::vector<char> value(ODSLength(_MIME_PART) + length);
    void* at = value.data();
    ODSWriteMemory(&at, _MIME_PART, &part, 1);
    if (length > 0) std::memcpy(at, text + offset, length);
    AppendItem(*locked.note, name, ITEM_SUMMARY, TYPE_MIME_PART,
               std::string_view(value.data(), value.size()));
    offset += length;
  } while (offset < text_len);
  return NOERROR;
}

STATUS VtNoteGetMimeBody(NOTEHANDLE handle, const char* item_name, char* buffer_r,
                         DWORD buffer_len, DWORD* text_len_r) {
  if (text_len_r != nullptr) *text_len_r = 0;
  if (item_name == nullptr) item_name = kDefaultBodyItem;
  LockedNote locked;
  if (STATUS status = LockNote(handle, &locked); status != NOERROR) return status;
  std::string text;
  bool found = false;
  for (const Item& item : locked.note->items) {
    if (item.Type() != TYPE_MIME_PART || !EqualNoCase(item.name, item_name)) continue;
    found = true;
    std::string_view data = item.Data();
    if (data.size() < ODSLength(_MIME_PART)) return ERR_BAD_VALUE;
    void* at = const_cast<char*>(data.data());
    MIME_PART part;
    ODSReadMemory(&at, _MIME_PART, &part, 1);
    if (ODSLength(_MIME_PART) + static_cast<size_t>(part.wByteCount) > data.size()) {
      return ERR_BAD_VALUE;
    }
    text.append(static_cast<const char*>(at), part.wByteCount);
  }
  if (!found) return ERR_ITEM_NOT_FOUND;
  if (text_len_r != nullptr) *text_len_r = static_cast<DWORD>(text.size());
  if (buffer_r == nullptr) return NOERROR;
  if (text.size() > buffer_len) return ERR_BUFFER_TOO_SMALL;
  std::memcpy(buffer_r, text.data(), text.size());
  return NOERROR;
}
