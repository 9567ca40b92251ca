#pragma once
// An ordered collection keyed by an identifier: items keep their insertion order,
// positions count from 1, and a removal moves the later items one position down.
// The key of an item is "k" followed by its ID; the ID itself is stored, so
// lookups build no text. This class owns its items (copies of T).
//
// Small by design: a server keeps several per client. An empty collection holds no
// memory; while IDs were added in ascending order (the usual case: IDs come from one
// counter) lookups search the items themselves, and only a collection that was
// given an ID out of order keeps an index, sorted by ID, of eight bytes an item.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "base/RaisedError.h"

namespace toruna::session {

inline constexpr int32_t kErrSubscriptOutOfRange = 9;
inline constexpr const char* kTextSubscriptOutOfRange = "Subscript out of range";

template <typename T>
class KeyedCollection {
 public:
  struct Entry {
    int32_t id;
    T item;
  };

  KeyedCollection() = default;
  // Items leave one by one, so an item's end finds a consistent collection.
  ~KeyedCollection() { Clear(); }
  KeyedCollection(const KeyedCollection&) = delete;
  KeyedCollection& operator=(const KeyedCollection&) = delete;
  KeyedCollection(KeyedCollection&&) noexcept = default;
  KeyedCollection& operator=(KeyedCollection&&) noexcept = default;

  // False when an item with this ID is already present (nothing changes then).
  bool Add(int32_t id, T item) {
    if (FindEntry(id) != nullptr) return false;
    if (!store_) store_ = std::make_unique<Store>();
    std::vector<Entry>& entries = store_->entries;
    std::vector<IndexEntry>& index = store_->index;
    if (index.empty() && !entries.empty() && id < entries.back().id) {
      // The first ID out of order: from now on an index keeps the search.
      index.reserve(entries.size() + 1);
      for (size_t i = 0; i < entries.size(); ++i) index.push_back({entries[i].id, static_cast<uint32_t>(i)});
    }
    if (!index.empty()) {
      index.insert(LowerBound(index, id), IndexEntry{id, static_cast<uint32_t>(entries.size())});
    }
    entries.push_back(Entry{id, std::move(item)});
    return true;
  }

  // False when no item has this ID.
  bool Remove(int32_t id) {
    const int32_t position = PositionOf(id);
    if (position == 0) return false;
    EraseAt(static_cast<size_t>(position - 1));
    return true;
  }

