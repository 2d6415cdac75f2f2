#include "sdk/cloud/orvel_server.h"
#include "sdk/net/tls_config.h"

#include <cjson/cJSON.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <utility>

#include "sdk/cloud/cloud_config.h"
#include "sdk/cloud/log_redact.h"
#include "util/log.h"

namespace {

constexpr char kDefaultPackage[] = "velmora";
// Recording times beyond the year 9999 are not believed.
constexpr int64_t kLatestTime = 253402300799;

std::mutex g_globals_mu;
std::string g_package_name;
std::string g_cache_root;
CloudSdkHooks g_hooks;

std::string StripOneSlash(std::string s) {
  if (!s.empty() && s.back() == '/') s.pop_back();
  return s;
}

// Sets member key of obj to a new item, replacing any member of that name.
void SetMember(cJSON* obj, const char* key, cJSON* item) {
  cJSON_DeleteItemFromObjectCaseSensitive(obj, key);
  cJSON_AddItemToObject(obj, key, item);
}

// Netscape cookie-file line "domain\tflag\tpath\tsecure\texpiry\tname\tvalue" to "name=value".
std::string CookiePair(const char* line) {
  const char* fields[7];
  int n = 0;
  fields[n++] = line;
  for (const char* p = line; *p && n < 7; ++p) {
    if (*p == '\t') fields[n++] = p + 1;
  }
  if (n < 7) return "";
  const char* name_end = std::strchr(fields[5], '\t');
  return std::string(fields[5], name_end - fields[5]) + "=" + fields[6];
}

int64_t NumberOrText(const JsonHolder& v) {
  const cJSON* item = v.Item();
  if (cJSON_IsNumber(item)) {
    double d = item->valuedouble;
    if (!(d > -9.2e18 && d < 9.2e18)) return 0;
    return static_cast<int64_t>(d);
  }
  if (const char* s = v.AsStringOrNull()) return std::strtoll(s, nullptr, 10);
  return 0;
}

}  // namespace

void CloudSetHooks(const CloudSdkHooks& hooks) {
  std::lock_guard<std::mutex> lock(g_globals_mu);
  g_hooks = hooks;
}

CloudSdkHooks CloudGetHooks() {
  std::lock_guard<std::mutex> lock(g_globals_mu);
  return g_hooks;
}

std::string CloudPackageName() {
  std::lock_guard<std::mutex> lock(g_globals_mu);
  return g_package_name.empty() ? kDefaultPackage : g_package_name;
}

void SetCacheRoot(const char* folder) {
  std::string root = folder ? folder : "";
  if (!root.empty() && (root.back() == '/' || root.back() == '\\')) root.pop_back();
  std::lock_guard<std::mutex> lock(g_globals_mu);
  g_cache_root = root;
}

std::string CacheRoot() {
  std::lock_guard<std::mutex> lock(g_globals_mu);
  return g_cache_root;
}

int alarmTagToCode(const char* tag) {
  static const char* const kTags[] = {
      "motion", "body",    "sound",    "pir",     "smoke", "tempL",       "tempH",      "humidL",
      "humidH", "generic", "g-sensor", "set-off", "park",  "speed-up",    "speed-down", "doorbell",
      "passby", "stay",    "lock",     "cry",     "enter", "bad_posture", "leave"};
  if (!tag) return 0;
  for (int i = 0; i < static_cast<int>(sizeof kTags / sizeof kTags[0]); ++i) {
    if (std::strcmp(tag, kTags[i]) == 0) return i + 1;
  }
  return 0;
}

int CurlErrorToCode(int curl_result) {
  switch (curl_result) {
    case CURLE_UNSUPPORTED_PROTOCOL:
      return kCloudUnsupportedProtocol;
    case CURLE_COULDNT_RESOLVE_HOST:
      return -5;
    case CURLE_COULDNT_CONNECT:
      return -6;
    case CURLE_OPERATION_TIMEDOUT:
      return -2;
    case CURLE_SSL_CONNECT_ERROR:
      return -7;
    default:
      return -8;
  }
}

size_t CurlWriteToMemory(char* data, size_t size, size_t count, void* buffer) {
  auto* out = static_cast<std::string*>(buffer);
  if (size != 0 && count > kCloudMaxReply / size) return 0;
  size_t n = size * count;
  if (out->size() + n > kCloudMaxReply) return 0;
  if (out->capacity() < out->size() + n) out->reserve(out->size() + std::max<size_t>(n, 4096));
  out->append(data, n);
  return n;
}

