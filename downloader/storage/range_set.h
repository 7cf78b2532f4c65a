#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace zelt {

// A set of uint32 values kept as disjoint, non-adjacent closed ranges [lo, hi]
// in an AVL tree ordered by lo. Inserting merges with neighbours, removing
// splits, so the tree always holds the fewest ranges that describe the set.
class RangeSet {
 public:
  RangeSet() = default;
  RangeSet(const RangeSet& other);
  RangeSet& operator=(const RangeSet& other);
  RangeSet(RangeSet&& other) noexcept;
  RangeSet& operator=(RangeSet&& other) noexcept;
  ~RangeSet();

  void Insert(std::uint32_t v) { InsertRange(v, v); }
  // Both ends included; lo > hi inserts nothing.
  void InsertRange(std::uint32_t lo, std::uint32_t hi);
  void RemoveRange(std::uint32_t lo, std::uint32_t hi);
  void Remove(std::uint32_t v) { RemoveRange(v, v); }
  bool Contains(std::uint32_t v) const;
  // The range holding v; false when v is not in the set.
  bool Find(std::uint32_t v, std::uint32_t& lo, std::uint32_t& hi) const;
  // The lowest range; false when the set is empty.
  bool First(std::uint32_t& lo, std::uint32_t& hi) const;
  // Ranges in ascending order.
  void ForEach(const std::function<void(std::uint32_t lo, std::uint32_t hi)>& fn) const;
  // Number of values (up to 2^32, hence 64 bits).
  std::uint64_t Count() const { return count_; }
  std::size_t RangeCount() const { return ranges_; }
  bool Empty() const { return count_ == 0; }
  void Clear();

  bool operator==(const RangeSet& other) const;

  // Tree balance, order, disjointness and the cached counts; aborts on a fault.
  void check_invariant() const;

 private:
  struct Node;
  static void Destroy(Node* n);
  static Node* Clone(const Node* n);
  static Node* InsertNode(Node* n, std::uint32_t lo, std::uint32_t hi);
  static Node* EraseNode(Node* n, std::uint32_t lo);
  static Node* Balance(Node* n);
  static Node* RotateLeft(Node* n);
  static Node* RotateRight(Node* n);
  static Node* EraseMin(Node* n, Node*& min);
  static void Update(Node* n);
  static int Height(const Node* n);
  // The node with the greatest lo <= v, or nullptr.
  const Node* Floor(std::uint32_t v) const;
  // The node with the smallest lo > v, or nullptr.
  const Node* Above(std::uint32_t v) const;
  void CheckSmall() const;
  void Add(std::uint32_t lo, std::uint32_t hi);
  void Erase(std::uint32_t lo);

  Node* root_ = nullptr;
  std::uint64_t count_ = 0;
  std::size_t ranges_ = 0;
};

}  // namespace zelt
