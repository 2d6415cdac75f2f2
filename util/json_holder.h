// JsonHolder: an owning or borrowing view of a cJSON item with typed getters. Every getter works on a holder
// without an item. Holders from Get and At borrow from the parent's tree and must not outlive it.
#pragma once

#include <cstdint>

struct cJSON;

class JsonHolder {
 public:
  // Type codes of Type().
  enum : int { kNone = 0, kNull = 1, kBool = 2, kString = 3, kNumber = 4, kArray = 5, kObject = 6, kRaw = 7 };

  // A holder without an item.
  JsonHolder() = default;
  // A holder over item; it deletes the tree on destruction unless borrowed.
  JsonHolder(cJSON* item, bool borrowed) : item_(item), borrowed_(borrowed) {}
  // Deletes the tree when owned.
  ~JsonHolder();
  JsonHolder(JsonHolder&& other) noexcept;
  JsonHolder& operator=(JsonHolder&& other) noexcept;
  JsonHolder(const JsonHolder&) = delete;
  JsonHolder& operator=(const JsonHolder&) = delete;

  // A new owning holder: kNull a null item, kArray an empty array, kObject an empty object; other codes no
  // item.
  static JsonHolder Create(int type);
  // Holds item instead (an owned tree held before is deleted).
  void Attach(cJSON* item, bool borrowed);

  // Borrowed holder of the object member key, matched without regard to letter case; no item when absent.
  JsonHolder Get(const char* key) const;
  // Borrowed holder of element index of an array; no item when out of range.
  JsonHolder At(int index) const;
  // Number of elements of an array (or members of an object); 0 otherwise.
  int Size() const;
  // 1 when an item is held.
  int IsValid() const { return item_ != nullptr; }
  // 1 when an object is held that has a member key.
  int Has(const char* key) const;
  // Text of a string item, else null.
  const char* AsStringOrNull() const;
  // Text of a string item, else "".
  const char* AsString() const;
  // A number's integer value; a string's decimal value (like atoi, clamped to int); anything else 0.
  int AsInt() const;
  // Type code, kNone to kRaw.
  int Type() const;
  // The cJSON item held, or null (for building and printing with cJSON).
  cJSON* Item() const { return item_; }

 private:
  cJSON* item_ = nullptr;
  uint8_t borrowed_ = 0;
};