  // Removes every item whose ID is listed, in one pass over the collection (one
  // Remove per ID would renumber the later items each time). The items leave the
  // collection before their destructors run. Returns how many were removed.
  template <typename Ids>
  size_t RemoveIds(const Ids& ids) {
    if (!store_) return 0;
    std::vector<int32_t> doomed;
    for (int32_t id : ids) {
      if (FindEntry(id) != nullptr) doomed.push_back(id);
    }
    if (doomed.empty()) return 0;
    std::sort(doomed.begin(), doomed.end());
    doomed.erase(std::unique(doomed.begin(), doomed.end()), doomed.end());
    std::vector<Entry>& entries = store_->entries;
    std::vector<Entry> gone;
    gone.reserve(doomed.size());
    size_t kept = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
      if (std::binary_search(doomed.begin(), doomed.end(), entries[i].id)) {
        gone.push_back(std::move(entries[i]));
        continue;
      }
      if (kept != i) entries[kept] = std::move(entries[i]);
      ++kept;
    }
    entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(kept), entries.end());
    RebuildIndex();
    if (entries.empty()) store_.reset();
    while (!gone.empty()) gone.pop_back();
    return doomed.size();
  }

  // False when position is outside 1 to Count().
  bool RemoveAt(int32_t position) {
    if (position < 1 || position > Count()) return false;
    EraseAt(static_cast<size_t>(position - 1));
    return true;
  }

  int32_t Count() const { return store_ ? static_cast<int32_t>(store_->entries.size()) : 0; }
  bool Contains(int32_t id) const { return FindEntry(id) != nullptr; }

  // The item at a position from 1; raises 9 outside 1 to Count().
  const T& Item(int32_t position) const { return EntryAt(position).item; }
  T& Item(int32_t position) { return const_cast<Entry&>(std::as_const(*this).EntryAt(position)).item; }
  int32_t IdAt(int32_t position) const { return EntryAt(position).id; }

  // The item with this ID, or nullptr. The pointer is valid until the next change.
  T* Find(int32_t id) {
    const Entry* entry = FindEntry(id);
    return entry == nullptr ? nullptr : &const_cast<Entry*>(entry)->item;
  }
  const T* Find(int32_t id) const {
    const Entry* entry = FindEntry(id);
    return entry == nullptr ? nullptr : &entry->item;
  }
  // Find, trying first the position from 1 where the item was: a walk over IDs
  // taken earlier pays no search while nothing has moved.
  T* FindNear(int32_t id, size_t position) {
    if (store_ && position >= 1 && position <= store_->entries.size()) {
      Entry& entry = store_->entries[position - 1];
      if (entry.id == id) return &entry.item;
    }
    return Find(id);
  }

  // Position from 1 of the item with this ID; 0 when absent.
  int32_t PositionOf(int32_t id) const {
    const Entry* entry = FindEntry(id);
    return entry == nullptr ? 0 : static_cast<int32_t>(entry - store_->entries.data()) + 1;
  }

  void Clear() {
    // Items may hold what refers back here; move them out before they end.
    std::unique_ptr<Store> gone = std::move(store_);
    if (!gone) return;
    while (!gone->entries.empty()) gone->entries.pop_back();
  }

  const Entry* begin() const { return store_ ? store_->entries.data() : nullptr; }
  const Entry* end() const { return store_ ? store_->entries.data() + store_->entries.size() : nullptr; }

 private:
  struct IndexEntry {
    int32_t id;
    uint32_t position;  // from 0
  };
  struct Store {
    std::vector<Entry> entries;
    std::vector<IndexEntry> index;  // by ID; empty while entries are in ascending ID order
  };

  static typename std::vector<IndexEntry>::iterator LowerBound(std::vector<IndexEntry>& index, int32_t id) {
    return std::lower_bound(index.begin(), index.end(), id,
                            [](const IndexEntry& e, int32_t key) { return e.id < key; });
  }

  const Entry* FindEntry(int32_t id) const {
    if (!store_) return nullptr;
    const std::vector<Entry>& entries = store_->entries;
    const std::vector<IndexEntry>& index = store_->index;
    if (index.empty()) {
      auto it = std::lower_bound(entries.begin(), entries.end(), id,
                                 [](const Entry& e, int32_t key) { return e.id < key; });
      return it != entries.end() && it->id == id ? &*it : nullptr;
    }
    auto it = std::lower_bound(index.begin(), index.end(), id,
                               [](const IndexEntry& e, int32_t key) { return e.id < key; });
    return it != index.end() && it->id == id ? &entries[it->position] : nullptr;
  }

  const Entry& EntryAt(int32_t position) const {
    if (position < 1 || position > Count()) {
      throw base::RaisedError(kErrSubscriptOutOfRange, "Collection.Item", kTextSubscriptOutOfRange);
    }
    return store_->entries[static_cast<size_t>(position - 1)];
  }

  void EraseAt(size_t at) {
    std::vector<Entry>& entries = store_->entries;
    std::vector<IndexEntry>& index = store_->index;
    // The item leaves the collection before its destructor runs.
    T gone = std::move(entries[at].item);
    const int32_t id = entries[at].id;
    entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(at));
    if (!index.empty()) {
      index.erase(LowerBound(index, id));
      for (IndexEntry& e : index) {
        if (e.position > at) --e.position;
      }
    }
    if (entries.empty()) store_.reset();
  }

  // After a removal of several: the index again, or none when the items left are
  // in ascending order.
  void RebuildIndex() {
    std::vector<Entry>& entries = store_->entries;
    std::vector<IndexEntry>& index = store_->index;
    index.clear();
    bool ascending = true;
    for (size_t i = 1; i < entries.size() && ascending; ++i) ascending = entries[i - 1].id < entries[i].id;
    if (ascending) {
      index.shrink_to_fit();
      return;
    }
    for (size_t i = 0; i < entries.size(); ++i) index.push_back({entries[i].id, static_cast<uint32_t>(i)});
    std::sort(index.begin(), index.end(), [](const IndexEntry& a, const IndexEntry& b) { return a.id < b.id; });
  }

  std::unique_ptr<Store> store_;  // none while empty
};

// The IDs of a collection at one moment, for walks that the visited items can
// shorten: the walk looks each ID up again and skips those that have gone.
// Up to kInline IDs are held without touching the heap.
class IdSnapshot {
 public:
  static constexpr size_t kInline = 64;

  template <typename C>
  explicit IdSnapshot(const C& collection) {
    size_ = static_cast<size_t>(collection.Count());
    int32_t* out = inline_;
    if (size_ > kInline) {
      heap_.resize(size_);
      out = heap_.data();
    }
    size_t i = 0;
    for (const auto& entry : collection) out[i++] = entry.id;
  }
  IdSnapshot(const IdSnapshot&) = delete;
  IdSnapshot& operator=(const IdSnapshot&) = delete;

  size_t size() const { return size_; }
  int32_t operator[](size_t i) const { return size_ > kInline ? heap_[i] : inline_[i]; }

 private:
  int32_t inline_[kInline];
  std::vector<int32_t> heap_;
  size_t size_ = 0;
};

}  // namespace toruna::session