std::string MakeUniqId() {
  static const char kChars[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  static std::mutex mu;
  static std::mt19937 gen{std::random_device{}()};
  std::lock_guard<std::mutex> lock(mu);
  std::string id;
  for (int i = 0; i < kUniqIdLength; ++i) id += kChars[gen() % 62];
  return id;
}

std::string FormatLocalTime(int64_t t) {
  time_t tt = static_cast<time_t>(t);
  struct tm tm {};
  localtime_r(&tt, &tm);
  char text[64];
  std::snprintf(text, sizeof text, "%4d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

COrvelServer::COrvelServer() {
  LoadCurl();
  curl_ = CurlEntryPoints();
}

COrvelServer::~COrvelServer() {
  Disconnect();
  UnloadCurl();
  Uninit();
}

std::string COrvelServer::ApiBase() const {
  std::lock_guard<std::mutex> lock(mu_);
  return api_base_;
}
std::string COrvelServer::PushBase() const {
  std::lock_guard<std::mutex> lock(mu_);
  return push_base_;
}
std::string COrvelServer::UserId() const {
  std::lock_guard<std::mutex> lock(mu_);
  return user_id_;
}
std::string COrvelServer::UniqId() const {
  std::lock_guard<std::mutex> lock(mu_);
  return uniq_id_;
}
bool COrvelServer::HasToken() const {
  std::lock_guard<std::mutex> lock(mu_);
  return !token_.empty();
}
std::string COrvelServer::Cookie() const {
  std::lock_guard<std::mutex> lock(mu_);
  return cookie_;
}
SockioClient* COrvelServer::PushClient() const {
  std::lock_guard<std::mutex> lock(mu_);
  return push_;
}

void COrvelServer::StoreCookies(CURL* handle) {
  struct curl_slist* list = nullptr;
  std::vector<std::string> lines;
  std::string text;
  if (curl_->easy_getinfo(handle, CURLINFO_COOKIELIST, &list) == CURLE_OK) {
    for (struct curl_slist* l = list; l; l = l->next) {
      std::string pair = CookiePair(l->data);
      if (pair.empty()) continue;
      lines.push_back(l->data);
      if (!text.empty()) text += "; ";
      text += pair;
    }
    curl_->slist_free_all(list);
  }
  std::lock_guard<std::mutex> lock(mu_);
  cookie_lines_ = std::move(lines);
  cookie_ = std::move(text);
}

int COrvelServer::_init_mc_curl(const char* url, cJSON* body, JsonHolder* out) {
  static const char kTag[] = "COrvelServer::_init_mc_curl";
  if (out) out->Attach(nullptr, false);
  CloudDeployment deployment = CloudGetDeployment();
  std::vector<std::string> cookies;
  {
    std::lock_guard<std::mutex> lock(mu_);
    cookies = cookie_lines_;
  }

  SetMember(body, "pkgname", cJSON_CreateString(CloudPackageName().c_str()));
  char* printed = cJSON_Print(body);
  if (!printed) {
    LogPrintf(kLogError, nullptr, kTag, "cJSON_Print: insufficient memory\n");
    return kCloudErrorReply;
  }
  CURL* h = curl_->easy_init();
  if (!h) {
    cJSON_free(printed);
    LogPrintf(kLogError, nullptr, kTag, "curl_easy_init failed\n");
    return -8;
  }
  struct curl_slist* headers = curl_->slist_append(nullptr, "User-Agnent: Orvel PC SDK v2007");
  headers = curl_->slist_append(headers, "Content-Type: application/json;charset=UTF-8");
  std::string reply;
  reply.reserve(4096);

  curl_->easy_setopt(h, CURLOPT_HTTPHEADER, headers);
  curl_->easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  if (std::strncmp(url, "https", 5) == 0) {
    // One certificate policy for the process: the networking kit's.
    long verify = NetTlsVerifyEnabled() ? 1L : 0L;
    std::string ca_file = NetTlsCaFile();
    curl_->easy_setopt(h, CURLOPT_SSL_VERIFYPEER, verify);
    curl_->easy_setopt(h, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
    if (verify && !ca_file.empty()) curl_->easy_setopt(h, CURLOPT_CAINFO, ca_file.c_str());
  }
  curl_->easy_setopt(h, CURLOPT_URL, url);
  curl_->easy_setopt(h, CURLOPT_POST, 1L);
  curl_->easy_setopt(h, CURLOPT_POSTFIELDS, printed);
  curl_->easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(std::strlen(printed)));
  curl_->easy_setopt(h, CURLOPT_WRITEFUNCTION, CurlWriteToMemory);
  curl_->easy_setopt(h, CURLOPT_WRITEDATA, &reply);
  curl_->easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(deployment.connect_timeout_ms));
  curl_->easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(deployment.request_timeout_ms));
  // The cookie engine keeps what the service sets and sends it back as name=value pairs.
  curl_->easy_setopt(h, CURLOPT_COOKIEFILE, "");
  for (const std::string& line : cookies) curl_->easy_setopt(h, CURLOPT_COOKIELIST, line.c_str());

  if (std::strstr(url, "app/auth/login")) {
    LogPrintf(kLogDetail, nullptr, kTag, "post: %s, param:%s\n", url, kRedacted);
  } else {
    LogPrintf(kLogDetail, nullptr, kTag, "post: %s, param:%s\n", url, RedactedJson(body).c_str());
  }

  int result;
  CURLcode rc = curl_->easy_perform(h);
  if (rc != CURLE_OK) {
    LogPrintf(kLogError, nullptr, kTag, "http_post: %d\n", static_cast<int>(rc));
    result = CurlErrorToCode(rc);
  } else {
    LogPrintf(kLogDetail, nullptr, kTag, "%s\n", RedactedText(reply.data(), reply.size()).c_str());
    StoreCookies(h);
    long status = 0;
    curl_->easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 200 && status <= 299) {
      JsonHolder root(cJSON_ParseWithLength(reply.data(), reply.size()), false);
      if (root.Type() != JsonHolder::kObject) {
        LogPrintf(kLogError, nullptr, kTag, "request to %s: %s\n", url,
                  RedactedText(reply.data(), reply.size()).c_str());
        result = kCloudBadReply;
      } else if (cJSON_IsNumber(root.Get("ok").Item()) && root.Get("ok").Item()->valuedouble == 1) {
        if (out) out->Attach(cJSON_DetachItemFromObject(root.Item(), "data"), false);
        result = 0;
      } else {
        int code = root.Get("code").AsInt();
        LogPrintf(kLogError, nullptr, kTag, "request to %s: %d(%s)\n", url, code, root.Get("msg").AsString());
        result = code != 0 ? code : kCloudErrorReply;
      }
    } else {
      LogPrintf(kLogError, nullptr, kTag, "request to %s, status %d: %s\n", url, static_cast<int>(status),
                RedactedText(reply.data(), reply.size()).c_str());
      result = static_cast<int>(status);
    }
  }
  curl_->easy_cleanup(h);
  curl_->slist_free_all(headers);
  cJSON_free(printed);
  return result;
}

