// Storage accessors: credentials of a recording's storage account from the service, URL forming,
// per-provider request signing and downloads of stored objects into local files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sdk/net/curl_loader.h"

class COrvelServer;
class JsonHolder;

// Result codes of storage operations besides 0, HTTP statuses and libcurl codes.
constexpr int kCsMissing = 404;          // object missing (also a segment marked missing)
constexpr int kCsClockSkew = 4000001;    // the request time differs too much from the storage clock
constexpr int kCsCredentials = 4000002;  // credentials expired or invalid
constexpr int kCsDenied = 4000003;       // access denied
constexpr int kCsStorageErrors = 4000000;  // storage codes lie above this
constexpr int kCsFileError = -2001;      // the local file cannot be created
constexpr int kCsUnclassified = -1;      // an error reply that cannot be classified

// Provider types: the signing scheme of a storage account.
enum CsProvider : int {
  kCsProviderNone = 0,   // no signing (thumbnails)
  kCsProviderOss = 1,    // "OSS" signature version 1
  kCsProviderCtyun = 2,  // S3 signature version 2
  kCsProviderCos = 3,    // q-sign-algorithm=sha1
  kCsProviderAws = 4,    // AWS Signature Version 4
  kCsProviderPlain = 5,  // unsigned
};

// Seconds a request takes at most.
constexpr long kCsRequestTimeoutMs = 8000;
// Bytes of an error document kept; the rest is dropped.
constexpr size_t kCsMaxErrorDocument = 64 * 1024;

// Provider type of the storage-token reply's "from" text (compared exactly).
int CsProviderFromText(const char* from);

struct CsCredentials {
  std::string secret;     // AccessKeySecret
  std::string key_id;     // AccessKeyId
  std::string token;      // SecurityToken
  std::string end_point;  // host[:port] of the provider, without scheme and bucket
  std::string bucket;
  std::string region;     // region_id
  std::string root_path;  // rootPath
};

// The credentials and provider type of a storage-token reply ("data" object).
void CsCredentialsFromReply(const JsonHolder& data, int* type, CsCredentials* out);

class CCsAccessor {
 public:
  virtual ~CCsAccessor() = default;
  virtual int GetProviderType() const = 0;
  // Signed GET whose body is discarded: 0 for 2xx, else a result code.
  virtual int Get(const char* url) = 0;
  // The object of key into local_path: 0 or a result code.
  virtual int Download(const char* key, const char* local_path) = 0;
};

class COssAccessor : public CCsAccessor {
 public:
  // device_id names the device in service requests; uuid is the first folder of its object keys.
  COssAccessor(COrvelServer* server, std::string device_id, std::string uuid, uint32_t ossid);
  ~COssAccessor() override;
  COssAccessor(const COssAccessor&) = delete;
  COssAccessor& operator=(const COssAccessor&) = delete;

  int GetProviderType() const override;
  int Get(const char* url) override;
  // Expired or invalid credentials (kCsCredentials) are fetched anew from the service once and the download
  // tried again.
  int Download(const char* key, const char* local_path) override;

  void SetCredentials(int type, const CsCredentials& credentials);
  CsCredentials Credentials() const;
  uint32_t ossid() const { return ossid_; }
  // The URL of an object key.
  std::string ObjectUrl(const char* key) const;
  // Header lines of a signed GET of url at time now (none for unsigned providers).
  std::vector<std::string> SignHeaders(const std::string& url, time_t now) const;
  // Fetches the credentials anew from the service: 0 or the request's error. A changed provider type is
  // logged and taken over.
  int Refresh();

 private:
  int DownloadOnce(const char* key, const char* local_path);

  COrvelServer* server_;
  const std::string device_id_;
  const std::string uuid_;
  const uint32_t ossid_;
  CURL* curl_ = nullptr;
  std::mutex handle_mu_;  // one transfer at a time on the handle
  mutable std::mutex mu_;  // guards type_ and creds_
  int type_ = kCsProviderOss;
  CsCredentials creds_;
};

