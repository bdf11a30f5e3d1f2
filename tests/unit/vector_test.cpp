#include "foundation/vector.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/alloc_counter.h"

namespace {

// Counts live elements and copies, so that a byte move tells from a copy.
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

}  // namespace

TEST(vector, capacity_is_the_largest_of_twice_the_size_the_request_and_eight) {
  vector<int> v;
  std::vector<size_t> capacities;
  capacities.reserve(10);  // outside the count
  alloc_scope scope;
  for (int i = 0; i < 40; ++i)
    if (v.push_back(i), capacities.empty() || capacities.back() != v.capacity()) capacities.push_back(v.capacity());
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

// Insert and erase move the tail and copy each element once; elements of the
// vector itself can be appended and inserted while the block moves; every
// element made is destroyed.
TEST(vector, elements_are_copied_once_destroyed_once_and_may_come_from_the_vector) {
  {
    vector<tracked> v;
    for (int i = 0; i < 20; ++i) v.push_back(tracked(i));
    EXPECT_EQ(tracked::copies, 20);  // three relocations move bytes, they copy nothing
    v.erase(6, 20);
    tracked extra[2] = {tracked(70), tracked(71)};
    v.insert(2, extra, 2);
    v.erase(1, 4);
    EXPECT_EQ(values(v), (std::vector<int>{0, 2, 3, 4, 5}));
    EXPECT_EQ(tracked::alive, 5 + 2);
    v.erase(3, 1000);  // clamped to the end
    v.pop_back();
    v.insert(99, extra, 1);  // past the end: appends
    vector<tracked> copy(v), assigned;
    assigned.push_back(tracked(9));
    assigned = copy;
    copy.swap(v);
    vector<tracked> moved(static_cast<vector<tracked>&&>(v));
    EXPECT_TRUE(v.empty());
    EXPECT_EQ(values(moved), (std::vector<int>{0, 2, 70}));
    EXPECT_EQ(values(assigned), (std::vector<int>{0, 2, 70}));
    for (int i = 3; i < 8; ++i) moved.push_back(tracked(i));
    moved.push_back(moved[1]);  // full: the block moves while the source is read
    moved.insert(0, moved.begin() + 7, 2);
    EXPECT_EQ(values(moved), (std::vector<int>{7, 2, 0, 2, 70, 3, 4, 5, 6, 7, 2}));
  }
  EXPECT_EQ(tracked::alive, 0);
}
