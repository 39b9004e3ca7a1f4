// notes_mail.h - mail calls: header items by number, body text, body items, attachments.
//
// What it is for: the mail layer over notes and items. Bodies are rich text (TYPE_COMPOSITE
// paragraphs), plain text or MIME parts; the calls here read and build them.
// Ownership: a body item handle from MailCreateBodyItem belongs to the caller, freed with
// OSMemFree (also after MailAddBodyItem).
// Locks: as notes_nsf.h; no lock of its own.
#pragma once

#include "platform/notes/notes_nsf.h"

// Item names of a mail.
#define MAIL_SENDTO_ITEM "SendTo"
#define MAIL_COPYTO_ITEM "CopyTo"
#define MAIL_BLINDCOPYTO_ITEM "BlindCopyTo"
#define MAIL_FROM_ITEM "From"
#define MAIL_SUBJECT_ITEM "Subject"
#define MAIL_BODY_ITEM "Body"
#define MAIL_RECIPIENTS_ITEM "Recipients"
#define MAIL_POSTEDDATE_ITEM "PostedDate"
#define MAIL_COMPOSEDDATE_ITEM "ComposedDate"
#define MAIL_DELIVERYPRIORITY_ITEM "DeliveryPriority"
#define MAIL_DELIVERYREPORT_ITEM "DeliveryReport"
#define MAIL_RETURNRECEIPT_ITEM "ReturnReceipt"
#define MAIL_FORM_ITEM "Form"
#define MAIL_MAILER_ITEM "$Mailer"
#define MAIL_MESSAGEID_ITEM "$MessageID"
#define MAIL_FILE_ITEM "$FILE"
#define MAIL_INTENDEDRECIPIENT_ITEM "IntendedRecipient"
#define MAIL_FAILUREREASON_ITEM "FailureReason"

// Header items by number.
inline constexpr WORD MAIL_SENDTO_ITEM_NUM = 0;
inline constexpr WORD MAIL_COPYTO_ITEM_NUM = 1;
inline constexpr WORD MAIL_FROM_ITEM_NUM = 2;
inline constexpr WORD MAIL_SUBJECT_ITEM_NUM = 3;
inline constexpr WORD MAIL_COMPOSEDDATE_ITEM_NUM = 4;
inline constexpr WORD MAIL_POSTEDDATE_ITEM_NUM = 5;
inline constexpr WORD MAIL_BODY_ITEM_NUM = 6;
inline constexpr WORD MAIL_INTENDEDRECIPIENT_ITEM_NUM = 7;
inline constexpr WORD MAIL_FAILUREREASON_ITEM_NUM = 8;
inline constexpr WORD MAIL_RECIPIENTS_ITEM_NUM = 9;
inline constexpr WORD MAIL_ROUTINGSTATE_ITEM_NUM = 10;
inline constexpr WORD MAIL_FORM_ITEM_NUM = 11;
inline constexpr WORD MAIL_SAVED_FORM_ITEM_NUM = 12;
inline constexpr WORD MAIL_BLINDCOPYTO_ITEM_NUM = 13;

// Reads header item code as text (a text list joined with ", "; a time as its text); the
// text is cut to string_size - 1 bytes and NUL-terminated. An absent item gives the empty
// text and NOERROR.
[[nodiscard]] STATUS MailGetMessageItem(NOTEHANDLE message, WORD item_code, char* string_r,
                                        WORD string_size, WORD* string_len_r);
[[nodiscard]] STATUS MailGetMessageItemTimeDate(NOTEHANDLE message, WORD item_code,
                                                TIMEDATE* time_r);
// Replaces header item code with one text value.
[[nodiscard]] STATUS MailReplaceHeaderItem(NOTEHANDLE message, WORD item_code,
                                           const char* value, WORD value_len);
