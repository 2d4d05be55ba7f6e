#pragma once
// The two forms of an update-check report: lines for a person, one JSON object for a
// script. Both are UTF-8 and end with a line break; the password never appears in either.

#include <string>

#include "diagnostic/update_check_report.h"

namespace halcyra {

std::string formatReportText(const UpdateCheckReport& report);

// One line: the JSON object, with null for what the check did not get to.
std::string formatReportJson(const UpdateCheckReport& report);

}  // namespace halcyra
