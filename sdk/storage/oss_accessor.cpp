#include "sdk/storage/oss_accessor.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "sdk/cloud/orvel_server.h"
#include "sdk/net/http_client.h"
#include "sdk/net/tls_config.h"
#include "util/base64.h"
#include "util/crypto.h"
#include "util/helpers.h"
#include "util/json_holder.h"
#include "util/log.h"

namespace {

std::string Hex(const uint8_t* data, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 15];
  }
  return out;
}

std::string Sha256Hex(const std::string& text) {
  uint8_t d[32];
  CryptoSha256(text.data(), text.size(), d);
  return Hex(d, 32);
}

std::string Sha1Hex(const std::string& text) {
  uint8_t d[20];
  CryptoSha1(text.data(), text.size(), d);
  return Hex(d, 20);
}

std::string HmacSha1Hex(const std::string& key, const std::string& text) {
  uint8_t d[20];
  CryptoHmacSha1(key.data(), key.size(), text.data(), text.size(), d);
  return Hex(d, 20);
}

// A header line; an empty value is sent as "Name;" so that libcurl keeps the header.
std::string HeaderLine(const char* name, const std::string& value) {
  if (value.empty()) return std::string(name) + ";";
  return std::string(name) + ":" + value;
}

std::string HttpDateText(time_t t) {
  char buf[64];
  HttpDate(t, buf, sizeof buf);
  return buf;
}

bool StartsWithNoCase(const char* text, const char* prefix) {
  return strncasecmp(text, prefix, std::strlen(prefix)) == 0;
}

// Host and path of a URL for signing: host after the scheme and any user information, up to ":" or "/";
// path from the first "/" after the host up to "?".
void SigningHostAndPath(const std::string& url, std::string* host, std::string* path) {
  size_t p = url.find("://");
  p = p == std::string::npos ? 0 : p + 3;
  size_t slash = url.find('/', p);
  size_t at = url.find('@', p);
  if (at != std::string::npos && (slash == std::string::npos || at < slash)) p = at + 1;
  size_t host_end = url.find_first_of(":/?", p);
  *host = url.substr(p, host_end == std::string::npos ? std::string::npos : host_end - p);
  slash = url.find('/', p);
  if (slash == std::string::npos) {
    path->assign(1, '/');
    return;
  }
  size_t q = url.find('?', slash);
  *path = url.substr(slash, q == std::string::npos ? std::string::npos : q - slash);
}

}  // namespace

int CsProviderFromText(const char* from) {
  if (!from) return kCsProviderOss;
  if (std::strcmp(from, "ctyun") == 0) return kCsProviderCtyun;
  if (std::strcmp(from, "txyun") == 0) return kCsProviderCos;
  if (std::strcmp(from, "aws") == 0 || std::strcmp(from, "chinaunicom") == 0) return kCsProviderAws;
  if (std::strcmp(from, "oracle") == 0) return kCsProviderPlain;
  return kCsProviderOss;
}

void CsCredentialsFromReply(const JsonHolder& data, int* type, CsCredentials* out) {
  *type = CsProviderFromText(data.Get("from").AsStringOrNull());
  out->secret = data.Get("AccessKeySecret").AsString();
  out->key_id = data.Get("AccessKeyId").AsString();
  out->token = data.Get("SecurityToken").AsString();
  out->bucket = data.Get("bucket").AsString();
  std::string end_point = data.Get(*type == kCsProviderAws ? "url" : "endPoint").AsString();
  // "scheme://host": only what follows the first "/" and the character after it.
  size_t slash = end_point.find('/');
  if (slash != std::string::npos) end_point = end_point.size() > slash + 2 ? end_point.substr(slash + 2) : "";
  if (!out->bucket.empty() && end_point.compare(0, out->bucket.size(), out->bucket) == 0)
    end_point = end_point.size() > out->bucket.size() + 1 ? end_point.substr(out->bucket.size() + 1) : "";
  out->end_point = end_point;
  out->region = data.Get("region_id").AsString();
  out->root_path = data.Get("rootPath").AsString();
}

