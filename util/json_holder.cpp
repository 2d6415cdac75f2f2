#include "util/json_holder.h"

#include <cjson/cJSON.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

JsonHolder::~JsonHolder() {
  if (item_ && !borrowed_) cJSON_Delete(item_);
}

JsonHolder::JsonHolder(JsonHolder&& other) noexcept
    : item_(std::exchange(other.item_, nullptr)), borrowed_(other.borrowed_) {}

JsonHolder& JsonHolder::operator=(JsonHolder&& other) noexcept {
  if (this != &other) {
    Attach(std::exchange(other.item_, nullptr), other.borrowed_);
  }
  return *this;
}

JsonHolder JsonHolder::Create(int type) {
  switch (type) {
    case kNull:
      return JsonHolder(cJSON_CreateNull(), false);
    case kArray:
      return JsonHolder(cJSON_CreateArray(), false);
    case kObject:
      return JsonHolder(cJSON_CreateObject(), false);
    default:
      return JsonHolder();
  }
}

void JsonHolder::Attach(cJSON* item, bool borrowed) {
  if (item_ && !borrowed_ && item_ != item) cJSON_Delete(item_);
  item_ = item;
  borrowed_ = borrowed;
}

JsonHolder JsonHolder::Get(const char* key) const {
  if (!key || !cJSON_IsObject(item_)) return JsonHolder();
  return JsonHolder(cJSON_GetObjectItem(item_, key), true);
}

JsonHolder JsonHolder::At(int index) const {
  if (index < 0 || !cJSON_IsArray(item_)) return JsonHolder();
  return JsonHolder(cJSON_GetArrayItem(item_, index), true);
}

int JsonHolder::Size() const {
  if (!cJSON_IsArray(item_) && !cJSON_IsObject(item_)) return 0;
  return cJSON_GetArraySize(item_);
}

int JsonHolder::Has(const char* key) const { return Get(key).IsValid(); }

const char* JsonHolder::AsStringOrNull() const {
  return cJSON_IsString(item_) ? item_->valuestring : nullptr;
}

const char* JsonHolder::AsString() const {
  const char* s = AsStringOrNull();
  return s ? s : "";
}

int JsonHolder::AsInt() const {
  if (cJSON_IsNumber(item_)) return item_->valueint;
  if (const char* s = AsStringOrNull()) {
    long v = std::strtol(s, nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
  }
  return 0;
}

int JsonHolder::Type() const {
  if (!item_) return kNone;
  switch (item_->type & 0xFF) {
    case cJSON_NULL:
      return kNull;
    case cJSON_False:
    case cJSON_True:
      return kBool;
    case cJSON_String:
      return kString;
    case cJSON_Number:
      return kNumber;
    case cJSON_Array:
      return kArray;
    case cJSON_Object:
      return kObject;
    case cJSON_Raw:
      return kRaw;
    default:
      return kNone;
  }
}
