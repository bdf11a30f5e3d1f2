#include "foundation/linked_list.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/alloc_counter.h"

namespace {

int item[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};

std::vector<int> values(const linked_list<int>& list) {
  std::vector<int> out, backwards;
  for (int* p : list) out.push_back(*p);
  // The previous links must tell the same story backwards.
  for (auto it = list.end(); it != list.begin();) backwards.insert(backwards.begin(), **--it);
  EXPECT_EQ(out, backwards);
  EXPECT_EQ(out.size(), list.size());
  return out;
}

void fill(linked_list<int>& list, int first, int last) {
  for (int i = first; i < last; ++i) list.push_back(&item[i]);
}

linked_list<int>::iterator at(linked_list<int>& list, int n) {
  return linked_list<int>::advance(list.begin(), n);
}

}  // namespace

TEST(linked_list, inserts_keep_order_and_erase_returns_the_successor) {
  linked_list<int> list;
  fill(list, 1, 4);
  list.push_front(&item[0]);
  auto it = list.insert(at(list, 2), &item[9]);
  EXPECT_EQ(values(list), (std::vector<int>{0, 1, 9, 2, 3}));
  EXPECT_EQ(*list.first() + *list.last(), 3);
  it = list.erase(it);
  EXPECT_EQ(**it, 2);
  EXPECT_TRUE(list.erase(at(list, 3)) == list.end());
  list.erase(list.begin(), at(list, 2));
  EXPECT_EQ(values(list), (std::vector<int>{2}));
}

TEST(linked_list, splice_and_swap_move_nodes_within_and_between_lists) {
  linked_list<int> a, b;
  fill(a, 0, 5);
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
}

TEST(linked_list, unlinked_nodes_have_their_links_cleared) {
  list_node_base sentinel{&sentinel, &sentinel}, node;
  list_node_base::link_before(&sentinel, &node);
  EXPECT_EQ(sentinel.next, &node);
  EXPECT_EQ(list_node_base::unlink(&node), &sentinel);
  EXPECT_EQ(node.next, nullptr);
  EXPECT_EQ(node.previous, nullptr);
  EXPECT_EQ(sentinel.next, &sentinel);
  EXPECT_EQ(sentinel.previous, &sentinel);
}

TEST(linked_list, destruction_frees_the_nodes_and_sentinel_but_never_the_objects) {
  alloc_scope scope;
  int* owned = new int(42);
  {
    linked_list<int> list;
    fill(list, 0, 10);
    list.push_back(owned);
    list.clear();
    EXPECT_TRUE(list.empty() && list.begin() == list.end());
    list.push_back(owned);
  }
  EXPECT_EQ(scope.live(), 1);
  EXPECT_EQ(*owned, 42);
  delete owned;
}
