#pragma once
// Text for line-based output (standard error, reports): one name is always one line.

#include <string>
#include <string_view>

// The name with control bytes (C0, DEL and the C1 range), backslash and bytes that are not valid
// UTF-8 written as C escapes: "\n", "\t", "\\", "\xNN". Valid UTF-8 is kept as it is.
std::string escapedName(std::string_view name);

// The name as one field of a report line that reads one way: escaped, and in double quotes (with
// '"' escaped too) when it holds " -> " or ": ", begins with '"' or begins or ends with a blank,
// as ls --quoting-style=c writes names.
std::string reportName(std::string_view name);

// The name as a JSON string, quotes included: valid UTF-8 as JSON escapes it, each byte that is
// not valid UTF-8 as the escaped name writes it ("\\xe9" in JSON, read back as \xe9).
std::string jsonString(std::string_view name);