int COrvelServer::PostWithToken(const char* url, cJSON* body, JsonHolder* out) {
  std::string used;
  {
    std::lock_guard<std::mutex> lock(mu_);
    used = token_;
  }
  if (!used.empty()) SetMember(body, "token", cJSON_CreateString(used.c_str()));
  int result = _init_mc_curl(url, body, out);
  if (result != kCloudCodeUnauthorized && result != kCloudCodeTokenExpired) return result;

  std::string fresh;
  {
    std::lock_guard<std::mutex> login(login_mu_);
    std::string name, password;
    {
      std::lock_guard<std::mutex> lock(mu_);
      fresh = token_;
      name = login_name_;
      password = login_password_;
    }
    // Another thread may have signed in again meanwhile; its token is used as it is.
    if (fresh.empty() || fresh == used) {
      if (name.empty()) return result;
      int login_result = LoginLocked(name, password);
      if (login_result != 0) return login_result;
      std::lock_guard<std::mutex> lock(mu_);
      fresh = token_;
    }
  }
  cJSON_DeleteItemFromObjectCaseSensitive(body, "token");
  if (!fresh.empty()) cJSON_AddStringToObject(body, "token", fresh.c_str());
  return _init_mc_curl(url, body, out);
}

int COrvelServer::Init(const char* package_name, int environment) {
  static const char kTag[] = "COrvelServer::Init";
  LogPrintf(kLogInfo, nullptr, kTag, "KivoP2p SDK Revision %d\n", kCloudSdkRevision);
  CloudSdkHooks hooks = CloudGetHooks();
  if (hooks.p2p_init) hooks.p2p_init();
  {
    std::lock_guard<std::mutex> lock(mu_);
    token_.clear();
  }
  std::string entry = CloudEntryPoint(CloudGetDeployment(), environment);
  if (package_name && *package_name) {
    std::lock_guard<std::mutex> lock(g_globals_mu);
    g_package_name = package_name;
  }
  if (entry.empty()) {
    LogPrintf(kLogError, nullptr, kTag, "no service entry point for environment %d\n", environment);
    return -102;
  }
  JsonHolder body = JsonHolder::Create(JsonHolder::kObject);
  cJSON_AddStringToObject(body.Item(), "source", "app");
  cJSON_AddStringToObject(body.Item(), "version", "1.0.1.0");
  JsonHolder data;
  int result = PostWithToken((entry + "/service").c_str(), body.Item(), &data);
  if (result != 0) return result;
  std::string api = StripOneSlash(data.Get("api").AsString());
  std::string push = StripOneSlash(data.Get("reg").AsString());
  if (api.empty()) {
    LogPrintf(kLogError, nullptr, kTag, "discovery gave no API address\n");
    return kCloudBadReply;
  }
  std::lock_guard<std::mutex> lock(mu_);
  api_base_ = api;
  push_base_ = push;
  return 0;
}

