// Bytes the tests build: little-endian fields, varied data, zlib streams,
// and the conversions between the system's string and std::string.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "foundation/string.h"

std::string le16(uint32_t v);
std::string le32(uint32_t v);

// n bytes that repeat only every 251, different for each seed.
std::string pattern_bytes(size_t n, unsigned seed = 0);

// One complete zlib stream, made by zlib itself.
std::string zlib_compress(const std::string& data, int level = 6);
// Inflates one complete zlib stream; a failure fails the calling test.
std::string zlib_uncompress(const std::string& compressed);

inline std::string to_std(const ::string& s) { return std::string(s.c_str(), s.length()); }
inline ::string from_std(const std::string& s) { return ::string(s.data(), s.size()); }
