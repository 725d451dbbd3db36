// The drive and disc information report, line by line, from the burner's answers for the
// selected drive.
#pragma once

#include <string>
#include <vector>

namespace torvik {
class TBrenvik;
}

namespace torvik::app {

std::vector<std::string> DriveReportLines(TBrenvik& burner);

// The mail link of the support item: every line of `lines` with its blanks as %20 and a CR LF
// after it, then the request sentence.
std::string SupportMailLink(const std::string& mailbox, const std::vector<std::string>& lines);

}  // namespace torvik::app
