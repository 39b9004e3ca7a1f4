// mail_shape.h - shapes of a mail that are findings whatever its content: a fragment of a
// message split with message/partial.
//
// A mail client that joins the fragments of a split message gets a message no scanner saw
// whole: each fragment alone holds only a piece of an attachment, which no signature
// matches. Such a mail is reported as Heuristics.Mail.Partial and gets the infected action,
// as content that cannot be scanned whole does.
//
// Ownership: nothing is kept between calls. Thread rules: any number of calls at once.
#pragma once

#include <string>

namespace vtengine {

inline constexpr const char* kPartialMessageFinding = "Heuristics.Mail.Partial";

// Whether the raw MIME text at path (a job's 0.bdx) has a message/partial part anywhere:
// in the message's own header section, a part's after a delimiter line, or the header
// section of an enclosed message. A file that cannot be read is not one.
[[nodiscard]] bool HoldsPartialMessage(const std::string& path);

}  // namespace vtengine