int COrvelServer::Login(const char* name, const char* password) {
  std::lock_guard<std::mutex> login(login_mu_);
  return LoginLocked(name ? name : "", password ? password : "");
}

int COrvelServer::LoginLocked(const std::string& name, const std::string& password) {
  static const char kTag[] = "COrvelServer::Login";
  JsonHolder body = JsonHolder::Create(JsonHolder::kObject);
  cJSON_AddStringToObject(body.Item(), name.find('@') != std::string::npos ? "email" : "phone", name.c_str());
  cJSON_AddStringToObject(body.Item(), "password", password.c_str());
  cJSON_AddStringToObject(body.Item(), "source", "pc");
  JsonHolder data;
  int result = _init_mc_curl((ApiBase() + "/app/auth/login").c_str(), body.Item(), &data);
  const char* token = data.Get("token").AsString();
  if (result == 0 && (data.Type() != JsonHolder::kObject || !*token)) {
    LogPrintf(kLogError, nullptr, kTag, "log-in reply without a token\n");
    result = kCloudBadReply;
  }
  if (result != 0) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      token_.clear();
      user_id_.clear();
      if (name != login_name_) {
        login_name_.clear();
        login_password_.clear();
      }
    }
    // The push channel's URL carries the old token.
    ClosePush();
    return result;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    token_ = token;
    login_name_ = name;
    login_password_ = password;
    user_id_ = data.Get("id").AsString();
    uniq_id_ = MakeUniqId();
  }
  ConnectPush();
  return 0;
}

void COrvelServer::ClosePush() {
  SockioClient* old;
  {
    std::lock_guard<std::mutex> lock(mu_);
    old = std::exchange(push_, nullptr);
  }
  // Outside the lock: the push thread's callback takes it while the client is being joined.
  if (old) SockioCltDestroy(old);
}

