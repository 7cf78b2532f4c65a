#include "downloader/storage/range_set.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace zelt {

struct RangeSet::Node {
  std::uint32_t lo;
  std::uint32_t hi;
  int height = 1;
  Node* left = nullptr;
  Node* right = nullptr;
};

namespace {

// The full check walks the whole tree; at every mutation only small sets get it.
[[maybe_unused]] constexpr std::size_t kCheckEveryMutationBelow = 256;

[[noreturn]] void InvariantFailed(const char* what) {
  std::fprintf(stderr, "RangeSet invariant failed: %s\n", what);
  std::abort();
}

}  // namespace

RangeSet::RangeSet(const RangeSet& other)
    : root_(Clone(other.root_)), count_(other.count_), ranges_(other.ranges_) {}

RangeSet& RangeSet::operator=(const RangeSet& other) {
  if (this != &other) {
    Node* copy = Clone(other.root_);
    Destroy(root_);
    root_ = copy;
    count_ = other.count_;
    ranges_ = other.ranges_;
  }
  return *this;
}

RangeSet::RangeSet(RangeSet&& other) noexcept
    : root_(std::exchange(other.root_, nullptr)),
      count_(std::exchange(other.count_, 0)),
      ranges_(std::exchange(other.ranges_, 0)) {}

RangeSet& RangeSet::operator=(RangeSet&& other) noexcept {
  if (this != &other) {
    Destroy(root_);
    root_ = std::exchange(other.root_, nullptr);
    count_ = std::exchange(other.count_, 0);
    ranges_ = std::exchange(other.ranges_, 0);
  }
  return *this;
}

RangeSet::~RangeSet() { Destroy(root_); }

void RangeSet::Clear() {
  Destroy(root_);
  root_ = nullptr;
  count_ = 0;
  ranges_ = 0;
}

void RangeSet::Destroy(Node* n) {
  // Iterative so that no tree shape can exhaust the stack.
  while (n) {
    if (n->left) {
      Node* l = n->left;
      n->left = l->right;
      l->right = n;
      n = l;
    } else {
      Node* r = n->right;
      delete n;
      n = r;
    }
  }
}

RangeSet::Node* RangeSet::Clone(const Node* n) {
  if (!n) return nullptr;
  Node* c = new Node{n->lo, n->hi, n->height, nullptr, nullptr};
  c->left = Clone(n->left);
  c->right = Clone(n->right);
  return c;
}

int RangeSet::Height(const Node* n) { return n ? n->height : 0; }

void RangeSet::Update(Node* n) { n->height = 1 + std::max(Height(n->left), Height(n->right)); }

RangeSet::Node* RangeSet::RotateLeft(Node* n) {
  Node* r = n->right;
  n->right = r->left;
  r->left = n;
  Update(n);
  Update(r);
  return r;
}

RangeSet::Node* RangeSet::RotateRight(Node* n) {
  Node* l = n->left;
  n->left = l->right;
  l->right = n;
  Update(n);
  Update(l);
  return l;
}

RangeSet::Node* RangeSet::Balance(Node* n) {
  Update(n);
  const int diff = Height(n->left) - Height(n->right);
  if (diff > 1) {
    if (Height(n->left->left) < Height(n->left->right)) n->left = RotateLeft(n->left);
    return RotateRight(n);
  }
  if (diff < -1) {
    if (Height(n->right->right) < Height(n->right->left)) n->right = RotateRight(n->right);
    return RotateLeft(n);
  }
  return n;
}

RangeSet::Node* RangeSet::InsertNode(Node* n, std::uint32_t lo, std::uint32_t hi) {
  if (!n) return new Node{lo, hi};
  if (lo < n->lo) {
    n->left = InsertNode(n->left, lo, hi);
  } else {
    n->right = InsertNode(n->right, lo, hi);
  }
  return Balance(n);
}

RangeSet::Node* RangeSet::EraseMin(Node* n, Node*& min) {
  if (!n->left) {
    min = n;
    return n->right;
  }
  n->left = EraseMin(n->left, min);
  return Balance(n);
}

RangeSet::Node* RangeSet::EraseNode(Node* n, std::uint32_t lo) {
  if (!n) return nullptr;
  if (lo < n->lo) {
    n->left = EraseNode(n->left, lo);
  } else if (lo > n->lo) {
    n->right = EraseNode(n->right, lo);
  } else {
    Node* l = n->left;
    Node* r = n->right;
    delete n;
    if (!r) return l;
    Node* min = nullptr;
    r = EraseMin(r, min);
    min->left = l;
    min->right = r;
    return Balance(min);
  }
  return Balance(n);
}

const RangeSet::Node* RangeSet::Floor(std::uint32_t v) const {
  const Node* best = nullptr;
  for (const Node* n = root_; n;) {
    if (n->lo <= v) {
      best = n;
      n = n->right;
    } else {
      n = n->left;
    }
  }
  return best;
}

const RangeSet::Node* RangeSet::Above(std::uint32_t v) const {
  const Node* best = nullptr;
  for (const Node* n = root_; n;) {
    if (n->lo > v) {
      best = n;
      n = n->left;
    } else {
      n = n->right;
    }
  }
  return best;
}

