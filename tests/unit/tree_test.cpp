#include "foundation/tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "support/alloc_counter.h"
#include "support/bytes.h"

namespace {

// The order the set must keep, written from its definition: signed bytes,
// a prefix first.
struct signed_less {
  bool operator()(const std::string& a, const std::string& b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return (signed char)x < (signed char)y; });
  }
};
using reference_set = std::multiset<std::string, signed_less>;

// The tree's own check, then its contents forwards and backwards.
::testing::AssertionResult matches(const string_set& s, const reference_set& reference) {
  std::vector<std::string> forward, backward, want(reference.rbegin(), reference.rend());
  for (const ::string& v : s) forward.insert(forward.begin(), to_std(v));
  for (auto it = s.end(); it != s.begin() && backward.size() <= s.size();) backward.push_back(to_std(*--it));
  if (s.verify() && forward == want && backward == want && s.size() == want.size())
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << s.dump().c_str();
}

// A tree of ints that counts its comparisons through the context word.
struct int_node : tree_node_base {
  int value;
};

class counting_tree : public tree_base {
 public:
  counting_tree() : tree_base(less, &comparisons) {}
  ~counting_tree() { clear(destroy); }
  bool insert_at_hint(tree_node_base* hint, int v) {
    tree_node_base *x, *y, *existing;
    find_hint_unique_position(hint, &v, &x, &y, &existing);
    return !existing && insert_node(x, y, new int_node{{}, v});
  }
  using tree_base::header;
  size_t comparisons = 0;

 private:
  static bool less(void* context, const void* a, const void* b) {
    ++*static_cast<size_t*>(context);
    return *static_cast<const int*>(a) < *static_cast<const int*>(b);
  }
  static void destroy(tree_node_base* n) { delete static_cast<int_node*>(n); }
};

}  // namespace

// Seeded runs of every insert, erase, copy and swap against a reference
// multiset; keys with high bytes check the signed byte order.
TEST(tree, random_operations_agree_with_a_reference_set) {
  alloc_scope scope;
  for (unsigned seed : {1u, 2u, 3u}) {
    std::mt19937 random(seed);
    std::vector<std::string> keys;
    for (int i = 0; i < 150; ++i) {
      std::string k = "/usr/";
      for (int j = random() % 4; j >= 0; --j) k += "aAz/\xE9\x80"[random() % 6];
      keys.push_back(k);
    }
    string_set s;
    reference_set reference;
    for (int step = 0; step < 3000; ++step) {
      const std::string& k = keys[random() % keys.size()];
      ::string key = from_std(k);
      int op = step % 1000 == 999 ? 9 : step % 250 == 100 ? 8 : random() % 8;
      if (op <= 3) {  // unique, with no hint, a right one or any
        auto hint = random() % 2 ? s.lower_bound(key) : s.begin();
        for (int n = random() % 3; n > 0 && hint != s.end(); --n) ++hint;
        auto result = op < 3 ? s.insert(key) : s.insert(hint, key);
        ASSERT_EQ(result.inserted, reference.count(k) == 0);
        ASSERT_EQ(to_std(*result.position), k);
        if (result.inserted) reference.insert(k);
      } else if (op == 4) {  // without a hint, after the equal ones
        if (random() % 2) {
          auto it = s.insert_equal(key);
          ASSERT_TRUE(++it == s.upper_bound(key)) << k;
        } else {
          s.insert_equal(s.find(key), key);
        }
        reference.insert(k);
      } else if (op == 5) {
        ASSERT_EQ(s.erase(key), reference.count(k) ? 1u : 0u);
        if (reference.count(k)) reference.erase(reference.find(k));
      } else if (op == 6) {
        if (s.contains(key)) s.erase(s.find(key)), reference.erase(reference.find(k));
      } else if (op == 7) {  // a range between two bounds
        ::string other = from_std(keys[random() % keys.size()]);
        if (other < key) key.swap(other);
        s.erase(s.lower_bound(key), s.upper_bound(other));
        reference.erase(reference.lower_bound(to_std(key)), reference.upper_bound(to_std(other)));
      } else if (op == 8) {  // copies keep shape and colours; self-assignment keeps all
        string_set copy(s), assigned;
        assigned.insert("/to/be/replaced");
        assigned = s;
        string_set& same = assigned;
        assigned = same;
        ASSERT_EQ(to_std(copy.dump()), to_std(s.dump()));
        ASSERT_EQ(to_std(assigned.dump()), to_std(s.dump()));
        copy.clear();
        copy.swap(s);
        s.swap(assigned);
        ASSERT_TRUE(matches(copy, reference));
      } else {  // the whole range: a clear
        s.erase(s.begin(), s.end());
        reference.clear();
      }
      ASSERT_TRUE(matches(s, reference)) << "seed " << seed << " step " << step;
    }
  }
  EXPECT_EQ(scope.live(), 0);
}

TEST(tree, a_right_hint_saves_the_search_and_a_wrong_one_still_inserts) {
  counting_tree t;
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(t.insert_at_hint(t.header(), 2 * i));
  EXPECT_LE(t.comparisons, 2u * 1000);  // one check at the hint, one to link
  t.comparisons = 0;
  tree_iterator_base third{t.header()->left};
  third.increment(), third.increment();  // holds 4: 3 goes right before it
  EXPECT_TRUE(t.insert_at_hint(third.node, 3));
  EXPECT_LE(t.comparisons, 4u);
  EXPECT_FALSE(t.insert_at_hint(third.node, 4));  // already there
  EXPECT_TRUE(t.insert_at_hint(third.node, 1001) && t.insert_at_hint(t.header(), -1));
  EXPECT_TRUE(t.verify());
  EXPECT_EQ(t.size(), 1003u);
}
