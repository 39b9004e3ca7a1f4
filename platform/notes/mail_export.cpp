// mail_export.cpp - a mail note written back as an RFC 822 message (see mail_export.h).

#include "platform/notes/mail_export.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/notes/mail_import.h"
#include "platform/notes/mime_parts.h"
#include "platform/notes/notes_internal.h"
#include "platform/notes/notes_mail.h"

namespace mail_export {
namespace {

using namespace notes_internal;

constexpr const char* kLineEnd = "\r\n";

struct BodyPart {
  std::string text;         // the MIME text of the item
  std::string object_name;  // set for a part kept in an attachment object
  bool in_object = false;
};

// What the export needs of the note, copied under its lock so that no lock is held while
// content streams.
struct NoteView {
  std::string mail_headers;        // $MailHeaders
  std::vector<BodyPart> mime;      // Body items of TYPE_MIME_PART, in order
  bool has_other_body = false;     // a rich-text or text Body
  std::vector<std::string> paragraphs;
  struct File {
    std::string name;
    BLOCKID item{};
  };
  std::vector<File> files;         // $FILE items in order
};

STATUS ReadView(NOTEHANDLE handle, NoteView* view_r, std::string* error_r) {
  LockedNote locked;
  if (STATUS status = LockNote(handle, &locked); status != NOERROR) return status;
  Note& note = *locked.note;
  for (const Item& item : note.items) {
    if (EqualNoCase(item.name, mail_import::kMailHeadersItem) && item.Type() == TYPE_TEXT) {
      view_r->mail_headers.append(item.Data());
    } else if (EqualNoCase(item.name, MAIL_BODY_ITEM) && item.Type() == TYPE_MIME_PART) {
      std::string_view data = item.Data();
      if (data.size() < ODSLength(_MIME_PART)) {
        if (error_r != nullptr) *error_r = "a Body item is damaged";
        return ERR_BAD_VALUE;
      }
      void* at = const_cast<char*>(data.data());
      MIME_PART part{};
      ODSReadMemory(&at, _MIME_PART, &part, 1);
      data.remove_prefix(ODSLength(_MIME_PART));
      if (part.wByteCount > data.size()) {
        if (error_r != nullptr) *error_r = "a Body item is damaged";
        return ERR_BAD_VALUE;
      }
      BodyPart body;
      body.text.assign(data.substr(0, part.wByteCount));
      if ((part.dwFlags & MIME_PART_BODY_IN_DBOBJECT) != 0) {
        body.in_object = true;
        body.object_name.assign(data.substr(part.wByteCount));
      }
      view_r->mime.push_back(std::move(body));
    } else if (EqualNoCase(item.name, MAIL_FILE_ITEM) && item.Type() == TYPE_OBJECT) {
      FILEOBJECT object;
      std::string name;
      if (DecodeFileObject(item.Data(), &object, &name)) {
        view_r->files.push_back({name, BLOCKID{handle, item.serial}});
      }
    }
  }
  bool found = false;
  view_r->paragraphs = BodyParagraphs(note, MAIL_BODY_ITEM, &found);
  view_r->has_other_body = found;
  return NOERROR;
}

std::string ItemText(NOTEHANDLE note, const char* name) {
  char text[MAXWORD] = "";
  WORD length = 0;
  WORD code = 0;
  if (std::strcmp(name, MAIL_FROM_ITEM) == 0) code = MAIL_FROM_ITEM_NUM;
  else if (std::strcmp(name, MAIL_SENDTO_ITEM) == 0) code = MAIL_SENDTO_ITEM_NUM;
  else if (std::strcmp(name, MAIL_COPYTO_ITEM) == 0) code = MAIL_COPYTO_ITEM_NUM;
  else if (std::strcmp(name, MAIL_SUBJECT_ITEM) == 0) code = MAIL_SUBJECT_ITEM_NUM;
  else return std::string(text, NSFItemGetText(note, name, text, sizeof text));
  if (MailGetMessageItem(note, code, text, sizeof text, &length) != NOERROR) return {};
  return std::string(text, length);
}

// A header value as it may stand in a header line: line ends removed, and text that is not
// ASCII as an RFC 2047 encoded word.
std::string HeaderValue(std::string_view value) {
  std::string flat;
  bool ascii = true;
  for (char c : value) {
    if (c == '\r' || c == '\n') continue;
    if (static_cast<unsigned char>(c) >= 0x80) ascii = false;
    flat += c;
  }
  if (ascii) return flat;
  mime_parts::ContentEncoder encoder("base64", "");
  std::string encoded;
  encoder.Feed(flat, &encoded);
  encoder.Finish(&encoded);
  return "=?UTF-8?B?" + encoded + "?=";
}

std::string DateText(NOTEHANDLE note) {
  TIMEDATE posted{};
  if (!NSFItemGetTime(note, MAIL_POSTEDDATE_ITEM, &posted)) return {};
  std::time_t seconds = static_cast<std::time_t>(VtTimeDateToUnix(posted));
  std::tm utc{};
  if (gmtime_r(&seconds, &utc) == nullptr) return {};
  char text[64];
  std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S +0000", &utc);
  return text;
}

// Header lines built from the mail's items, for a note that kept none of its own.
std::string HeaderFromItems(NOTEHANDLE note) {
  std::string header;
  auto line = [&header](const char* name, const std::string& value) {
    if (!value.empty()) header += std::string(name) + ": " + HeaderValue(value) + kLineEnd;
  };
  line("From", ItemText(note, MAIL_FROM_ITEM));
  line("To", ItemText(note, MAIL_SENDTO_ITEM));
  line("Cc", ItemText(note, MAIL_COPYTO_ITEM));
  line("Subject", ItemText(note, MAIL_SUBJECT_ITEM));
  line("Date", DateText(note));
  line("Message-ID", ItemText(note, MAIL_MESSAGEID_ITEM));
  line("X-Mailer", ItemText(note, MAIL_MAILER_ITEM));
  return header;
}

struct StreamContext {
  mime_parts::ContentEncoder* encoder;
  const MessageWriter* write;
  std::string encoded;
};

STATUS EncodePiece(void* raw, const char* data, DWORD size) {
  auto* context = static_cast<StreamContext*>(raw);
  context->encoded.clear();
  context->encoder->Feed(std::string_view(data, size), &context->encoded);
  return (*context->write)(context->encoded) ? STATUS{NOERROR} : ERR_FILE_IO;
}

// Streams an attachment's content through the encoder to write.
STATUS WriteContent(NOTEHANDLE note, BLOCKID item, std::string_view encoding,
                    std::string line_end, const MessageWriter& write) {
  mime_parts::ContentEncoder encoder(encoding, std::move(line_end));
  StreamContext context{&encoder, &write, {}};
  if (STATUS status = VtNoteReadFile(note, item, EncodePiece, &context); status != NOERROR) {
    return status;
  }
  std::string tail;
  encoder.Finish(&tail);
  return write(tail) ? STATUS{NOERROR} : ERR_FILE_IO;
}

const NoteView::File* FindFile(const NoteView& view, std::string_view name) {
  for (const NoteView::File& file : view.files) {
    if (EqualNoCase(file.name, name)) return &file;
  }
  return nullptr;
}

STATUS WriteMimeBody(NOTEHANDLE note, const NoteView& view, const MessageWriter& write,
                     std::string* error_r) {
  for (const BodyPart& part : view.mime) {
    if (!write(part.text)) return ERR_FILE_IO;
    if (!part.in_object) continue;
    const NoteView::File* file = FindFile(view, part.object_name);
    if (file == nullptr) {
      if (error_r != nullptr) *error_r = "the attachment " + part.object_name + " of a MIME part is missing";
      return ERR_OBJECT_MISSING;
    }
    mail_import::MailHeaders headers;
    std::string error;
    if (!mail_import::ParseMailHeaders(part.text, true, &headers, &error)) return ERR_BAD_VALUE;
    mime_parts::PartInfo info = mime_parts::ReadPartInfo(headers);
    std::string line_end = part.text.find("\r\n") != std::string::npos ? "\r\n" : "\n";
    if (STATUS status = WriteContent(note, file->item, info.encoding, line_end, write);
        status != NOERROR) {
      if (error_r != nullptr) *error_r = "the attachment " + part.object_name + " could not be read";
      return status;
    }
  }
  return NOERROR;
}

// A message built for a note whose body is rich text or plain text.
STATUS WriteBuiltBody(NOTEHANDLE note, const NoteView& view, const MessageWriter& write,
                      std::string* error_r) {
  NOTEID id = 0;
  NSFNoteGetInfo(note, _NOTE_ID, &id);
  const std::string boundary = "=_vt_" + std::to_string(id) + "_part";
  std::string text;
  for (const std::string& paragraph : view.paragraphs) text += paragraph + kLineEnd;
  std::string head = "MIME-Version: 1.0" + std::string(kLineEnd);
  const std::string text_header = "Content-Type: text/plain; charset=UTF-8" + std::string(kLineEnd) +
                                  "Content-Transfer-Encoding: quoted-printable" + kLineEnd;
  if (view.files.empty()) {
    head += text_header + kLineEnd;
  } else {
    head += "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"" + kLineEnd + kLineEnd;
    head += "--" + boundary + kLineEnd + text_header + kLineEnd;
  }
  mime_parts::ContentEncoder encoder("quoted-printable", kLineEnd);
  std::string body;
  encoder.Feed(text, &body);
  encoder.Finish(&body);
  if (!write(head) || !write(body)) return ERR_FILE_IO;
  for (const NoteView::File& file : view.files) {
    std::string name = HeaderValue(file.name);
    std::string part = std::string(kLineEnd) + "--" + boundary + kLineEnd +
                       "Content-Type: application/octet-stream; name=\"" + name + "\"" + kLineEnd +
                       "Content-Disposition: attachment; filename=\"" + name + "\"" + kLineEnd +
                       "Content-Transfer-Encoding: base64" + kLineEnd + kLineEnd;
    if (!write(part)) return ERR_FILE_IO;
    if (STATUS status = WriteContent(note, file.item, "base64", kLineEnd, write); status != NOERROR) {
      if (error_r != nullptr) *error_r = "the attachment " + file.name + " could not be read";
      return status;
    }
  }
  if (!view.files.empty() && !write(std::string(kLineEnd) + "--" + boundary + "--" + kLineEnd)) {
    return ERR_FILE_IO;
  }
  return NOERROR;
}

}  // namespace

STATUS ExportMail(NOTEHANDLE note, const MessageWriter& write, std::string* error_r) {
  NoteView view;
  if (STATUS status = ReadView(note, &view, error_r); status != NOERROR) return status;
  std::string header = view.mail_headers.empty() ? HeaderFromItems(note) : view.mail_headers;
  if (!write(header)) return ERR_FILE_IO;
  if (!view.mime.empty()) return WriteMimeBody(note, view, write, error_r);
  return WriteBuiltBody(note, view, write, error_r);
}

STATUS ExportMailFile(NOTEHANDLE note, const char* path, std::string* error_r) {
  if (path == nullptr || *path == '\0') return ERR_BAD_PARAM;
  int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (error_r != nullptr) *error_r = std::string(path) + ": " + std::strerror(errno);
    return ERR_FILE_IO;
  }
  auto write = [fd](std::string_view piece) {
    while (!piece.empty()) {
      ssize_t put = ::write(fd, piece.data(), piece.size());
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return false;
      piece.remove_prefix(static_cast<size_t>(put));
    }
    return true;
  };
  STATUS status = ExportMail(note, write, error_r);
  if (::close(fd) != 0 && status == NOERROR) status = ERR_FILE_IO;
  if (status != NOERROR) {
    if (error_r != nullptr && error_r->empty()) *error_r = std::string(path) + ": write failed";
    ::unlink(path);
  }
  return status;
}

}  // namespace mail_export