COssAccessor::COssAccessor(COrvelServer* server, std::string device_id, std::string uuid, uint32_t ossid)
    : server_(server), device_id_(std::move(device_id)), uuid_(std::move(uuid)), ossid_(ossid) {
  LoadCurl();
  curl_ = CurlEntryPoints()->easy_init();
}

COssAccessor::~COssAccessor() {
  if (curl_) CurlEntryPoints()->easy_cleanup(curl_);
}

int COssAccessor::GetProviderType() const {
  std::lock_guard<std::mutex> lock(mu_);
  return type_;
}

void COssAccessor::SetCredentials(int type, const CsCredentials& credentials) {
  std::lock_guard<std::mutex> lock(mu_);
  type_ = type;
  creds_ = credentials;
}

CsCredentials COssAccessor::Credentials() const {
  std::lock_guard<std::mutex> lock(mu_);
  return creds_;
}

int COssAccessor::Refresh() {
  if (!server_) return kCsUnclassified;
  JsonHolder data;
  int result = server_->GetDeviceToken(device_id_.c_str(), ossid_, &data);
  if (result != 0) return result;
  int type = 0;
  CsCredentials creds;
  CsCredentialsFromReply(data, &type, &creds);
  if (type != GetProviderType())
    LogPrintf(kLogWarning, nullptr, "COssAccessor::Refresh", "cs_type changed! %d -> %d\n", GetProviderType(),
              type);
  SetCredentials(type, creds);
  return 0;
}

std::string COssAccessor::ObjectUrl(const char* key) const {
  std::lock_guard<std::mutex> lock(mu_);
  std::string k = key ? key : "";
  std::string bare = !k.empty() && k[0] == '/' ? k.substr(1) : k;
  // The object path always begins with one "/", whether or not the key has one.
  std::string path;
  if (!uuid_.empty() && bare.compare(0, uuid_.size(), uuid_) == 0) {
    path = "/" + bare;
  } else {
    path = creds_.root_path.empty() ? "/" + bare : "/" + creds_.root_path + "/" + bare;
  }
  std::string host = type_ == kCsProviderPlain ? creds_.end_point : creds_.bucket + "." + creds_.end_point;
  return "http://" + host + path;
}

std::vector<std::string> COssAccessor::SignHeaders(const std::string& url, time_t now) const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::string> lines;
  if (type_ == kCsProviderPlain || type_ == kCsProviderNone) return lines;
  std::string host, path;
  SigningHostAndPath(url, &host, &path);
  const CsCredentials& c = creds_;
  if (type_ == kCsProviderAws) {
    std::string amz_date = FormatAmzDate(now);
    lines.push_back(HeaderLine("x-amz-security-token", c.token));
    lines.push_back("Date: " + amz_date);
    lines.push_back("x-amz-content-sha256: UNSIGNED-PAYLOAD");
    static const char kSigned[] = "host;x-amz-content-sha256;x-amz-security-token";
    std::string canonical = "GET\n" + path + "\n\nhost:" + host +
                            "\nx-amz-content-sha256:UNSIGNED-PAYLOAD\nx-amz-security-token:" + c.token + "\n\n" +
                            kSigned + "\nUNSIGNED-PAYLOAD";
    std::string signature = Aws4Signature(c.secret, amz_date, c.region, "s3", canonical);
    lines.push_back("Authorization: AWS4-HMAC-SHA256 Credential=" + c.key_id + "/" + amz_date.substr(0, 8) + "/" +
                    c.region + "/s3/aws4_request,SignedHeaders=" + kSigned + ",Signature=" + signature);
    return lines;
  }
  std::string date = HttpDateText(now);
  const char* token_name = type_ == kCsProviderOss   ? "x-oss-security-token"
                           : type_ == kCsProviderCos ? "x-cos-security-token"
                                                     : "x-amz-security-token";
  lines.push_back(HeaderLine(token_name, c.token));
  lines.push_back("Date: " + date);
  if (type_ == kCsProviderCos) {
    std::string end_point = c.end_point;
    if (StartsWithNoCase(end_point.c_str(), "http://")) end_point = end_point.substr(7);
    else if (StartsWithNoCase(end_point.c_str(), "https://")) end_point = end_point.substr(8);
    lines.push_back("Authorization: " +
                    CosSign(c, 0, path, 0, nullptr, nullptr, date.c_str(), c.bucket + "." + end_point, now));
    return lines;
  }
  std::string to_sign = "GET\n\n\n" + date + "\n" + token_name + ":" + c.token + "\n/" + c.bucket + path;
  lines.push_back(std::string("Authorization: ") + (type_ == kCsProviderOss ? "OSS " : "AWS ") + c.key_id + ":" +
                  HmacSha1Base64(c.secret, to_sign));
  return lines;
}

