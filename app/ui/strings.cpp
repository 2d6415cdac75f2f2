#include "app/ui/strings.h"

#include <atomic>
#include <cstring>
#include <iterator>

namespace {

struct Entry {
  int id;
  const char* text[2];  // English, Simplified Chinese
};

constexpr Entry kStrings[] = {
    {102, "Connecting ...", "连接中..."},
    {104, "Connection is breaked", "设备已断开连接"},
    {105, "ERROR !", "错误 ！"},
    {106, "Waiting for the media stream ...", "等待流数据 ..."},
    {107, "Fetching playlist ...", "获取回放列表 ..."},
    {109, "Disonnected due to be idle too long. Double click to connect again.",
     "因长时间没有操作，图像断开。双击重新连接。"},
    {110, "Device is offline", "设备离线"},
    {111, "Authentication failure !", "口令认证失败！"},
    {112, "Device reaches the max connections!", "设备达到最大连接数！"},
    {113, "Connection timeouted, devcice may be offline. Please try it later.",
     "连接超时, 设备可能离线。请稍后重试。"},
    {114, "Session timeouted. Double click to connect again.", "会话超时，连接断开。双击重新连接。"},
    {118, "Try %d seconds later.", "%d 秒后重试"},
    {119, "Picture in Picture", "画中画"},
    {120, "Exchange Picture", "交换画中画"},
    {121, "Snapshot", "抓图"},
    {122, "Record", "录像"},
    {123, "Audio", "声音"},
    {124, "Close Video", "关闭图像"},
    {125, "Talkback", "对讲"},
    {126, "Split 2x2", "4分屏"},
    {127, "Device List", "设备列表"},
    {128, "Live Media", "实时播放"},
    {129, "SD Playback", "SD卡回放"},
    {130, "Cloud Playback", "云回放"},
    {131, "Logon", "退出登录"},
    {132, "Select Date", "选择日期"},
    {133, "Phone number or e-mail", "输入手机号或邮箱"},
    {134, "Password", "输入密码"},
    {135, "Invalid user name or password !", "无效用户名或密码！"},
    {136, "Can not connect to server !", "连接服务器失败！"},
    {138, "Information", "提示"},
    {139, "Switch Eyes", "双目切换"},
    {140, "Add Group", "添加组"},
    {141, "Change Group Name", "修改组名"},
    {142, "Name of group", "分组名称"},
    {143, "No playback list!", "当日回放列表为空!"},
    {144, "Having problem when download from cloud", "下载云端文件出现权限问题"},
    {145, "Some one is talking, please try later.", "已经有人在通话"},
    {146, "Loading device list ...", "正在加载设备列表..."},
    {147, "Closing the background task ...", "正在关闭后参操作，请稍候..."},
};

std::atomic<int> g_override{-1};

}  // namespace

UiLanguage UiLanguageOfLocale(const QLocale& locale) {
  return locale.language() == QLocale::Chinese && locale.script() != QLocale::TraditionalChineseScript
             ? kLangChinese
             : kLangEnglish;
}

UiLanguage GetUiLanguage() {
  int o = g_override.load();
  if (o >= 0) return static_cast<UiLanguage>(o);
  return UiLanguageOfLocale(QLocale::system());
}

void SetUiLanguageOverride(UiLanguage language) { g_override = language; }
void ClearUiLanguageOverride() { g_override = -1; }

bool ParseUiLanguage(const char* text, UiLanguage* out) {
  if (!text) return false;
  for (const char* en : {"en", "en_US", "en-US", "english"})
    if (std::strcmp(text, en) == 0) return *out = kLangEnglish, true;
  for (const char* zh : {"zh", "zh_CN", "zh-CN", "chinese"})
    if (std::strcmp(text, zh) == 0) return *out = kLangChinese, true;
  return false;
}

const char* UiStringUtf8(int id, UiLanguage language) {
  for (const Entry& e : kStrings)
    if (e.id == id) return e.text[language == kLangChinese ? 1 : 0];
  return "";
}

QString LoadUiString(int id) { return QString::fromUtf8(UiStringUtf8(id, GetUiLanguage())); }

QString UiText(const char* english, const char* chinese) {
  return QString::fromUtf8(GetUiLanguage() == kLangChinese ? chinese : english);
}
