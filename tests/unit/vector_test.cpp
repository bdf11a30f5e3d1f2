#include "foundation/vector.h"

#include <gtest/gtest.h>

#include <vector>

#include "foundation/string.h"
#include "support/alloc_counter.h"

namespace {

// Element that counts what is done to it, so that tests can tell a byte move
// from a copy construction.
struct tracked {
  static int alive, copies;
  int value;
  explicit tracked(int v) : value(v) { ++alive; }
  tracked(const tracked& other) : value(other.value) { ++alive, ++copies; }
  ~tracked() { --alive; }
};
int tracked::alive = 0;
int tracked::copies = 0;

std::vector<int> values(const vector<tracked>& v) {
  std::vector<int> out;
  for (const tracked& t : v) out.push_back(t.value);
  return out;
}

class vector_test : public ::testing::Test {
 protected:
  void SetUp() override { tracked::alive = tracked::copies = 0; }
};

}  // namespace

TEST(vector, capacity_grows_to_eight_then_doubles) {
  vector<int> v;
  EXPECT_EQ(v.capacity(), 0u);
  std::vector<size_t> capacities;
  capacities.reserve(10);  // outside the vector under test's count
  alloc_scope scope;
  for (int i = 0; i < 40; ++i) {
    v.push_back(i);
    if (capacities.empty() || capacities.back() != v.capacity()) capacities.push_back(v.capacity());
  }
  EXPECT_EQ(scope.allocations(), 4u);
  EXPECT_EQ(capacities, (std::vector<size_t>{8, 16, 32, 64}));
  EXPECT_EQ(v[39], 39);
}

TEST(vector, reserve_takes_the_largest_of_twice_the_size_the_request_and_eight) {
  vector<int> v;
  v.reserve(3);
  EXPECT_EQ(v.capacity(), 8u);
  for (int i = 0; i < 5; ++i) v.push_back(i);
  v.reserve(8);  // fits: nothing happens
  EXPECT_EQ(v.capacity(), 8u);
  v.reserve(9);
  EXPECT_EQ(v.capacity(), 10u);
  v.reserve(100);
  EXPECT_EQ(v.capacity(), 100u);
  int more[300] = {};
  v.insert(2, more, 95);  // exactly full
  EXPECT_EQ(v.capacity(), 100u);
  v.insert(2, more, 1);
  EXPECT_EQ(v.capacity(), 200u);
  v.insert(2, more, 200);
  EXPECT_EQ(v.capacity(), 301u);
  EXPECT_EQ(v.size(), 301u);
  EXPECT_EQ(v[1], 1);
  EXPECT_EQ(v[298], 2);
}

TEST_F(vector_test, growth_moves_bytes_and_appending_copies_once) {
  {
    vector<tracked> v;
    for (int i = 0; i < 20; ++i) v.push_back(tracked(i));
    EXPECT_EQ(tracked::copies, 20);  // three relocations, no extra copies
    EXPECT_EQ(tracked::alive, 20);
  }
  EXPECT_EQ(tracked::alive, 0);
}

TEST_F(vector_test, insert_and_erase_move_the_tail_and_destroy_what_is_erased) {
  vector<tracked> v;
  for (int i = 0; i < 6; ++i) v.push_back(tracked(i));
  tracked extra[2] = {tracked(70), tracked(71)};
  v.insert(2, extra, 2);
  EXPECT_EQ(values(v), (std::vector<int>{0, 1, 70, 71, 2, 3, 4, 5}));
  v.erase(1, 4);
  EXPECT_EQ(values(v), (std::vector<int>{0, 2, 3, 4, 5}));
  EXPECT_EQ(tracked::alive, 5 + 2);
  v.erase(3, 1000);  // clamped to the end
  v.pop_back();
  EXPECT_EQ(values(v), (std::vector<int>{0, 2}));
  v.insert(99, extra, 1);  // past the end: appends
  EXPECT_EQ(values(v), (std::vector<int>{0, 2, 70}));
  v.clear();
  EXPECT_EQ(tracked::alive, 2);
}

TEST_F(vector_test, elements_of_the_vector_itself_can_be_appended_and_inserted) {
  vector<tracked> v;
  for (int i = 0; i < 8; ++i) v.push_back(tracked(i));
  v.push_back(v[3]);  // full: the block moves while the source is read
  v.insert(0, v.begin() + 7, 2);
  EXPECT_EQ(values(v), (std::vector<int>{7, 3, 0, 1, 2, 3, 4, 5, 6, 7, 3}));
}

TEST(vector, string_elements_are_copied_in_and_freed_out) {
  alloc_scope scope;
  {
    ::string name("a name longer than fifteen");
    vector<::string> v;
    for (int i = 0; i < 10; ++i) v.push_back(name);
    v[0].append("!");
    EXPECT_EQ(v[1], name);
    vector<::string> copy(v), other;
    other.push_back(::string("x"));
    other = copy;
    copy.erase(0, 9);
    EXPECT_EQ(copy.size(), 1u);
    other.swap(copy);
    EXPECT_EQ(other.size(), 1u);
    EXPECT_EQ(copy[0], "a name longer than fifteen!");
    vector<::string> moved(static_cast<vector<::string>&&>(copy));
    EXPECT_TRUE(copy.empty());
    EXPECT_EQ(moved.size(), 10u);
  }
  EXPECT_EQ(scope.live(), 0);
}