std::vector<std::string> SignRequestHeaders(const COssAccessor& accessor, const std::string& url) {
  return accessor.SignHeaders(url, time(nullptr));
}

int COssAccessor::Get(const char* url) {
  if (!curl_ || !url) return kCsUnclassified;
  std::lock_guard<std::mutex> lock(handle_mu_);
  CurlRecvSink sink;
  return CurlRunRequest(curl_, url, SignRequestHeaders(*this, url), &sink);
}

int COssAccessor::DownloadOnce(const char* key, const char* local_path) {
  std::string url = ObjectUrl(key);
  int type = GetProviderType();
  std::lock_guard<std::mutex> lock(handle_mu_);
  if (!curl_) return kCsUnclassified;
  return DownloadCloudFile(type, curl_, url.c_str(), local_path, SignRequestHeaders(*this, url));
}

int COssAccessor::Download(const char* key, const char* local_path) {
  int result = DownloadOnce(key, local_path);
  if (result != kCsCredentials || !server_) return result;
  LogPrintf(kLogWarning, nullptr, "COssAccessor::Download", "storage credentials refused, fetching new ones\n");
  int refreshed = Refresh();
  if (refreshed != 0) return result;
  return DownloadOnce(key, local_path);
}

int CreateAccessor(COrvelServer* server, const std::string& device_id, const std::string& uuid, uint32_t ossid,
                   std::unique_ptr<COssAccessor>* accessor) {
  JsonHolder data;
  int result = server ? server->GetDeviceToken(device_id.c_str(), ossid, &data) : kCsUnclassified;
  if (result != 0) return result;
  int type = 0;
  CsCredentials creds;
  CsCredentialsFromReply(data, &type, &creds);
  if (*accessor && (*accessor)->GetProviderType() != type) {
    LogPrintf(kLogWarning, nullptr, "CreateAccessor", "cs_type changed! %d -> %d, accessor replaced\n",
              (*accessor)->GetProviderType(), type);
    accessor->reset();
  }
  if (!*accessor) accessor->reset(new COssAccessor(server, device_id, uuid, ossid));
  (*accessor)->SetCredentials(type, creds);
  return 0;
}

size_t CurlRecvToFile(char* data, size_t size, size_t count, void* sink_arg) {
  auto* sink = static_cast<CurlRecvSink*>(sink_arg);
  size_t n = size * count;
  if (!sink->status_read) {
    sink->status_read = true;
    if (sink->handle) CurlEntryPoints()->easy_getinfo(sink->handle, CURLINFO_RESPONSE_CODE, &sink->status);
  }
  if (sink->status >= 200 && sink->status < 300 && sink->file) {
    size_t written = std::fwrite(data, 1, n, sink->file);
    if (written != n) {
      sink->write_failed = true;
      return 0;
    }
    return n;
  }
  if (sink->document.size() < kCsMaxErrorDocument)
    sink->document.append(data, std::min(n, kCsMaxErrorDocument - sink->document.size()));
  return n;
}

