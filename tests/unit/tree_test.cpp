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

// The order the tree must keep, written from its definition: signed bytes,
// a prefix first.
struct signed_less {
  bool operator()(const std::string& a, const std::string& b) const {
    auto signed_byte_less = [](char x, char y) { return (signed char)x < (signed char)y; };
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), signed_byte_less);
  }
};

// The string set with its insides opened for inspection.
class checked_set : public string_set {
 public:
  using tree_base::header;
  using tree_base::root;
  using tree_base::value_of;
};

std::vector<std::string> contents(const string_set& s) {
  std::vector<std::string> out;
  for (const ::string& v : s) out.push_back(to_std(v));
  return out;
}

// Walks the subtree; returns its black height (missing children count 1).
int walk(const tree_node_base* n, const tree_node_base* parent,
         std::vector<const tree_node_base*>& order, std::string& fault) {
  if (!n) return 1;
  if (n->parent != parent) fault += "wrong parent link; ";
  if (n->colour == TREE_RED &&
      ((n->left && n->left->colour == TREE_RED) || (n->right && n->right->colour == TREE_RED)))
    fault += "red node with a red child; ";
  if (order.size() > 100000) {
    fault += "cycle; ";
    return 0;
  }
  int left = walk(n->left, n, order, fault);
  order.push_back(n);
  int right = walk(n->right, n, order, fault);
  if (left != right) fault += "unequal black heights; ";
  return left + (n->colour == TREE_BLACK);
}

// Order, colours, black heights, header links and count, checked without
// the tree's own code; then the tree's verify() must agree.
::testing::AssertionResult check_tree_invariants(const checked_set& s, bool unique = true) {
  const tree_node_base* header = s.header();
  std::vector<const tree_node_base*> order;
  std::string fault;
  if (header->colour != TREE_RED) fault += "header not red; ";
  if (s.root() && s.root()->colour != TREE_BLACK) fault += "red root; ";
  walk(s.root(), header, order, fault);
  if (order.size() != s.size()) fault += "count differs from the nodes; ";
  const tree_node_base* first = order.empty() ? header : order.front();
  const tree_node_base* last = order.empty() ? header : order.back();
  if (header->left != first || header->right != last) fault += "stale leftmost/rightmost; ";
  for (size_t i = 1; i < order.size(); ++i) {
    std::string a = to_std(static_cast<const string_tree_node*>(order[i - 1])->value);
    std::string b = to_std(static_cast<const string_tree_node*>(order[i])->value);
    if (signed_less()(b, a) || (unique && !signed_less()(a, b))) fault += "out of order; ";
  }
  // Iteration in both directions must visit the same nodes.
  std::vector<const tree_node_base*> forward, backward;
  for (auto it = s.begin(); it != s.end() && forward.size() <= order.size(); ++it) {
    forward.push_back(it.node());
  }
  for (auto it = s.end(); it != s.begin() && backward.size() <= order.size();) {
    backward.insert(backward.begin(), (--it).node());
  }
  if (forward != order || backward != order) fault += "iteration differs from the structure; ";
  if (!s.verify()) fault += "verify() reports a fault; ";
  if (fault.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << fault << "\n" << s.dump().c_str();
}

std::vector<std::string> key_pool(std::mt19937& random, size_t n) {
  std::vector<std::string> keys;
  for (size_t i = 0; i < n; ++i) {
    std::string k = "/usr/";
    for (int j = random() % 4; j >= 0; --j) k += "aAz/\xE9\x80"[random() % 6];
    keys.push_back(k);
  }
  return keys;
}

// A tree of ints that counts its comparisons through the context word.
struct int_node : tree_node_base {
  int value;
};

class counting_tree : public tree_base {
 public:
  counting_tree() : tree_base(less, &comparisons) {}
  ~counting_tree() { clear(destroy); }
  tree_node_base* insert_at_hint(tree_node_base* hint, int v) {
    tree_node_base *x, *y, *existing;
    find_hint_unique_position(hint, &v, &x, &y, &existing);
    return existing ? nullptr : insert_node(x, y, make(v));
  }
  static tree_node_base* make(int v) {
    int_node* n = new int_node;
    n->value = v;
    return n;
  }
  using tree_base::header;
  using tree_base::insert_node;
  using tree_base::value_of;
  size_t comparisons = 0;

 private:
  static bool less(void* context, const void* a, const void* b) {
    ++*static_cast<size_t*>(context);
    return *static_cast<const int*>(a) < *static_cast<const int*>(b);
  }
  static void destroy(tree_node_base* n) { delete static_cast<int_node*>(n); }
};

}  // namespace

// ---------------------------------------------------------------------------
// Long random runs against a reference set. The keys mix upper and lower
// case and high bytes, so the reference's signed byte order is checked;
// duplicates, erasing down to an empty tree and iteration both ways from
// end() are checked at every step.

