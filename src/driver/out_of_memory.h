#pragma once
// The one way the process ends when memory runs out: the temporary archive is removed, what the
// rest of the program must do before it ends is done (the hook), a line is written to standard
// output and standard error, and the process ends with code 1.

[[noreturn]] void outOfMemory();
// What outOfMemory does besides: async-signal-safe calls only (nothing may allocate there). Set
// once, before anything can run out of memory.
void setOutOfMemoryHook(void (*hook)());