size_t CurlReadFromMemory(char* buffer, size_t size, size_t count, void* source) {
  auto* src = static_cast<CurlMemorySource*>(source);
  size_t n = std::min(size * count, src->length - src->offset);
  if (n) std::memcpy(buffer, src->data + src->offset, n);
  src->offset += n;
  return n;
}

int CurlRunRequest(CURL* h, const char* url, const std::vector<std::string>& headers, CurlRecvSink* sink) {
  return CurlRunRequest(h, kCsGet, url, headers, nullptr, 0, sink);
}

int CurlRunRequest(CURL* h, int method, const char* url, const std::vector<std::string>& headers,
                   const void* data, size_t length, CurlRecvSink* sink) {
  const CurlApi* api = CurlEntryPoints();
  if (!api) {
    LoadCurl();
    api = CurlEntryPoints();
  }
  api->easy_reset(h);
  sink->handle = h;
  api->easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  std::string ca_file;
  if (strncasecmp(url, "https", 5) == 0) {
    // The process's one certificate policy: verified unless turned off in the TLS settings (logged there).
    long verify = NetTlsVerifyEnabled() ? 1L : 0L;
    ca_file = NetTlsCaFile();
    api->easy_setopt(h, CURLOPT_SSL_VERIFYPEER, verify);
    api->easy_setopt(h, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
    if (verify && !ca_file.empty()) api->easy_setopt(h, CURLOPT_CAINFO, ca_file.c_str());
  }
  api->easy_setopt(h, CURLOPT_URL, url);
  CurlMemorySource source{static_cast<const uint8_t*>(data), data ? length : 0, 0};
  if (method == kCsPut) {
    api->easy_setopt(h, CURLOPT_UPLOAD, 1L);
    api->easy_setopt(h, CURLOPT_READFUNCTION, CurlReadFromMemory);
    api->easy_setopt(h, CURLOPT_READDATA, &source);
    api->easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(source.length));
  } else {
    api->easy_setopt(h, CURLOPT_HTTPGET, 1L);
  }
  api->easy_setopt(h, CURLOPT_WRITEFUNCTION, CurlRecvToFile);
  api->easy_setopt(h, CURLOPT_WRITEDATA, sink);
  api->easy_setopt(h, CURLOPT_TIMEOUT_MS, kCsRequestTimeoutMs);
  struct curl_slist* list = nullptr;
  for (const std::string& line : headers) list = api->slist_append(list, line.c_str());
  if (list) api->easy_setopt(h, CURLOPT_HTTPHEADER, list);
  CURLcode rc = api->easy_perform(h);
  long status = 0;
  api->easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  api->easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
  if (list) api->slist_free_all(list);
  if (rc != CURLE_OK && rc != CURLE_WRITE_ERROR) return rc;
  // A 2xx body that could not be stored is a failure, not a short success.
  if (rc == CURLE_WRITE_ERROR && sink->write_failed) return CURLE_WRITE_ERROR;
  if (status >= 200 && status < 300) return 0;
  return status > 0 ? static_cast<int>(status) : kCsUnclassified;
}

int DownloadCloudFile(int type, CURL* handle, const char* url, const char* local_path,
                      const std::vector<std::string>& headers) {
  std::string tmp = std::string(local_path) + ".tmp";
  FILE* f = FopenMkdirs(tmp.c_str(), "wb");
  if (!f) {
    LogPrintf(kLogError, nullptr, "DownloadCloudFile", "Can not create file: %s\n", tmp.c_str());
    return kCsFileError;
  }
  CurlRecvSink sink;
  sink.file = f;
  int result = CurlRunRequest(handle, url, headers, &sink);
  bool flushed = std::fflush(f) == 0 && !std::ferror(f);
  if (std::fclose(f) != 0) flushed = false;
  if (result == 0 && !flushed) {
    LogPrintf(kLogError, nullptr, "DownloadCloudFile", "Can not write file: %s\n", tmp.c_str());
    result = CURLE_WRITE_ERROR;
  }
  if (result == 0) {
    // rename replaces the earlier file in one step.
    if (std::rename(tmp.c_str(), local_path) != 0) {
      std::remove(tmp.c_str());
      LogPrintf(kLogError, nullptr, "DownloadCloudFile", "Can not create file: %s\n", local_path);
      return kCsFileError;
    }
    return 0;
  }
  std::remove(tmp.c_str());
  // Only a storage error document (one with a code) is mapped; another body, such as a proxy's error page,
  // leaves the HTTP status.
  if (result != kCsMissing && type != kCsProviderNone && sink.document.find("<Code>") != std::string::npos) {
    result = ParseS3Error(type, sink.status ? sink.status : result, sink.document.c_str());
  }
  LogPrintf(kLogError, nullptr, "DownloadCloudFile", "%s: %d\n", UrlForLog(url).c_str(), result);
  return result;
}

