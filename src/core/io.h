#pragma once
// Writing to a descriptor whole: the one loop every layer sends its bytes through.

#include <string_view>

// Writes data whole, retrying interrupted writes. Returns 0, or the errno of the write that
// failed (EIO for one that wrote nothing). Calls write(2) alone, so signal handlers may use it.
int writeAll(int fd, std::string_view data);
