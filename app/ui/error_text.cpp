#include "app/ui/error_text.h"

#include <iterator>

#include "app/ui/strings.h"
#include "sdk/device/kivo_p2p.h"
#include "sdk/device/rvs_transport.h"

namespace {

struct Meaning {
  int code;
  const char* english;  // null: the device link's own text
  const char* chinese;
};

// Device-link codes, then the P2P library's results.
constexpr Meaning kDeviceMeanings[] = {
    {-10001, nullptr, "操作失败"},
    {-10002, nullptr, "认证失败"},
    {-10003, nullptr, "不支持的操作"},
    {-10004, nullptr, "连接已断开"},
    {-10005, nullptr, "超时"},
    {-10006, nullptr, "无效的P2P ID"},
    {-10007, nullptr, "无效的参数"},
    {-10008, nullptr, "设备离线"},
    {-10009, nullptr, "无法解析主机名"},
    {-10010, nullptr, "服务器端出现问题"},
    {-10011, nullptr, "会话超时关闭"},
    {-10012, nullptr, "应答格式错误"},
    {-10013, nullptr, "通信错误"},
    {-10014, nullptr, "达到最大连接数"},
    {-10016, nullptr, "资源不足"},
    {-10017, nullptr, "操作失败"},
    {-10018, nullptr, "无效的会话"},
    {-10019, "The send buffer is full", "发送缓冲区已满"},
    {-10020, nullptr, "没有可用的连接方式"},
    {-10100, nullptr, "设备正在处理"},
    {-10101, nullptr, "命令头错误"},
    {-10102, nullptr, "设备不支持该命令"},
    {-10103, nullptr, "无效的命令参数"},
    {-10104, nullptr, "设备资源不足"},
    {-10105, nullptr, "设备内部错误"},
    {-10106, nullptr, "设备不允许该操作"},
    {-1, nullptr, "P2P库未初始化"},
    {-2, nullptr, "P2P库已初始化"},
    {-3, nullptr, "连接超时，设备可能离线"},
    {-4, nullptr, "无效的设备ID"},
    {-5, nullptr, "无效的参数"},
    {-6, nullptr, "设备不在线，最近5分钟也没有登录"},
    {-7, nullptr, "无法解析域名"},
    {-8, nullptr, "服务器不接受该设备ID前缀"},
    {-9, "The device refused the login", "设备拒绝登录"},
    {-10, nullptr, "没有可用的转发服务器"},
    {-11, "Invalid session handle", "无效的会话句柄"},
    {-12, nullptr, "会话被对方关闭"},
    {-13, nullptr, "会话超时关闭"},
    {-14, "Session closed by this side", "会话已被本端关闭"},
    {-16, nullptr, "监听被中断"},
    {-17, nullptr, "超过最大会话数"},
    {-18, nullptr, "无法绑定指定的UDP端口"},
    {-19, nullptr, "连接被中断"},
    {-20, "Out of memory for the session", "会话内存不足"},
    {-22, nullptr, "无法创建线程"},
    {-23, "The server refused the connection", "服务器拒绝连接"},
    {-24, "The connection through the TCP relay failed", "通过TCP转发连接失败"},
    {-25, "Out of memory while initialising", "初始化时内存不足"},
};

// The service's network failures and codes, and the cloud storage's.
constexpr Meaning kServiceMeanings[] = {
    {-1, "The service refused the request", "服务器拒绝了请求"},
    {-2, "The service did not answer in time", "服务器响应超时"},
    {-5, "The server's name could not be resolved", "无法解析服务器域名"},
    {-6, "Could not connect to the service", "无法连接服务器"},
    {-7, "The secure connection to the service failed", "与服务器的安全连接失败"},
    {-8, "Network error", "网络错误"},
    {-12, "Unsupported protocol", "不支持的协议"},
    {-100, "The service has no P2P information for this UUID", "服务器没有该UUID的P2P信息"},
    {-10012, "The service's reply was not understood", "服务器应答格式错误"},
    {401, "The sign-in has expired", "登录已过期"},
    {51023, "The sign-in has expired", "登录已过期"},
    {4000001, "This computer's clock differs too much from the cloud storage's",
     "本机时间与云存储时间相差太大"},
    {4000002, "The cloud storage credentials expired or are invalid", "云存储凭证过期或无效"},
    {4000003, "Access to the cloud storage was denied", "云存储拒绝访问"},
};

const Meaning* Find(const Meaning* begin, const Meaning* end, int code) {
  for (const Meaning* m = begin; m != end; ++m)
    if (m->code == code) return m;
  return nullptr;
}

QString Pick(const char* english, const char* chinese) { return UiText(english, chinese); }

}  // namespace

QString DeviceErrorMeaning(int code) {
  if (code == 0) return QString();
  const Meaning* m = Find(std::begin(kDeviceMeanings), std::end(kDeviceMeanings), code);
  if (!m) return Pick("Unknown error", "未知错误");
  const char* english = m->english;
  if (!english) english = code <= -10000 ? KivoP2pGetErrorText(code) : rvsErrorText(code);
  return Pick(english, m->chinese);
}

QString ConnectErrorMeaning(int code) {
  if (code == KIVO_ERR_DEV_PARAM) return Pick("The device's address is not valid", "设备地址无效");
  return DeviceErrorMeaning(code);
}

QString ServiceErrorMeaning(int code) {
  if (code == 0) return QString();
  if (const Meaning* m = Find(std::begin(kServiceMeanings), std::end(kServiceMeanings), code))
    return Pick(m->english, m->chinese);
  if (code == 403) return Pick("Access denied (HTTP 403)", "拒绝访问 (HTTP 403)");
  if (code == 404) return Pick("Not found (HTTP 404)", "找不到 (HTTP 404)");
  if (code >= 500 && code < 600) return Pick("Server error (HTTP %1)", "服务器错误 (HTTP %1)").arg(code);
  if (code >= 100 && code < 600) return Pick("HTTP status %1", "HTTP 状态 %1").arg(code);
  if (code > 0) return Pick("The service answered with code %1", "服务器返回错误码 %1").arg(code);
  return Pick("Unknown error", "未知错误");
}

QString CodeWithMeaning(int code, const QString& meaning) {
  return QStringLiteral("(%1:%2)").arg(code).arg(meaning);
}