// TRUE for a delivery-failure report (Form "NonDelivery Report" or a FailureReason item).
BOOL MailIsNonDeliveryReport(NOTEHANDLE message);
// Classifies a note for the mail hooks. MAIL_CLASS_NOT_MAIL (3): not a routable message
// (not a document, or neither Recipients nor SendTo), to be left alone.
inline constexpr WORD MAIL_CLASS_MEMO = 0;
inline constexpr WORD MAIL_CLASS_RECEIPT = 1;
inline constexpr WORD MAIL_CLASS_REPORT = 2;
inline constexpr WORD MAIL_CLASS_NOT_MAIL = 3;
WORD MailGetMessageClass(NOTEHANDLE message);

// Attachment number attachment_num (0, 1 ... in item order). FALSE when there is none.
// file_name_r (MAXPATH) receives the display name; every output may be null.
BOOL MailGetMessageAttachmentInfo(NOTEHANDLE message, WORD attachment_num, BLOCKID* item_r,
                                  char* file_name_r, DWORD* file_size_r,
                                  WORD* file_attributes_r, WORD* file_host_type_r,
                                  TIMEDATE* file_created_r, TIMEDATE* file_modified_r);
[[nodiscard]] STATUS MailExtractMessageAttachment(NOTEHANDLE message, BLOCKID item,
                                                  const char* file_path);

// Writes the body (every item of body_item_name, rich text or text) to output_file as text:
// paragraphs wrapped at line_length columns (0 = no wrap), lines ended by line_delimiter
// (null = "\r\n"). ERR_MAIL_NO_BODY when the note has no such item.
[[nodiscard]] STATUS MailGetMessageBodyText(NOTEHANDLE message, const char* body_item_name,
                                            const char* line_delimiter, WORD line_length,
                                            BOOL convert_tabs, const char* output_file,
                                            DWORD* file_size_r);
// Adds the text of input_file to the body as rich text paragraphs (a plain-text body becomes
// rich text first). Lines end at any byte of line_delimiters ("\r\n" together counts as
// one); null or empty delimiters mean CR, LF and 0x1A. font_id and the rest are ignored.
[[nodiscard]] STATUS MailAddMessageBodyText(NOTEHANDLE message, const char* body_item_name,
                                            const char* input_file, DWORD font_id,
                                            const char* line_delimiters, WORD paragraph_delims,
                                            void* nls_info);
[[nodiscard]] STATUS MailAddMessageBodyTextExt(NOTEHANDLE message, const char* body_item_name,
                                               const char* input_file, DWORD font_id,
                                               const char* line_delimiters,
                                               WORD paragraph_delims, void* nls_info);
// Body items built line by line, then added to a message (appended to its existing body).
[[nodiscard]] STATUS MailCreateBodyItem(DHANDLE* body_item_r, DWORD* body_item_len_r);
[[nodiscard]] STATUS MailAppendBodyItemLine(DHANDLE body_item, DWORD* body_item_len,
                                            const char* text, WORD text_len);
[[nodiscard]] STATUS MailAddBodyItem(NOTEHANDLE message, DHANDLE body_item,
                                     DWORD body_item_len, void* nls_info);
[[nodiscard]] STATUS MailAddBodyItemExt(NOTEHANDLE message, DHANDLE body_item,
                                        DWORD body_item_len, const char* body_item_name,
                                        void* nls_info);

// Stand-in helpers for MIME bodies: store raw RFC 822 MIME text as TYPE_MIME_PART items of
// the name, split into items of at most kMimePartMaxBytes; and read them back joined (a part
// whose content is kept in an attachment object gives its header section only; mail_export.h
// writes the whole message).
[[nodiscard]] STATUS VtNoteSetMimeBody(NOTEHANDLE note, const char* item_name,
                                       const char* text, DWORD text_len);
[[nodiscard]] STATUS VtNoteGetMimeBody(NOTEHANDLE note, const char* item_name,
                                       char* buffer_r, DWORD buffer_len, DWORD* text_len_r);
