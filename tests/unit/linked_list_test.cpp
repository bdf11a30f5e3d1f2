#include "foundation/linked_list.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/alloc_counter.h"

namespace {

int item[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};

std::vector<int> values(const linked_list<int>& list) {
  std::vector<int> out, backwards;  // the previous links must tell the same story
  for (int* p : list) out.push_back(*p);
  for (auto it = list.end(); it != list.begin();) backwards.insert(backwards.begin(), **--it);
  EXPECT_TRUE(out == backwards && out.size() == list.size());
  return out;
}

void fill(linked_list<int>& list, int first, int last) {
  for (int i = first; i < last; ++i) list.push_back(&item[i]);
}

linked_list<int>::iterator at(linked_list<int>& list, int n) {
  return linked_list<int>::advance(list.begin(), n);
}

}  // namespace

// Inserts, erases, splices within and between lists, and swaps move nodes
// without copies; destruction frees the nodes and the sentinel, never the
// objects.
TEST(linked_list, edits_move_nodes_and_destruction_frees_only_the_list) {
  alloc_scope scope;
  int* owned = new int(42);
  {
    linked_list<int> a, b;
    fill(a, 1, 5);
    a.push_front(&item[0]);
    auto it = a.insert(at(a, 2), &item[9]);
    EXPECT_EQ(**a.erase(it), 2);
    a.erase(at(a, 3), a.end());
    fill(a, 3, 5);
    fill(b, 5, 8);
    auto a1 = at(a, 1);
    a.splice(a.end(), a1, at(a, 3));  // [1, 3) to the back of the same list
    EXPECT_EQ(values(a), (std::vector<int>{0, 3, 4, 1, 2}));
    b.splice(at(b, 1), a.begin(), a1);  // 0 3 4 into b
    EXPECT_EQ(values(a), (std::vector<int>{1, 2}));
    EXPECT_EQ(values(b), (std::vector<int>{5, 0, 3, 4, 6, 7}));
    a.splice(a.begin(), b.begin(), b.end());  // everything
    EXPECT_TRUE(b.empty());
    a.splice(a1, a1, a.end());  // onto itself: nothing moves
    a.splice(a.end(), a1, a.end());
    a.splice(a.begin(), a.begin(), a.begin());
    EXPECT_EQ(values(a), (std::vector<int>{5, 0, 3, 4, 6, 7, 1, 2}));
    auto first_of_a = a.begin();
    a.swap(b);
    EXPECT_TRUE(a.empty());
    EXPECT_TRUE(b.begin() == first_of_a);  // nodes stay put; no copies
    EXPECT_EQ(b.size(), 8u);
    b.push_back(owned);
    b.clear();
    EXPECT_TRUE(b.empty() && b.begin() == b.end());
    b.push_back(owned);
  }
  EXPECT_EQ(scope.live(), 1);
  EXPECT_EQ(*owned, 42);
  delete owned;
  // An unlinked node has its links cleared.
  list_node_base sentinel{&sentinel, &sentinel}, node;
  list_node_base::link_before(&sentinel, &node);
  EXPECT_TRUE(sentinel.next == &node && list_node_base::unlink(&node) == &sentinel);
  EXPECT_TRUE(node.next == nullptr && node.previous == nullptr);
  EXPECT_TRUE(sentinel.next == &sentinel && sentinel.previous == &sentinel);
}

// Erasing the end is a fault of the caller that stops the program in every
// build, this optimised one included, naming the check and its place.
TEST(linked_list, erasing_the_end_stops_the_program) {
  linked_list<int> list;
  EXPECT_DEATH(list.erase(list.end()), "linked_list.cpp:[0-9]+: assertion failed: node != sentinel_");
}
