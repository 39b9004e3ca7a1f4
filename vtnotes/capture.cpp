// capture.cpp - see capture.h.
#include "vtnotes/capture.h"

#include <cstring>
#include <new>

#include "foundation/log.h"
#include "foundation/named_objects.h"
#include "foundation/spool_line.h"
#include "foundation/utilities.h"
#include "foundation/uuencode.h"
#include "mime/body_struct.h"
#include "mime/text_extract.h"
#include "platform/win32/windows.h"
#include "vtnotes/vtnotes_log.h"

namespace vtnotes {
namespace {

constexpr std::size_t kSubjectBytes = 999;
constexpr std::size_t kFromBytes = 257;
constexpr std::size_t kMailerBytes = 256;

struct ScanContext {
  NOTEHANDLE note = NULLHANDLE;
  MailInfo* info = nullptr;
  const std::string* job_id = nullptr;
};

// Writes the body text of the note to 0.bdy and drops 0.bdx: a body stored as rich or
// plain text has no raw MIME form.
STATUS NoteWork(ScanContext& context, const char* failure) try {
  if (context.note == NULLHANDLE || context.info->body_path.empty()) {
    Log("ERROR!!! NoteWork()...Neither hNote or Filename is NULL");
    return 1;
  }
  DWORD size = 0;
  STATUS status = MailGetMessageBodyText(context.note, MAIL_BODY_ITEM, "\r\n", 80, FALSE,
                                         context.info->body_path.c_str(), &size);
  if (status != NOERROR) {
    foundation::LogStatus(status);
    Log("ERROR!!! MailGetMessageBodyText...Reason above");
    Log("%s", failure);
    return status;
  }
  DeleteFile(context.info->raw_body_path.c_str());
  return NOERROR;
} catch (...) {
  Always("ERROR!!! Notework fails");
  return 1;
}

// Appends one stored MIME part to 0.bdx: its text for a Body part, nothing for others.
STATUS DumpMimePart(ScanContext& context, const char* name, const BYTE* value,
                    DWORD value_len) try {
  if (value == nullptr || value_len < sizeof(WORD)) {
    Log("DumpMimePart()...Neither Any one of Input Parameter is NULL");
    return 1;
  }
  // The file is created for any MIME part, so that its presence says "MIME body".
  foundation::UniqueHandle file(CreateFile(context.info->raw_body_path.c_str(), GENERIC_WRITE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    SystemErrorLine();
    Log("ERROR!!! DumpOneItem()...%s Unable to Create Reason above",
        context.info->raw_body_path.c_str());
    return 1;
  }
  if (lstrcmpi(name, MAIL_BODY_ITEM) != 0) return NOERROR;
  const WORD header_len = ODSLength(_MIME_PART);
  if (value_len < sizeof(WORD) + header_len) return NOERROR;
  MIME_PART part{};
  void* cursor = const_cast<BYTE*>(value + sizeof(WORD));
  ODSReadMemory(&cursor, _MIME_PART, &part, 1);
  // Bounded by what the item really holds, whatever its header claims.
  DWORD available = value_len - sizeof(WORD) - header_len;
  DWORD count = std::min<DWORD>(part.wByteCount, available);
  SetFilePointer(file.get(), 0, nullptr, FILE_END);
  DWORD written = 0;
  if (!WriteFile(file.get(), value + sizeof(WORD) + header_len, count, &written, nullptr) ||
      written != count) {
    SystemErrorLine();
    Log("ERROR!!! PrintItemString()...Error in WriteFile");
    return 1;
  }
  return NOERROR;
} catch (...) {
  Always("ERROR!!! in DumpMimePart...");
  return 1;
}

// Files yEnc- or BinHex-encoded into the mail's text become attachments of the job, so that
// the engine scans the files a mail client decodes. A body that cannot be rewritten is
// scanned as it stands.
void ConvertEncodedText(const MailInfo& info, const std::string& in_job_dir, const char* id) {
  bool found = false;
  if (foundation::ConvertEncodedBodyText(in_job_dir, &found) != 0) {
    SystemErrorLine();
    Always("[%s] ERROR!!! ConvertEncodedBodyText %s fails; its text is scanned as it is", id,
           info.body_path.c_str());
  } else if (found) {
    Log("[%s] Encoded files in %s converted to attachments", id, info.body_path.c_str());
  }
}

STATUS DumpOneItem(WORD, WORD, char* name, WORD name_len, void* value, DWORD value_len,
                   void* raw_context) {
  ScanContext& context = *static_cast<ScanContext*>(raw_context);
  try {
    std::string item(name, name_len);
    Trace("Item Name = %s", item.c_str());
    if (value == nullptr || value_len < sizeof(WORD)) return NOERROR;
    WORD type = 0;
    std::memcpy(&type, value, sizeof type);
    if ((type == TYPE_COMPOSITE || type == TYPE_TEXT) && lstrcmpi(item.c_str(), "Body") == 0) {
      return NoteWork(context, type == TYPE_COMPOSITE ? "ERROR!!! DumpOneItem()...NoteWork Fails"
                                                      : "ERROR!!! DumpOneItem()...Error in NoteWork");
    }
    if (type == TYPE_MIME_PART)
      return DumpMimePart(context, item.c_str(), static_cast<const BYTE*>(value), value_len);
    if (type == TYPE_TEXT_LIST && lstrcmpi(item.c_str(), "recipients") == 0) {
      std::string joined;
      try {
        joined = DumpTextListItem(value, value_len);
      } catch (const std::bad_alloc&) {
        Always("ERROR!!! NSFItemScan()...malloc Error");
        return 1;
      }
      if (!context.info->recipients.empty() && !joined.empty()) context.info->recipients += ',';
      context.info->recipients += joined;
    }
    return NOERROR;
  } catch (...) {
    Always("ERROR!!! in DumpOneItem");
    return 1;
  }
}

}  // namespace

std::string DumpTextListItem(const void* value, DWORD value_len) try {
  if (value == nullptr || value_len <= sizeof(WORD) * 2) {
    Log("ERROR!!! DumpTextListItem()...Neither pData is NULL or length is 0");
    return {};
  }
  const BYTE* bytes = static_cast<const BYTE*>(value) + sizeof(WORD);
  DWORD length = value_len - sizeof(WORD);
  WORD count = 0;
  std::memcpy(&count, bytes, sizeof count);
  // Lengths and texts must lie inside the value; a damaged list ends where it stops fitting.
  std::size_t texts_at = sizeof(WORD) * (1 + static_cast<std::size_t>(count));
  if (texts_at > length) return {};
  std::string joined;
  std::size_t offset = texts_at;
  for (WORD i = 0; i < count; ++i) {
    WORD entry_len = 0;
    std::memcpy(&entry_len, bytes + sizeof(WORD) * (1 + i), sizeof entry_len);
    if (entry_len == 0 || offset + entry_len > length) break;
    std::string field;
    for (WORD j = 0; j < entry_len; ++j) {
      char c = static_cast<char>(bytes[offset + j]);
      if (c == '\r' || c == '\n' || c == '\f' || c == '\0') field.clear();
      else field += c;
    }
    offset += entry_len;
    if (!joined.empty()) joined += ',';
    joined += field;
  }
  return joined;
} catch (const std::bad_alloc&) {
  throw;  // the caller stops the item scan
} catch (...) {
  Always("ERROR!!! in DumpTextlistItem");
  return {};
}

std::string ReduceFromAddress(const std::string& from) {
  if (from.empty() || foundation::StartsWithNoCase(from, "CN=")) return from;
  std::string gathered;
  bool quoted = false;
  for (char c : from) {
    if (c == '"') {
      quoted = !quoted;
      continue;
    }
    if (quoted || c == ' ') continue;
    if (c == '(' || c == '>') break;
    if (c == '<') {
      gathered.clear();
      continue;
    }
    gathered += c;
  }
  return gathered.empty() ? from : gathered;
}

bool IsMailComeFromLotusNotesClient(NOTEHANDLE note, const std::string& job_id, bool log) {
  const char* id = job_id.c_str();
  if (note == NULLHANDLE) {
    if (log) Always("[%s] ERROR!!! IsMailComeFromLotusNotesClient Input Parameter is emtpy", id);
    return false;
  }
  char flag[16] = {};
  if (NSFItemGetText(note, "$SMTPNotFromNotes", flag, sizeof flag) > 0 && flag[0] == '1') {
    if (log)
      Always("[%s] This Note has \"$SMTPNotFromNotes=1\" Entry.  So we are ***NOT*** adding "
             "disclaimer.",
             id);
    return false;
  }
  if (!NSFItemIsPresent(note, MAIL_MAILER_ITEM, static_cast<WORD>(std::strlen(MAIL_MAILER_ITEM)))) {
    if (log)
      Always("[%s] This Note doesn't have \"$Mailer\" Entry.  So we are ***NOT*** adding "
             "disclaimer.",
             id);
    return false;
  }
  char mailer[kMailerBytes + 1] = {};
  if (NSFItemGetText(note, MAIL_MAILER_ITEM, mailer, sizeof mailer) == 0) {
    if (log)
      Always("[%s] This Note doesn't have \"$Mailer\" Entry (or) variable is empty.  So we are "
             "***NOT*** adding disclaimer.",
             id);
    return false;
  }
  return _strnicmp(mailer, "Lotus Notes", 11) == 0;
}

int ExtractAttachment(NOTEHANDLE note, const std::string& in_job_dir, const std::string& job_id,
                      std::unique_ptr<MailInfo>& info_r) {
  const char* id = job_id.c_str();
  if (note == NULLHANDLE || in_job_dir.empty()) {
    Always("[%s] %s", id, "ERROR!!! ExtractAttachment()...Neither hMessage or Path is NULL");
    return 1;
  }
  try {
    std::unique_ptr<MailInfo> info(new (std::nothrow) MailInfo());
    if (!info) {
      Always("[%s] %s", id, "ERROR!!! (1) ExtractAttachment()...Not Enough Memory");
      return 1;
    }
    for (WORD number = 0;; ++number) {
      BLOCKID item{};
      char name[MAXPATH] = {};
      DWORD size = 0;
      if (!MailGetMessageAttachmentInfo(note, number, &item, name, &size, nullptr, nullptr,
                                        nullptr, nullptr))
        break;
      std::string path = JoinPath(in_job_dir, std::to_string(number) + ".ATT");
      STATUS status = MailExtractMessageAttachment(note, item, path.c_str());
      if (status == NOERROR) {
        Always("[%s] Found attachment: %s (%ld). Extraction successful.", id, name,
               static_cast<long>(size));
        try {
          info->attachments.push_back({name, path});
        } catch (const std::bad_alloc&) {
          Always("[%s] %s", id,
                 "ERROR!!! (3) ExtractAttachment()...Not Enough Memory For Attachment");
          Always("[%s] %s", id,
                 "ERROR!!! in Extract Attachment, so Removeing memory and  Exiting the Function");
          return 1;
        }
      } else {
        Always("[%s] Found attachment: %s (%ld). Extraction not successful!!!", id, name,
               static_cast<long>(size));
        foundation::LogStatus(status);
        Always("[%s] %s", id, "Reason for non-extraction shown above...");
      }
      if (number == MAXWORD) break;
    }
    info_r = std::move(info);
    return 0;
  } catch (...) {
    Always("[%s] %s", id, "ERROR!!! in Extract Attachment caught by catch");
    return 1;
  }
}

int FetchBody(NOTEHANDLE note, MailInfo& info, const std::string& in_job_dir,
              const std::string& job_id) {
  const char* id = job_id.c_str();
  if (note == NULLHANDLE || in_job_dir.empty()) {
    Log("ERROR!!! %sFetchBody()...NeitherNot or Path is NULL", id);
    return 1;
  }
  try {
    info.body_path = JoinPath(in_job_dir, "0.bdy");
    info.raw_body_path = JoinPath(in_job_dir, "0.bdx");

    char subject[kSubjectBytes + 1] = {};
    WORD length = 0;
    (void)MailGetMessageItem(note, MAIL_SUBJECT_ITEM_NUM, subject, sizeof subject, &length);
    info.subject = std::string(subject).substr(0, kMaxSubjectChars);
    Trace("Subject Successfully Received");
    // The log holds one line per entry too: a subject cannot write lines of its own there.
    Always("[%s] Subject: %s", id, foundation::OneLineValue(info.subject).c_str());

    char from[kFromBytes] = {};
    (void)MailGetMessageItem(note, MAIL_FROM_ITEM_NUM, from, sizeof from, &length);
    Always("[%s] From: %s", id, foundation::OneLineValue(from).c_str());
    info.from = ReduceFromAddress(from).substr(0, kMaxFromChars);
    Trace("FROM Successfully Received");

    info.notes_client = IsMailComeFromLotusNotesClient(note, job_id, false);

    ScanContext context{note, &info, &job_id};
    STATUS status = NSFItemScan(note, DumpOneItem, &context);
    if (status != NOERROR) {
      Log("ERROR!!! %sFetchBody()...Error in NSFITEMSCAN", id);
      return 0;
    }
    Trace("NSFItemScan Successfully Received");

    if (!FileExists(info.raw_body_path)) {
      Trace("WARNING!!! File %s Not Found, So Exiting FetchBody Function",
            info.raw_body_path.c_str());
      if (FileExists(info.body_path)) ConvertEncodedText(info, in_job_dir, id);
      return 0;
    }
    Log("1-> %s IMAP_OpenFile START", id);
    std::unique_ptr<mime::MimeBody> tree = mime::IMAPBODY_openfile(info.raw_body_path);
    if (!tree) {
      Log("ERROR!!! IMAPBODY_FillStrcut return value \"final\" is NULL");
      return 1;
    }
    Log("1-> %s IMAP_OpenFile Success", id);
    int first = 1;
    int done = 0;
    if (mime::showBody(info.body_path, info.raw_body_path, tree.get(), first, done) != 0) {
      Log("ERROR!!! showBody return !=0");
      mime::ReleaseMimeBody(tree);
      return 1;
    }
    Log("1-> %s Show Body Completed", id);
    mime::ReleaseMimeBody(tree);

    std::int64_t body_size = SpoolFileSize(info.body_path);
    if (body_size > 0) {
      ConvertEncodedText(info, in_job_dir, id);
      return 0;
    }
    if (body_size < 0)
      Trace("File Not Found = %s, So copy file content from = %s", info.body_path.c_str(),
            info.raw_body_path.c_str());
    else
      Trace("File = %s has zero bytes, So copy file content from = %s", info.body_path.c_str(),
            info.raw_body_path.c_str());

    bool body_found = false;
    if (!info.attachments.empty()) {
      for (const AttachmentNode& node : info.attachments) {
        Log("(1)ConvertUuncodeAttachement-> Path:%s Alias:%s", node.file_path.c_str(),
            node.display_name.c_str());
        bool found = false;
        if (foundation::ConvertUuncodeAttachment(in_job_dir, node.file_path, &found, true) != 0) {
          Log("ERROR!!! ConvertUuncodeAttachment %s and attachment name %s return fails",
              node.file_path.c_str(), node.display_name.c_str());
          return 1;
        }
        if (found) {
          if (!DeleteFile(node.file_path.c_str())) {
            SystemErrorLine();
            Log("ERROR!!! After ConvertUuncodeAttachment, DeleteFile Fails %s.  Reason above",
                node.file_path.c_str());
            return 1;
          }
          body_found = true;
        }
      }
      // A file that turned out to be uuencoded text lives on as its decoded attachments.
      std::erase_if(info.attachments,
                    [](const AttachmentNode& node) { return !FileExists(node.file_path); });
    } else {
      Log("(2)ConvertUuncodeAttachement-> Path:%s Alias:%s", info.raw_body_path.c_str(),
          "0.bdx");
      bool found = false;
      if (foundation::ConvertUuncodeAttachment(in_job_dir, info.raw_body_path, &found, true) !=
          0) {
        Log("ERROR!!! ConvertUuncodeAttachment %s for body and attachment name %s return fails",
            info.raw_body_path.c_str(), "0.bdx");
        return 1;
      }
      body_found = found;
      Trace("ConvertUuncodeAttachement Completed Path = %s Body = %s",
            info.raw_body_path.c_str(), info.body_path.c_str());
    }
    if (!body_found) {
      if (CopyFile(info.raw_body_path.c_str(), info.body_path.c_str(), FALSE)) {
        Log("Copy Success: %s to %s", info.raw_body_path.c_str(), info.body_path.c_str());
      } else {
        std::string reason = Format("%lu", static_cast<unsigned long>(GetLastError()));
        Log("Copy FAIL: %s to %s! Reason: %s", info.raw_body_path.c_str(),
            info.body_path.c_str(), reason.c_str());
      }
    }
    return 0;
  } catch (const std::bad_alloc&) {
    Always("ERROR!!! %sFetchBody()...NotEnoughMemory", id);
    return 1;
  } catch (...) {
    Always("ERROR!!! Fetch body fails... return error");
    return 1;
  }
}

}  // namespace vtnotes
