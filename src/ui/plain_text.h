#pragma once
// Text for line-based output (standard error, reports): one name is always one line.

#include <string>
#include <string_view>

// The name with control bytes (C0, DEL and the C1 range), backslash and bytes that are not valid
// UTF-8 written as C escapes: "\n", "\t", "\\", "\xNN". Valid UTF-8 is kept as it is.
std::string escapedName(std::string_view name);
