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
