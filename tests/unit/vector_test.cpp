#include "foundation/vector.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/alloc_counter.h"

namespace {

// Element that counts what is done to it, so that tests can tell a byte move
// from a copy construction.
struct tracked {
  static int alive, copies;
  int value;
  explicit tracked(int v) : value(v) { ++alive; }
  tracked(const tracked& other) : value(other.value) { ++alive, ++copies; }
  tracked& operator=(const tracked&) = default;
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
  void TearDown() override { EXPECT_EQ(tracked::alive, 0); }
};

}  // namespace

TEST(vector, capacity_is_the_largest_of_twice_the_size_the_request_and_eight) {
  vector<int> v;
  std::vector<size_t> capacities;
  capacities.reserve(10);  // outside the vector under test's count
  alloc_scope scope;
  for (int i = 0; i < 40; ++i) {
    v.push_back(i);
    if (capacities.empty() || capacities.back() != v.capacity()) capacities.push_back(v.capacity());
  }
  EXPECT_EQ(scope.allocations(), 4u);
  EXPECT_EQ(capacities, (std::vector<size_t>{8, 16, 32, 64}));
  vector<int> r;
  r.reserve(3);
  EXPECT_EQ(r.capacity(), 8u);
  for (int i = 0; i < 5; ++i) r.push_back(i);
  r.reserve(9);
  EXPECT_EQ(r.capacity(), 10u);
  r.reserve(100);
  int more[300] = {};
  r.insert(2, more, 95);  // exactly full
  EXPECT_EQ(r.capacity(), 100u);
  r.insert(2, more, 1);
  EXPECT_EQ(r.capacity(), 200u);
  r.insert(2, more, 200);
  EXPECT_EQ(r.capacity(), 301u);
  EXPECT_EQ(r[298], 2);
}

TEST_F(vector_test, insert_and_erase_move_the_tail_and_copy_each_element_once) {
  vector<tracked> v;
  for (int i = 0; i < 20; ++i) v.push_back(tracked(i));
  EXPECT_EQ(tracked::copies, 20);  // three relocations move bytes, they copy nothing
  v.erase(6, 20);
  tracked extra[2] = {tracked(70), tracked(71)};
  v.insert(2, extra, 2);
  EXPECT_EQ(values(v), (std::vector<int>{0, 1, 70, 71, 2, 3, 4, 5}));
  v.erase(1, 4);
  EXPECT_EQ(values(v), (std::vector<int>{0, 2, 3, 4, 5}));
  EXPECT_EQ(tracked::alive, 5 + 2);
  v.erase(3, 1000);  // clamped to the end
  v.pop_back();
  v.insert(99, extra, 1);  // past the end: appends
  EXPECT_EQ(values(v), (std::vector<int>{0, 2, 70}));
  vector<tracked> copy(v), assigned;
  assigned.push_back(tracked(9));
  assigned = copy;
  copy.swap(v);
  vector<tracked> moved(static_cast<vector<tracked>&&>(v));
  EXPECT_TRUE(v.empty());
  EXPECT_EQ(values(moved), (std::vector<int>{0, 2, 70}));
  EXPECT_EQ(values(assigned), (std::vector<int>{0, 2, 70}));
  moved.clear();
  EXPECT_EQ(tracked::alive, 2 + 3 + 3);
}

TEST_F(vector_test, elements_of_the_vector_itself_can_be_appended_and_inserted) {
  vector<tracked> v;
  for (int i = 0; i < 8; ++i) v.push_back(tracked(i));
  v.push_back(v[3]);  // full: the block moves while the source is read
  v.insert(0, v.begin() + 7, 2);
  EXPECT_EQ(values(v), (std::vector<int>{7, 3, 0, 1, 2, 3, 4, 5, 6, 7, 3}));
}
