#pragma once
// Checks of the program's own invariants that stay on in release builds: a
// container or buffer that went wrong would corrupt the package database
// silently, so the program stops instead, naming the check and its place.
// For conditions a caller can cause (bad input, full disks) return a status.

#define REQUIRE(expr) ((expr) ? (void)0 : requirement_failed(#expr, __FILE__, __LINE__))

[[noreturn]] void requirement_failed(const char* expression, const char* file, int line);
