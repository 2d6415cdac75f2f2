#include "sdk/storage/oss_cacher.h"

#include <strings.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>

#include "sdk/cloud/orvel_server.h"
#include "util/crypto.h"
#include "util/log.h"

namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// The part of a storage URL after its host, or the text itself; false for a URL of an unknown scheme.
bool PathOf(const std::string& text, std::string* path) {
  if (strncasecmp(text.c_str(), "http", 4) == 0) {
    StorageUrl u;
    if (!ParseStorageUrl(text.c_str(), &u)) return false;
    *path = u.path;
    return true;
  }
  *path = text;
  return true;
}

}  // namespace

bool CacheIdIsSafe(const std::string& id) {
  return !id.empty() && id != "." && id != ".." && id.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

bool CachePathIsSafe(const std::string& relative) {
  if (relative.find('\0') != std::string::npos) return false;
  size_t i = 0;
  while (i <= relative.size()) {
    size_t j = relative.find_first_of("/\\", i);
    if (j == std::string::npos) j = relative.size();
    if (relative.compare(i, j - i, "..") == 0 && j - i == 2) return false;
    i = j + 1;
  }
  return true;
}

int COssCacher::Decrypt(const void* in, int len, void* out) {
  return CryptoDesDecrypt(in, len, des_key_.c_str(), out);
}

int COssCacher::KeyForTime(int64_t t, std::string* key) {
  key->clear();
  if (!CacheIdIsSafe(uuid_)) {
    LogPrintf(kLogError, nullptr, "COssCacher::KeyForTime", "device id unfit for a folder name\n");
    return -1;
  }
  int64_t start = t - ((t % 5) + 5) % 5;
  time_t tt = static_cast<time_t>(start);
  struct tm tm {};
  localtime_r(&tt, &tm);
  char buf[160];
  std::snprintf(buf, sizeof buf, "/%s/%d/%02d/%02d/%02d/%02d-%02d.data", uuid_.c_str(), tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  *key = buf;
  return 0;
}

bool COssCacher::LocalPath(const std::string& key_or_url, std::string* path) {
  std::string rest;
  if (!PathOf(key_or_url, &rest) || !CachePathIsSafe(rest)) return false;
  // Separators stay "/" on this platform; a key begins with one.
  if (rest.empty() || rest[0] != '/') rest = "/" + rest;
  // Without a root the path would lie in the filesystem's root: nothing is cached.
  const std::string root = CacheRoot();
  if (root.empty()) return false;
  *path = root + rest;
  return true;
}

int COssCacher::CheckLocal(const std::string& path) {
  if (Exists(path)) return 0;
  if (Exists(path + ".nofile")) return kCsMissing;
  return -1;
}

bool UrlToCachePath(const std::string& url_or_path, std::string* out) {
  std::string rest;
  if (!PathOf(url_or_path, &rest)) return false;
  size_t q = rest.find('?');
  if (q != std::string::npos) rest.resize(q);
  if (!CachePathIsSafe(rest)) return false;
  // A text without a leading separator still lands inside the root, not beside it.
  if (rest.empty() || rest[0] != '/') rest = "/" + rest;
  // Without a root the path would lie in the filesystem's root: nothing is cached.
  const std::string root = CacheRoot();
  if (root.empty()) return false;
  if (out) *out = root + rest;
  return true;
}

CsSegmentStore::CsSegmentStore(COrvelServer* server, std::string device_id, std::string uuid, std::string des_key)
    : server_(server), device_id_(std::move(device_id)), uuid_(uuid), cacher_(std::move(uuid), std::move(des_key)) {}

COssAccessor* CsSegmentStore::GetAccessor(uint32_t ossid) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = accessors_.find(ossid);
  if (it != accessors_.end()) return it->second.get();
  std::unique_ptr<COssAccessor> made;
  int result = CreateAccessor(server_, device_id_, uuid_, ossid, &made);
  if (result != 0 || !made) {
    LogPrintf(kLogError, nullptr, "CsSegmentStore::GetAccessor", "storage %u: %d\n", ossid, result);
    return nullptr;
  }
  COssAccessor* a = made.get();
  accessors_[ossid] = std::move(made);
  return a;
}

int CsSegmentStore::DownloadSegment(uint32_t ossid, const std::string& key, std::string* local_path) {
  std::string path;
  if (!cacher_.LocalPath(key, &path)) return kCsFileError;
  if (local_path) *local_path = path;
  int local = cacher_.CheckLocal(path);
  if (local == 0 || local == kCsMissing) return local;
  COssAccessor* accessor = GetAccessor(ossid);
  if (!accessor) return -1;
  return accessor->Download(key.c_str(), path.c_str());
}

int CsSegmentStore::DownloadSegmentAt(uint32_t ossid, int64_t t, std::string* local_path) {
  std::string key;
  if (cacher_.KeyForTime(t, &key) != 0) return kCsFileError;
  return DownloadSegment(ossid, key, local_path);
}