int DownloadUrlToFile(const char* url, const char* local_path) {
  LoadCurl();
  const CurlApi* api = CurlEntryPoints();
  CURL* h = api->easy_init();
  if (!h) return kCsUnclassified;
  int result = DownloadCloudFile(kCsProviderNone, h, url, local_path, {});
  api->easy_cleanup(h);
  return result;
}

int ParseS3Error(int type, long status, const char* document) {
  if (!document) return kCsUnclassified;
  const char* p = std::strstr(document, "<Code>");
  if (!p) return kCsUnclassified;
  p += 6;
  size_t n = std::strcspn(p, " \t\r\n<");
  std::string code(p, n);
  const char* rest = p + n;
  auto is = [&](const char* name) { return strcasecmp(code.c_str(), name) == 0; };
  if (type == kCsProviderCos) {
    if ((status == 400 && is("ExpiredToken")) ||
        (status == 403 && (is("AccessDenied") || is("InvalidAccessKeyId") || is("SignatureDoesNotMatch"))))
      return kCsCredentials;
    if (is("RequestTimeTooSkewed")) return kCsClockSkew;
    return kCsUnclassified;
  }
  if (status != 400 && status != 403) return kCsUnclassified;
  if (is("RequestTimeTooSkewed")) return kCsClockSkew;
  if (is("InvalidAccessKeyId") || is("SignatureDoesNotMatch") || is("SecurityTokenExpired") || is("InvalidToken") ||
      is("ExpiredToken"))
    return kCsCredentials;
  if (is("AccessDenied")) {
    if (type == kCsProviderCtyun && std::strstr(rest, "<Message>the secret token is expired")) return kCsCredentials;
    if (type == kCsProviderAws && status == 403) return kCsMissing;
    return kCsDenied;
  }
  return kCsUnclassified;
}

std::string FormatAmzDate(time_t t) {
  struct tm tm {};
  gmtime_r(&t, &tm);
  char buf[32];
  return std::string(buf, std::strftime(buf, sizeof buf, "%Y%m%dT%H%M%SZ", &tm));
}

void Aws4DerivedKey(const std::string& secret, const std::string& date, const std::string& region,
                    const std::string& service, uint8_t out[32]) {
  std::string k = "AWS4" + secret;
  uint8_t a[32], b[32];
  CryptoHmacSha256(k.data(), k.size(), date.data(), date.size(), a);
  CryptoHmacSha256(a, 32, region.data(), region.size(), b);
  CryptoHmacSha256(b, 32, service.data(), service.size(), a);
  CryptoHmacSha256(a, 32, "aws4_request", 12, out);
}

void Aws4SigningKey(const CsCredentials& credentials, time_t t, uint8_t out[32]) {
  Aws4DerivedKey(credentials.secret, FormatAmzDate(t).substr(0, 8), credentials.region, "s3", out);
}

