// StoreTable: the named byte arrays of one FileOps object. IDs compare without
// regard to case. Every change replaces a store whole, so a failure part-way
// through leaves the table as it was.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quillon {

class StoreTable {
 public:
  using Bytes = std::vector<uint8_t>;

  // Adds a store; run-time error 457 when the ID is already in use.
  void Insert(std::u16string_view id, Bytes bytes);
  // A copy of a store; run-time error 5 when there is none under the ID.
  Bytes Fetch(std::u16string_view id) const;
  // The store itself, for readers that copy nothing; run-time error 5 when missing.
  const Bytes& Peek(std::u16string_view id) const;
  // Puts new bytes in place of an existing store (inserts when there is none).
  void Replace(std::u16string_view id, Bytes bytes);
  // Removes a store; run-time error 5 when there is none under the ID.
  void Remove(std::u16string_view id);
  bool IsStore(std::u16string_view id) const;
  void Clear();
  size_t size() const { return stores_.size(); }

 private:
  static std::u16string Key(std::u16string_view id);

  std::unordered_map<std::u16string, Bytes> stores_;
};

}  // namespace quillon
