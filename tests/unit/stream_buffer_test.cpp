// Stepping back over the byte just read, also across a refill of every
// buffer that refills (it keeps one byte for that).
#include "foundation/stream_buffer.h"

#include <gtest/gtest.h>

#include "foundation/compressed_streams.h"
#include "foundation/fd_buffers.h"
#include "package_format/package_reader.h"
#include "support/bytes.h"
#include "support/recording_buffer.h"
#include "support/scratch_file.h"

// Reads the data byte by byte through a buffer whose get area holds `area`
// bytes per fill; after every byte it steps back two, refusing any byte but
// the one read, and reads them again. Stepping back before the first byte,
// or a third step at the first byte of the second fill, is refused.
static void expect_putback_across_refill(stream_buffer& buffer, const std::string& data, size_t area) {
  ASSERT_EQ(buffer.put_back(data[0]), END_OF_DATA) << "nothing read yet";
  for (size_t i = 0; i < data.size(); ++i) {
    ASSERT_EQ(buffer.next_byte(), (unsigned char)data[i]) << i;
    if (i == 0) continue;
    ASSERT_EQ(buffer.unget(), (unsigned char)data[i]) << i;
    ASSERT_EQ(buffer.put_back(data[i - 1] ^ 1), END_OF_DATA) << i;
    ASSERT_EQ(buffer.put_back(data[i - 1]), (unsigned char)data[i - 1]) << i;
    if (i == area) { ASSERT_EQ(buffer.unget(), END_OF_DATA) << "only one byte is kept"; }
    ASSERT_EQ(buffer.next_byte(), (unsigned char)data[i - 1]) << i;
    ASSERT_EQ(buffer.next_byte(), (unsigned char)data[i]) << i;
  }
}

TEST(stream_buffer, one_byte_can_be_put_back_across_a_refill_of_every_buffer) {
  std::string data = pattern_bytes(9000);
  data[7] = data[5000] = '\xff';  // a byte, not the end
  scratch_file file(data);
  fd_input_buffer from_file(file.fd());
  expect_putback_across_refill(from_file, data, 4096);
  memory_source compressed(zlib_compress(data));
  inflating_buffer inflater(&compressed);
  expect_putback_across_refill(inflater, data, 4096);
  EXPECT_EQ(inflater.put_byte('x'), END_OF_DATA);  // there is no put area
  memory_source package(package_bytes(section(7, data.substr(0, 1500))));
  input_stream in(&package);
  package_reader reader(in);
  reader.add_wanted_type(7);
  ASSERT_EQ(reader.next_wanted_section(), 7);
  expect_putback_across_refill(*reader.rdbuf(), data.substr(0, 1500), 512);
}
