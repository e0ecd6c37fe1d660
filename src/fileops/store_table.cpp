#include "fileops/store_table.h"

#include "core/status.h"
#include "core/text.h"

namespace quillon {

std::u16string StoreTable::Key(std::u16string_view id) { return ToUpperText(id); }

void StoreTable::Insert(std::u16string_view id, Bytes bytes) {
  auto [it, inserted] = stores_.try_emplace(Key(id), std::move(bytes));
  if (!inserted) throw RuntimeError(rt::kKeyAlreadyInUse);
}

StoreTable::Bytes StoreTable::Fetch(std::u16string_view id) const { return Peek(id); }

const StoreTable::Bytes& StoreTable::Peek(std::u16string_view id) const {
  auto it = stores_.find(Key(id));
  if (it == stores_.end()) throw RuntimeError(rt::kInvalidProcedureCall);
  return it->second;
}

void StoreTable::Replace(std::u16string_view id, Bytes bytes) {
  stores_.insert_or_assign(Key(id), std::move(bytes));
}

void StoreTable::Remove(std::u16string_view id) {
  if (stores_.erase(Key(id)) == 0) throw RuntimeError(rt::kInvalidProcedureCall);
}

bool StoreTable::IsStore(std::u16string_view id) const { return stores_.count(Key(id)) != 0; }

void StoreTable::Clear() { stores_.clear(); }

}  // namespace quillon