TEST(tree, random_inserts_and_erases_keep_every_invariant) {
  for (unsigned seed : {1u, 2u, 3u}) {
    std::mt19937 random(seed);
    std::vector<std::string> keys = key_pool(random, 150);
    checked_set s;
    std::set<std::string, signed_less> reference;
    for (int step = 0; step < 3000; ++step) {
      const std::string& k = keys[random() % keys.size()];
      ::string key = from_std(k);
      switch (step % 1000 == 999 ? 7 : random() % 8) {
        case 0:
        case 1:
        case 2: {
          auto result = s.insert(key);
          ASSERT_EQ(result.inserted, reference.insert(k).second);
          ASSERT_EQ(to_std(*result.position), k);
          break;
        }
        case 3: {  // a hint that is right, or anywhere
          auto hint = random() % 2 ? s.lower_bound(key) : s.begin();
          for (int n = random() % 3; n > 0 && hint != s.end(); --n) ++hint;
          auto result = s.insert(hint, key);
          ASSERT_EQ(result.inserted, reference.insert(k).second);
          ASSERT_EQ(to_std(*result.position), k);
          break;
        }
        case 4:
        case 5:
          ASSERT_EQ(s.erase(key), reference.erase(k));
          break;
        case 6:
          if (s.contains(key)) s.erase(s.find(key)), reference.erase(k);
          break;
        default:
          if (step % 1000 == 999) {  // the whole range: a clear
            s.erase(s.begin(), s.end());
            reference.clear();
          } else if (step % 100 == 7) {  // a range between two bounds
            ::string other = from_std(keys[random() % keys.size()]);
            if (other < key) key.swap(other);
            s.erase(s.lower_bound(key), s.upper_bound(other));
            reference.erase(reference.lower_bound(to_std(key)),
                            reference.upper_bound(to_std(other)));
          }
      }
      ASSERT_TRUE(check_tree_invariants(s)) << "seed " << seed << " step " << step;
      ASSERT_EQ(contents(s), std::vector<std::string>(reference.begin(), reference.end()));
    }
  }
}

// ---------------------------------------------------------------------------
// Hints

TEST(tree, a_right_hint_saves_the_search_and_a_wrong_one_still_inserts) {
  counting_tree t;
  for (int i = 0; i < 1000; ++i) ASSERT_NE(t.insert_at_hint(t.header(), 2 * i), nullptr);
  EXPECT_LE(t.comparisons, 2u * 1000);  // one check at the hint, one to link
  t.comparisons = 0;
  tree_iterator_base third{t.header()->left};
  third.increment(), third.increment();  // holds 4: 3 goes right before it
  tree_node_base* three = t.insert_at_hint(third.node, 3);
  EXPECT_LE(t.comparisons, 4u);
  EXPECT_EQ(t.insert_at_hint(third.node, 4), nullptr);     // already there
  EXPECT_NE(t.insert_at_hint(third.node, 1001), nullptr);  // far from the hint
  EXPECT_NE(t.insert_at_hint(t.header(), -1), nullptr);
  EXPECT_EQ(*static_cast<const int*>(t.value_of(three)), 3);
  EXPECT_TRUE(t.verify());
  EXPECT_EQ(t.size(), 1003u);
}

// ---------------------------------------------------------------------------
// Copies and misuse

// Equal values, copies, swap, bounds and range erase: the programs call
// none of them, so one quick check.
TEST(tree, library_functions_the_programs_do_not_call) {
  alloc_scope scope;
  {
    std::mt19937 random(5);
    checked_set original;
    for (const std::string& k : key_pool(random, 300)) original.insert(from_std(k));
    ::string equal("/usr/a");
    for (int i = 0; i < 3; ++i) {
      auto it = original.insert_equal(equal);
      ASSERT_TRUE(++it == original.upper_bound(equal)) << "after the equal ones";
    }
    original.insert_equal(original.find(equal), equal);
    EXPECT_TRUE(check_tree_invariants(original, false));
    checked_set copy(original), assigned;
    assigned.insert("/to/be/replaced");
    assigned = original;
    checked_set& same = assigned;
    assigned = same;
    EXPECT_EQ(to_std(copy.dump()), to_std(original.dump())) << "shape and colours";
    EXPECT_EQ(to_std(assigned.dump()), to_std(original.dump()));
    copy.erase(copy.lower_bound(equal), copy.upper_bound(equal));
    copy.swap(assigned);
    EXPECT_EQ(copy.count(equal), original.count(equal));
    EXPECT_EQ(assigned.count(equal), 0u);
    EXPECT_TRUE(check_tree_invariants(assigned, false));
    EXPECT_TRUE(check_tree_invariants(copy, false));
  }
  EXPECT_EQ(scope.live(), 0);
}

TEST(tree, linking_without_a_parent_or_a_node_stops_the_program) {
  counting_tree t;
  EXPECT_DEATH(t.insert_node(nullptr, nullptr, counting_tree::make(1)),
               "tree.cpp:[0-9]+: .*y && z");
  EXPECT_DEATH(t.insert_node(nullptr, t.header(), nullptr), "y && z");
}