std::string Aws4Signature(const std::string& secret, const std::string& amz_date, const std::string& region,
                          const std::string& service, const std::string& canonical_request) {
  std::string day = amz_date.substr(0, 8);
  std::string to_sign = "AWS4-HMAC-SHA256\n" + amz_date + "\n" + day + "/" + region + "/" + service +
                        "/aws4_request\n" + Sha256Hex(canonical_request);
  uint8_t key[32], sig[32];
  Aws4DerivedKey(secret, day, region, service, key);
  CryptoHmacSha256(key, 32, to_sign.data(), to_sign.size(), sig);
  return Hex(sig, 32);
}

std::string HmacSha1Base64(const std::string& key, const std::string& text) {
  uint8_t d[20];
  CryptoHmacSha1(key.data(), key.size(), text.data(), text.size(), d);
  char out[32];
  Base64Encode(d, 20, out, sizeof out);
  return out;
}

std::string UrlEncode(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    }
  }
  return out;
}

std::string CosSign(const CsCredentials& c, int method, const std::string& path, long length, const char* md5,
                    const char* type, const char* date, const std::string& host, time_t now) {
  char key_time[48];
  std::snprintf(key_time, sizeof key_time, "%lld;%lld", static_cast<long long>(now),
                static_cast<long long>(now) + 10800);
  std::string sign_key = HmacSha1Hex(c.secret, key_time);
  static const char* const kMethods[] = {"get", "put", "post"};
  std::string http = std::string(kMethods[method >= 0 && method <= 2 ? method : 0]) + "\n" + path + "\n\n";
  http += "content-length=" + (length ? UrlEncode(std::to_string(length)) : std::string());
  std::string header_list = "content-length;";
  if (md5) http += "&content-md5=" + UrlEncode(md5), header_list += "content-md5;";
  if (type) http += "&content-type=" + UrlEncode(type), header_list += "content-type;";
  if (date) http += "&date=" + UrlEncode(date), header_list += "date;";
  http += "&host=" + UrlEncode(host) + "&x-cos-security-token=" + UrlEncode(c.token) + "\n";
  std::string to_sign = std::string("sha1\n") + key_time + "\n" + Sha1Hex(http) + "\n";
  std::string signature = HmacSha1Hex(sign_key, to_sign);
  return "q-sign-algorithm=sha1&q-ak=" + c.key_id + "&q-sign-time=" + key_time + "&q-key-time=" + key_time +
         "&q-header-list=" + header_list + "host;x-cos-security-token&q-url-param-list=&q-signature=" + signature;
}

int ParseStorageUrl(const char* url, StorageUrl* out) {
  if (!url) return 0;
  static const struct {
    const char* prefix;
    int scheme;
    int port;
  } kSchemes[] = {{"https://", 1, 443}, {"wss://", 3, 443}, {"http://", 0, 80}, {"ws://", 2, 80}};
  const char* p = nullptr;
  for (const auto& s : kSchemes) {
    if (StartsWithNoCase(url, s.prefix)) {
      out->scheme = s.scheme;
      out->port = s.port;
      p = url + std::strlen(s.prefix);
      break;
    }
  }
  if (!p) return 0;
  std::string rest(p);
  size_t slash = rest.find_first_of("/?");
  std::string authority = rest.substr(0, slash);
  out->path = slash == std::string::npos ? "/" : rest.substr(slash);
  if (!out->path.empty() && out->path[0] == '?') out->path = "/" + out->path;
  size_t at = authority.rfind('@');
  out->user.clear();
  out->password.clear();
  if (at != std::string::npos) {
    std::string info = authority.substr(0, at);
    authority = authority.substr(at + 1);
    size_t colon = info.find(':');
    out->user = info.substr(0, colon);
    if (colon != std::string::npos) out->password = info.substr(colon + 1);
  }
  size_t colon = authority.rfind(':');
  if (colon != std::string::npos && authority.find(']') == std::string::npos) {
    std::string port = authority.substr(colon + 1);
    authority = authority.substr(0, colon);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return 0;
    out->port = std::atoi(port.c_str());
    if (out->port <= 0 || out->port > 65535) return 0;
  }
  if (authority.empty()) return 0;
  out->host = authority;
  return 1;
}
