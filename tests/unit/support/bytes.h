// Bytes the tests build: fields, zlib streams and crafted package files.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <tuple>
#include <vector>

#include "foundation/string.h"
#include "package_format/package_reader.h"

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

// A section whose header claims `length` (the payload's own size when
// omitted), so that a test can lie about it.
std::string section(uint32_t type, const std::string& payload, int64_t length = -1);
std::string package_bytes(const std::string& sections, uint32_t magic = PACKAGE_MAGIC_RECORDED);
// The 16-byte name field: cut, or padded with NULs.
std::string name_field(const std::string& name);
// The 32-byte header record; the unused words hold noise readers must ignore.
std::string header_record(const std::string& name, uint32_t version, uint32_t build_time);
using requirement_row = std::tuple<std::string, uint32_t, uint32_t>;  // name, minimum, maximum
std::string requirement_list(const std::vector<requirement_row>& list);
// One file entry: the 30-byte header (owner 1/2, time 1600000000), the name,
// then the data.
std::string entry_bytes(uint32_t mode, const std::string& name, const std::string& data);