void RangeSet::Add(std::uint32_t lo, std::uint32_t hi) {
  root_ = InsertNode(root_, lo, hi);
  count_ += std::uint64_t{hi} - lo + 1;
  ++ranges_;
}

void RangeSet::Erase(std::uint32_t lo) {
  const Node* n = Floor(lo);
  if (!n || n->lo != lo) return;
  count_ -= std::uint64_t{n->hi} - n->lo + 1;
  --ranges_;
  root_ = EraseNode(root_, lo);
}

void RangeSet::InsertRange(std::uint32_t lo, std::uint32_t hi) {
  CheckSmall();
  if (lo > hi) return;
  std::uint32_t new_lo = lo;
  std::uint32_t new_hi = hi;
  // A range ending at lo - 1 or later that starts at or before lo joins on the left.
  if (const Node* left = Floor(lo)) {
    if (std::uint64_t{left->hi} + 1 >= lo) {
      if (left->hi >= hi) return;  // already covered
      new_lo = left->lo;
      Erase(left->lo);
    }
  }
  // Every range starting within [lo, hi + 1] is swallowed; the last one may extend hi.
  for (;;) {
    const Node* next = Above(new_lo);
    if (!next || std::uint64_t{next->lo} > std::uint64_t{hi} + 1) break;
    new_hi = std::max(new_hi, next->hi);
    Erase(next->lo);
  }
  Add(new_lo, new_hi);
}

void RangeSet::RemoveRange(std::uint32_t lo, std::uint32_t hi) {
  CheckSmall();
  if (lo > hi || !root_) return;
  // The range that starts at or before lo may keep a head and a tail.
  if (const Node* left = Floor(lo)) {
    if (left->hi >= lo) {
      const std::uint32_t l_lo = left->lo;
      const std::uint32_t l_hi = left->hi;
      Erase(l_lo);
      if (l_lo < lo) Add(l_lo, lo - 1);
      if (l_hi > hi) {
        Add(hi + 1, l_hi);
        return;
      }
    }
  }
  // Ranges starting inside (lo, hi] go, the last one may keep a tail.
  for (;;) {
    const Node* next = Above(lo);
    if (!next || next->lo > hi) break;
    const std::uint32_t n_lo = next->lo;
    const std::uint32_t n_hi = next->hi;
    Erase(n_lo);
    if (n_hi > hi) {
      Add(hi + 1, n_hi);
      break;
    }
  }
}

bool RangeSet::Contains(std::uint32_t v) const {
  const Node* n = Floor(v);
  return n && n->hi >= v;
}

bool RangeSet::Find(std::uint32_t v, std::uint32_t& lo, std::uint32_t& hi) const {
  const Node* n = Floor(v);
  if (!n || n->hi < v) return false;
  lo = n->lo;
  hi = n->hi;
  return true;
}

bool RangeSet::First(std::uint32_t& lo, std::uint32_t& hi) const {
  const Node* n = root_;
  if (!n) return false;
  while (n->left) n = n->left;
  lo = n->lo;
  hi = n->hi;
  return true;
}

void RangeSet::ForEach(const std::function<void(std::uint32_t, std::uint32_t)>& fn) const {
  // In-order walk with an explicit stack; an AVL tree of 2^32 ranges is under 64 high.
  const Node* stack[96];
  int depth = 0;
  const Node* n = root_;
  while (n || depth > 0) {
    while (n) {
      stack[depth++] = n;
      n = n->left;
    }
    n = stack[--depth];
    fn(n->lo, n->hi);
    n = n->right;
  }
}

bool RangeSet::operator==(const RangeSet& other) const {
  if (count_ != other.count_ || ranges_ != other.ranges_) return false;
  bool same = true;
  std::uint32_t lo = 0;
  std::uint32_t hi = 0;
  ForEach([&](std::uint32_t a, std::uint32_t b) {
    if (!other.Find(a, lo, hi) || lo != a || hi != b) same = false;
  });
  return same;
}

void RangeSet::CheckSmall() const {
#if !defined(NDEBUG) || defined(KESTRA_CHECK_INVARIANTS)
  if (ranges_ < kCheckEveryMutationBelow) check_invariant();
#endif
}

void RangeSet::check_invariant() const {
  std::uint64_t count = 0;
  std::size_t ranges = 0;
  bool have_prev = false;
  std::uint32_t prev_hi = 0;
  // Heights and balance, recursively.
  std::function<int(const Node*)> check = [&](const Node* n) -> int {
    if (!n) return 0;
    const int l = check(n->left);
    const int r = check(n->right);
    if (n->height != 1 + std::max(l, r)) InvariantFailed("stale height");
    if (l - r > 1 || r - l > 1) InvariantFailed("unbalanced");
    return n->height;
  };
  check(root_);
  ForEach([&](std::uint32_t lo, std::uint32_t hi) {
    if (lo > hi) InvariantFailed("inverted range");
    if (have_prev && std::uint64_t{prev_hi} + 1 >= lo) InvariantFailed("ranges overlap or touch");
    have_prev = true;
    prev_hi = hi;
    count += std::uint64_t{hi} - lo + 1;
    ++ranges;
  });
  if (count != count_) InvariantFailed("value count");
  if (ranges != ranges_) InvariantFailed("range count");
}

}  // namespace zelt
