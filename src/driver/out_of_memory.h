#pragma once
// The one way the process ends when memory runs out: the temporary archive is removed, the
// terminal restored, a line written to standard output, and the process ends with code 1.

[[noreturn]] void outOfMemory();
