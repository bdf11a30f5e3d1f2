#include "support/bytes.h"

#include <gtest/gtest.h>
#include <zlib.h>

std::string le16(uint32_t v) { return {(char)v, (char)(v >> 8)}; }
std::string le32(uint32_t v) { return le16(v) + le16(v >> 16); }

std::string pattern_bytes(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = (char)((i * 7 + seed) % 251);
  return s;
}

std::string zlib_compress(const std::string& data, int level) {
  uLongf size = compressBound(data.size());
  std::string out(size, '\0');
  EXPECT_EQ(compress2((Bytef*)&out[0], &size, (const Bytef*)data.data(), data.size(), level), Z_OK);
  out.resize(size);
  return out;
}

std::string zlib_uncompress(const std::string& compressed) {
  z_stream z{};
  inflateInit(&z);
  z.next_in = (Bytef*)compressed.data();
  z.avail_in = (uInt)compressed.size();
  std::string out;
  char chunk[4096];
  int result;
  do {
    z.next_out = (Bytef*)chunk;
    z.avail_out = sizeof chunk;
    result = inflate(&z, Z_NO_FLUSH);
    out.append(chunk, sizeof chunk - z.avail_out);
  } while (result == Z_OK);
  inflateEnd(&z);
  EXPECT_EQ(result, Z_STREAM_END) << "one complete zlib stream";
  EXPECT_EQ(z.avail_in, 0u) << "nothing after the stream";
  return out;
}

std::string section(uint32_t type, const std::string& payload, int64_t length) {
  return le16(type) + le32(length < 0 ? (uint32_t)payload.size() : (uint32_t)length) + payload;
}

std::string package_bytes(const std::string& sections, uint32_t magic) {
  return le32(magic) + le32((uint32_t)sections.size()) + sections;
}

std::string name_field(const std::string& name) { return (name + std::string(16, '\0')).substr(0, 16); }

std::string header_record(const std::string& name, uint32_t version, uint32_t build_time) {
  return name_field(name) + le32(version) + le32(build_time) + "unused!!";
}

std::string requirement_list(const std::vector<requirement_row>& list) {
  std::string out = le16((uint32_t)list.size());
  for (const auto& [name, minimum, maximum] : list)
    out += name_field(name) + le32(minimum) + le32(0xDEADBEEF) + le32(maximum) + le32(0xFEEDFACE);
  return out;
}

std::string entry_bytes(uint32_t mode, const std::string& name, const std::string& data) {
  return le16(mode) + le16(1) + le16(2) + le16(0) + le32(1600000000) + std::string(12, '\0') +
         le32((uint32_t)data.size()) + le16((uint32_t)name.size()) + name + data;
}