void COrvelServer::ConnectPush() {
  static const char kTag[] = "COrvelServer::ConnectPush";
  ClosePush();
  std::string base, user, token, uniq;
  {
    std::lock_guard<std::mutex> lock(mu_);
    base = push_base_;
    user = user_id_;
    token = token_;
    uniq = uniq_id_;
  }
  bool known_scheme = false;
  for (const char* scheme : {"ws://", "wss://", "http://", "https://"}) {
    if (base.compare(0, std::strlen(scheme), scheme) == 0) known_scheme = true;
  }
  if (!known_scheme) {
    // Checked here: the URL carries the token, and a refused URL would be logged whole.
    LogPrintf(kLogWarning, nullptr, kTag, "no usable push-channel address: \"%s\"\n", base.c_str());
    return;
  }
  char url[kPushUrlMax + 1];
  int n = std::snprintf(
      url, sizeof url,
      "%s/?user_id=%s&target=app&EIO=3&transport=websocket&sid=%s&uniq_id=%s&platform=pc&sdkver=%d",
      base.c_str(), user.c_str(), token.c_str(), uniq.c_str(), kCloudSdkRevision);
  if (n < 0 || static_cast<size_t>(n) > kPushUrlMax) {
    LogPrintf(kLogError, nullptr, kTag, "push-channel URL too long (%d)\n", n);
    return;
  }
  SockioClient* client = SockioCltCreate(url, sockio_cb, this);
  {
    std::lock_guard<std::mutex> lock(mu_);
    push_ = client;
  }
  CloudSdkHooks hooks = CloudGetHooks();
  if (client && hooks.signaling_setup) hooks.signaling_setup(client, user.c_str(), uniq.c_str());
}

int COrvelServer::Disconnect() {
  ClosePush();
  CloudSdkHooks hooks = CloudGetHooks();
  if (hooks.signaling_reset) hooks.signaling_reset();
  return 0;
}

void COrvelServer::Uninit() {
  CloudSdkHooks hooks = CloudGetHooks();
  if (hooks.p2p_deinit) hooks.p2p_deinit();
}

int COrvelServer::GetDeviceToken(const char* device_id, uint32_t ossid, JsonHolder* out) {
  JsonHolder body = JsonHolder::Create(JsonHolder::kObject);
  cJSON_AddStringToObject(body.Item(), "device_id", device_id ? device_id : "");
  char ossid_text[16];
  std::snprintf(ossid_text, sizeof ossid_text, "%u", ossid);
  cJSON_AddStringToObject(body.Item(), "ossid", ossid_text);
  JsonHolder data;
  int result = PostWithToken((ApiBase() + "/device/token").c_str(), body.Item(), &data);
  if (result == 0 && data.Type() != JsonHolder::kObject) {
    LogPrintf(kLogError, nullptr, "COrvelServer::GetDeviceToken", "reply without credentials\n");
    result = kCloudBadReply;
  }
  if (out) *out = result == 0 ? std::move(data) : JsonHolder();
  return result;
}

int COrvelServer::GetVideoRecord(const char* device_id, int64_t start, int64_t end,
                                 std::vector<PlaybackSegment>* out) {
  JsonHolder body = JsonHolder::Create(JsonHolder::kObject);
  cJSON_AddStringToObject(body.Item(), "device_id", device_id ? device_id : "");
  cJSON_AddStringToObject(body.Item(), "start_time", FormatLocalTime(start).c_str());
  cJSON_AddStringToObject(body.Item(), "end_time", FormatLocalTime(end).c_str());
  JsonHolder data;
  int result = PostWithToken((ApiBase() + "/device/record_info").c_str(), body.Item(), &data);
  out->clear();
  if (result != 0) return result;
  ParseRecordIndex(data.Item(), out);
  LogPrintf(kLogInfo, nullptr, "COrvelServer::GetVideoRecord", "GetVideoRecord: %d records\n", data.Size());
  return 0;
}

void ParseRecordIndex(const cJSON* data, std::vector<PlaybackSegment>* out) {
  out->clear();
  JsonHolder list(const_cast<cJSON*>(data), true);
  int n = list.Type() == JsonHolder::kArray ? list.Size() : 0;
  for (int i = 0; i < n; ++i) {
    JsonHolder e = list.At(i);
    int64_t seg_start = NumberOrText(e.Get("start_time"));
    int64_t seg_end = NumberOrText(e.Get("end_time"));
    if (seg_start <= 0 || seg_end <= seg_start || seg_end > kLatestTime || seg_end - seg_start > INT32_MAX)
      continue;
    PlaybackSegment s;
    s.kind = alarmTagToCode(e.Get("tag").AsString());
    s.ossid = static_cast<uint32_t>(e.Get("ossid").AsInt());
    s.start = seg_start;
    s.duration = static_cast<int32_t>(seg_end - seg_start);
    s.image_path = e.Get("image_path").AsString();
    s.is_body = e.Get("is_body").AsInt() != 0 ? 1 : 0;
    out->push_back(std::move(s));
  }
  SortAndMergeSegments(*out);
}