// Makes (*accessor empty) or refreshes the accessor of a storage account from the service's storage token.
// 0 or the request's error code. When the provider type of an existing accessor changes, the accessor is
// replaced by a new one of the new type (logged), never thrown out of the calling thread.
int CreateAccessor(COrvelServer* server, const std::string& device_id, const std::string& uuid, uint32_t ossid,
                   std::unique_ptr<COssAccessor>* accessor);

// Header lines of a signed GET of url by the accessor now.
std::vector<std::string> SignRequestHeaders(const COssAccessor& accessor, const std::string& url);

// Downloads url into local_path through local_path + ".tmp": 0 or a result code. headers are sent as they
// are. An error document of a storage provider (type not 0) is mapped by ParseS3Error. A failed download
// leaves any earlier local file in place.
int DownloadCloudFile(int type, CURL* handle, const char* url, const char* local_path,
                      const std::vector<std::string>& headers);
// DownloadCloudFile with a new handle, no signing and type 0 (thumbnails).
int DownloadUrlToFile(const char* url, const char* local_path);

// Receiving side of a GET: 2xx bodies go to the file, other bodies to the error document.
struct CurlRecvSink {
  CURL* handle = nullptr;
  FILE* file = nullptr;
  long status = 0;
  bool status_read = false;
  bool write_failed = false;  // the file refused data
  std::string document;       // body of a non-2xx reply (at most kCsMaxErrorDocument bytes)
};
// libcurl write callback over a CurlRecvSink.
size_t CurlRecvToFile(char* data, size_t size, size_t count, void* sink);
// GET of url with the SDK's certificate policy and a kCsRequestTimeoutMs limit: 0 for 2xx, another HTTP
// status, or a libcurl code (a 2xx body that could not be written gives CURLE_WRITE_ERROR).
int CurlRunRequest(CURL* handle, const char* url, const std::vector<std::string>& headers, CurlRecvSink* sink);
// Request methods of CurlRunRequest.
enum CsMethod : int { kCsGet = 0, kCsPut = 1 };
// The same with a method: a PUT uploads length bytes of data from memory.
int CurlRunRequest(CURL* handle, int method, const char* url, const std::vector<std::string>& headers,
                   const void* data, size_t length, CurlRecvSink* sink);

// Source of a PUT body in memory.
struct CurlMemorySource {
  const uint8_t* data = nullptr;
  size_t length = 0;
  size_t offset = 0;
};
// libcurl read callback over a CurlMemorySource.
size_t CurlReadFromMemory(char* buffer, size_t size, size_t count, void* source);

// Storage code of an error document, or kCsUnclassified.
int ParseS3Error(int type, long status, const char* document);

// "%04d%02d%02dT%02d%02d%02dZ" of t in UTC.
std::string FormatAmzDate(time_t t);
// AWS Signature Version 4 signing key for the date "YYYYMMDD", region and service.
void Aws4DerivedKey(const std::string& secret, const std::string& date, const std::string& region,
                    const std::string& service, uint8_t out[32]);
// The signing key of service "s3" at time t.
void Aws4SigningKey(const CsCredentials& credentials, time_t t, uint8_t out[32]);
// Lowercase hex of the Signature Version 4 signature of a canonical request.
std::string Aws4Signature(const std::string& secret, const std::string& amz_date, const std::string& region,
                          const std::string& service, const std::string& canonical_request);
// Base64 of HMAC-SHA1 (signature versions 1 and 2).
std::string HmacSha1Base64(const std::string& key, const std::string& text);
// Letters, digits and "-", "." "_", "~" kept; every other byte as "%XX".
std::string UrlEncode(const std::string& text);
// The q-sign-algorithm=sha1 Authorization text. method 0 get, 1 put, 2 post; md5, type and date may be
// null.
std::string CosSign(const CsCredentials& credentials, int method, const std::string& path, long length,
                    const char* md5, const char* type, const char* date, const std::string& host, time_t now);

// A split storage URL. scheme: 0 http, 1 https, 2 ws, 3 wss.
struct StorageUrl {
  int scheme = 0;
  std::string user;
  std::string password;
  std::string host;
  int port = 0;
  std::string path;  // from the first "/" after the host, query included; "/" when there is none
};
// 1, or 0 for an unknown scheme or a malformed URL. Logs nothing.
int ParseStorageUrl(const char* url, StorageUrl* out);
