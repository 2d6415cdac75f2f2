// The segment cache of a device's cloud recordings: object key of a time, local cache paths, presence and
// known-missing checks, decryption. Also the segment store a device keeps: the cacher and one storage
// accessor per storage account.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "sdk/storage/oss_accessor.h"

class COrvelServer;

class CCsCacher {
 public:
  virtual ~CCsCacher() = default;
  // Decrypts len bytes (rounded up to whole blocks) of in into out; the length, or -1.
  virtual int Decrypt(const void* in, int len, void* out) = 0;
  // The object key of the segment holding time t (seconds); 0, or -1 when the device's id cannot name a
  // folder.
  virtual int KeyForTime(int64_t t, std::string* key) = 0;
  // The local cache path of an object key or a URL; false for a URL of an unknown scheme or a key that would
  // leave the cache root.
  virtual bool LocalPath(const std::string& key_or_url, std::string* path) = 0;
  // 0 when the file exists, kCsMissing when it is marked missing (path + ".nofile"), else -1.
  virtual int CheckLocal(const std::string& path) = 0;
};

class COssCacher : public CCsCacher {
 public:
  COssCacher(std::string uuid, std::string des_key) : uuid_(std::move(uuid)), des_key_(std::move(des_key)) {}
  int Decrypt(const void* in, int len, void* out) override;
  int KeyForTime(int64_t t, std::string* key) override;
  bool LocalPath(const std::string& key_or_url, std::string* path) override;
  int CheckLocal(const std::string& path) override;

 private:
  const std::string uuid_;
  const std::string des_key_;
};

// Cache root + the URL's path (or the text itself), query dropped; false for a URL of an unknown scheme or a
// path that would leave the cache root.
bool UrlToCachePath(const std::string& url_or_path, std::string* out);
// True when a path below the cache root taken from service data has no ".." part and no NUL.
bool CachePathIsSafe(const std::string& relative);
// True when an id from service data can name one folder: not empty, not "." or "..", no separator.
bool CacheIdIsSafe(const std::string& id);

// What the cloud player needs of a device: its cacher and downloads of segments.
class CsSegmentSource {
 public:
  virtual ~CsSegmentSource() = default;
  virtual CCsCacher* Cacher() = 0;
  // Downloads (or finds in the cache) the segment of storage account ossid that holds time t: 0,
  // kCsMissing for a known-missing segment, or a result code.
  virtual int DownloadSegmentAt(uint32_t ossid, int64_t t, std::string* local_path) = 0;
};

// A device's cacher and storage accessors (one per storage account, made on first use).
class CsSegmentStore : public CsSegmentSource {
 public:
  CsSegmentStore(COrvelServer* server, std::string device_id, std::string uuid, std::string des_key);
  CCsCacher* Cacher() override { return &cacher_; }
  int DownloadSegmentAt(uint32_t ossid, int64_t t, std::string* local_path) override;
  // The local path of key; 0 or kCsMissing at once from the cache, else the accessor's download.
  int DownloadSegment(uint32_t ossid, const std::string& key, std::string* local_path);
  // The accessor of a storage account, made when missing; null when the service refuses it.
  COssAccessor* GetAccessor(uint32_t ossid);

 private:
  COrvelServer* server_;
  const std::string device_id_;
  const std::string uuid_;
  COssCacher cacher_;
  std::mutex mu_;  // guards accessors_
  std::map<uint32_t, std::unique_ptr<COssAccessor>> accessors_;
};
