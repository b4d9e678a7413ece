#pragma once
// Text helpers of every layer: strict UTF-8, and names made safe for line-based output (standard
// error, reports), where one name is always one line.

#include <cstddef>
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

// Bytes of the strictly valid UTF-8 sequence of two to four bytes starting at text[pos] (no
// overlong forms, no surrogates, nothing above U+10FFFF), its code point stored in *codePoint;
// 0 when the bytes there are no such sequence (ASCII included).
int utf8SequenceLength(std::string_view text, std::size_t pos, char32_t* codePoint);

// True for a name that holds a byte above 127 and is strictly valid UTF-8: an archive stores
// such a name with its UTF-8 flag.
bool needsUtf8Flag(std::string_view name);
