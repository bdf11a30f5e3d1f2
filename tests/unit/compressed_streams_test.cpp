#include "foundation/compressed_streams.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "support/bytes.h"
#include "support/recording_buffer.h"

namespace {

std::string random_bytes(size_t n, unsigned seed) {
  std::mt19937 generator(seed);
  std::string s(n, '\0');
  for (char& c : s) c = (char)generator();
  return s;
}

std::string inflate_through_buffer(const std::string& compressed, size_t chunk = SIZE_MAX) {
  memory_source source(compressed, chunk);
  inflating_buffer buffer(&source);
  std::string out, piece(10000, '\0');
  size_t got;
  while ((got = buffer.xsgetn(&piece[0], piece.size())) > 0) out.append(piece, 0, got);
  EXPECT_EQ(buffer.total(), (uint32_t)out.size());
  return out;
}

}  // namespace

TEST(compressed_streams, round_trips_agree_with_zlib_at_every_area_boundary) {
  for (size_t size : {0, 1, 4095, 4096, 4097, (3 << 20) + 17}) {
    SCOPED_TRACE(size);
    std::string data = random_bytes(size, (unsigned)size);
    recording_buffer ours;
    deflating_buffer deflater(&ours);
    EXPECT_EQ(deflater.xsputn(data.data(), data.size()), data.size());
    EXPECT_TRUE(deflater.finish());
    EXPECT_TRUE(zlib_uncompress(ours.bytes) == data && inflate_through_buffer(ours.bytes) == data);
    EXPECT_TRUE(inflate_through_buffer(zlib_compress(data)) == data);
    // A source that trickles: many refills take input and give no output.
    EXPECT_TRUE(inflate_through_buffer(zlib_compress(pattern_bytes(size % 65536)), 1) ==
                pattern_bytes(size % 65536));
  }
}

TEST(compressed_streams, only_forward_seeks_work_and_the_position_is_total) {
  std::string data = pattern_bytes(10000);
  memory_source source(zlib_compress(data));
  input_stream plain(&source);
  inflating_input_stream in(plain);
  EXPECT_EQ(in.get(), (unsigned char)data[0]);
  EXPECT_EQ(in.seekg(0, SEEK_FROM_CURRENT).tellg(), 4096);
  EXPECT_EQ(in.seekg(100, SEEK_FROM_CURRENT).get(), (unsigned char)data[101]);
  EXPECT_TRUE(in.seekg(-1, SEEK_FROM_CURRENT).fail());
  in.clear();
  EXPECT_EQ(in.peek(), (unsigned char)data[102]);  // refused without consuming
  EXPECT_TRUE(in.seekg(4095).fail());
  in.clear();
  EXPECT_EQ(in.seekg(4096 + 10).get(), (unsigned char)data[102 + 10]);
  EXPECT_TRUE(in.seekg(0, SEEK_FROM_END).fail());
  in.clear();
  EXPECT_TRUE(in.seekg(100000, SEEK_FROM_CURRENT).fail());
}

// Shows how many bytes wait in the put area, not yet handed to zlib.
class inspectable_deflater : public deflating_buffer {
 public:
  using deflating_buffer::deflating_buffer;
  size_t pending() const { return put_write_ - put_begin_; }
};

TEST(deflating_buffer, the_4096th_byte_hands_the_put_area_to_zlib) {
  recording_buffer sink;
  auto* owned = new inspectable_deflater(&sink);  // deleted after finish
  inspectable_deflater& buffer = *owned;
  std::string data = random_bytes(1 << 20, 2);
  for (size_t i = 0; i < 4095; ++i) buffer.put_byte(data[i]);
  EXPECT_EQ(buffer.pending(), 4095u);
  EXPECT_EQ(buffer.put_byte(data[4095]), (unsigned char)data[4095]);
  EXPECT_EQ(buffer.pending(), 0u);
  buffer.xsputn(data.data() + 4096, data.size() - 4096);
  EXPECT_GT(sink.bytes.size(), 0u);  // compressed output flows before finish
  EXPECT_TRUE(buffer.finish());
  EXPECT_FALSE(buffer.finish());
  size_t writes = sink.write_sizes.size();
  EXPECT_EQ(buffer.put_byte('x'), END_OF_DATA);  // nothing is taken after the end
  EXPECT_EQ(buffer.sync_buffer(), -1);
  delete owned;  // finished already: destruction writes nothing more
  EXPECT_EQ(sink.write_sizes.size(), writes);
  EXPECT_TRUE(zlib_uncompress(sink.bytes) == data);
}

TEST(deflating_buffer, a_destination_that_refuses_bytes_makes_finish_fail) {
  std::string data = random_bytes(100000, 3);
  recording_buffer sink;
  sink.capacity = 0;
  deflating_buffer buffer(&sink);
  EXPECT_LT(buffer.xsputn(data.data(), data.size()), data.size());
  sink.capacity = SIZE_MAX;  // takes the end, but the middle is already lost
  EXPECT_FALSE(buffer.finish());
}
