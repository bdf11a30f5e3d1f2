// Stepping back: the base refuses a byte other than the one read, and 0xFF
// is a byte, not the end; every buffer that refills keeps one byte for that.
#include "foundation/stream_buffer.h"

#include <gtest/gtest.h>

#include "foundation/compressed_streams.h"
#include "foundation/fd_buffers.h"
#include "package_format/package_reader.h"
#include "support/bytes.h"
#include "support/recording_buffer.h"
#include "support/scratch_file.h"

TEST(stream_buffer, put_back_steps_back_only_over_the_same_byte_and_ff_is_a_byte) {
  memory_source buffer("ab\xff");
  EXPECT_EQ(buffer.put_back('z'), END_OF_DATA);  // nothing read yet
  EXPECT_EQ(buffer.next_byte(), 'a');
  EXPECT_EQ(buffer.next_byte(), 'b');
  EXPECT_EQ(buffer.put_back('x'), END_OF_DATA);  // mismatch: position kept
  EXPECT_EQ(buffer.peek_byte(), 0xff);
  EXPECT_EQ(buffer.put_back('b'), 'b');
  EXPECT_EQ(buffer.unget(), 'a');
  EXPECT_EQ(buffer.unget(), END_OF_DATA);  // at the start of the get area
  char out[4];
  EXPECT_EQ(buffer.xsgetn(out, 4), 3u);
  EXPECT_EQ(out[2], '\xff');
  EXPECT_EQ(buffer.next_byte(), END_OF_DATA);
}

// Reads the data byte by byte through a buffer whose get area holds `area`
// bytes per fill; after every byte it steps back two (the second across a
// refill through the byte kept for that) and reads them again. At the first
// byte of the second fill a third step back must be refused.
static void expect_putback_across_refill(stream_buffer& buffer, const std::string& data, size_t area) {
  for (size_t i = 0; i < data.size(); ++i) {
    ASSERT_EQ(buffer.next_byte(), (unsigned char)data[i]) << i;
    if (i == 0) continue;
    ASSERT_EQ(buffer.unget(), (unsigned char)data[i]) << i;
    ASSERT_EQ(buffer.put_back(data[i - 1]), (unsigned char)data[i - 1]) << i;
    if (i == area) { ASSERT_EQ(buffer.unget(), END_OF_DATA) << "only one byte is kept"; }
    ASSERT_EQ(buffer.next_byte(), (unsigned char)data[i - 1]) << i;
    ASSERT_EQ(buffer.next_byte(), (unsigned char)data[i]) << i;
  }
}

TEST(stream_buffer, one_byte_can_be_put_back_across_a_refill_of_every_buffer) {
  std::string data = pattern_bytes(9000);  // bytes above 0x7F too
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
