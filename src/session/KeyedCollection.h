#pragma once
// An ordered collection keyed by an identifier: items keep their insertion order,
// positions count from 1, and a removal moves the later items one position down.
// The key of an item is "k" followed by its ID; the ID itself is stored, so
// lookups build no text. This class owns its items (copies of T).

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "net/RaisedError.h"

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
  KeyedCollection(const KeyedCollection&) = default;
  KeyedCollection& operator=(const KeyedCollection&) = default;
  KeyedCollection(KeyedCollection&&) noexcept = default;
  KeyedCollection& operator=(KeyedCollection&&) noexcept = default;

  // False when an item with this ID is already present (nothing changes then).
  bool Add(int32_t id, T item) {
    auto [it, inserted] = index_.try_emplace(id, entries_.size());
    if (!inserted) return false;
    entries_.push_back(Entry{id, std::move(item)});
    return true;
  }

  // False when no item has this ID.
  bool Remove(int32_t id) {
    auto it = index_.find(id);
    if (it == index_.end()) return false;
    EraseIndex(it->second);
    return true;
  }

  // Removes every item whose ID is listed, in one pass over the collection (one
  // Remove per ID would renumber the later items each time). The items leave the
  // collection before their destructors run. Returns how many were removed.
  template <typename Ids>
  size_t RemoveIds(const Ids& ids) {
    size_t marked = 0;
    for (int32_t id : ids) {
      auto it = index_.find(id);
      if (it == index_.end()) continue;
      index_.erase(it);
      ++marked;
    }
    if (marked == 0) return 0;
    std::vector<Entry> gone;
    gone.reserve(marked);
    size_t kept = 0;
    for (size_t i = 0; i < entries_.size(); ++i) {
      if (!index_.count(entries_[i].id)) {
        gone.push_back(std::move(entries_[i]));
        continue;
      }
      if (kept != i) entries_[kept] = std::move(entries_[i]);
      index_[entries_[kept].id] = kept;
      ++kept;
    }
    entries_.resize(kept);
    while (!gone.empty()) gone.pop_back();
    return marked;
  }

  // False when position is outside 1 to Count().
  bool RemoveAt(int32_t position) {
    if (position < 1 || position > Count()) return false;
    EraseIndex(static_cast<size_t>(position - 1));
    return true;
  }

  int32_t Count() const { return static_cast<int32_t>(entries_.size()); }
  bool Contains(int32_t id) const { return index_.count(id) != 0; }

  // The item at a position from 1; raises 9 outside 1 to Count().
  const T& Item(int32_t position) const { return EntryAt(position).item; }
  T& Item(int32_t position) { return const_cast<Entry&>(std::as_const(*this).EntryAt(position)).item; }
  int32_t IdAt(int32_t position) const { return EntryAt(position).id; }

  // The item with this ID, or nullptr. The pointer is valid until the next change.
  T* Find(int32_t id) {
    auto it = index_.find(id);
    return it == index_.end() ? nullptr : &entries_[it->second].item;
  }
  const T* Find(int32_t id) const {
    auto it = index_.find(id);
    return it == index_.end() ? nullptr : &entries_[it->second].item;
  }

  // Position from 1 of the item with this ID; 0 when absent.
  int32_t PositionOf(int32_t id) const {
    auto it = index_.find(id);
    return it == index_.end() ? 0 : static_cast<int32_t>(it->second) + 1;
  }

  void Clear() {
    index_.clear();
    // Items may hold what refers back here; move them out before they end.
    std::vector<Entry> gone;
    gone.swap(entries_);
    while (!gone.empty()) gone.pop_back();
  }

  typename std::vector<Entry>::const_iterator begin() const { return entries_.begin(); }
  typename std::vector<Entry>::const_iterator end() const { return entries_.end(); }

 private:
  const Entry& EntryAt(int32_t position) const {
    if (position < 1 || position > Count()) {
      throw net::RaisedError(kErrSubscriptOutOfRange, "Collection.Item", kTextSubscriptOutOfRange);
    }
    return entries_[static_cast<size_t>(position - 1)];
  }

  void EraseIndex(size_t at) {
    index_.erase(entries_[at].id);
    for (size_t i = at + 1; i < entries_.size(); ++i) index_[entries_[i].id] = i - 1;
    // The item leaves the collection before its destructor runs.
    T gone = std::move(entries_[at].item);
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(at));
  }

  std::vector<Entry> entries_;
  std::unordered_map<int32_t, size_t> index_;
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
