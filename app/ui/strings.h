// The string table, in English and Simplified Chinese (UTF-8), and the language of the user interface:
// Chinese for a Chinese system locale, English otherwise, unless overridden.
#pragma once

#include <QLocale>
#include <QString>

enum UiLanguage { kLangEnglish = 0, kLangChinese = 1 };

enum StringId {
  IDS_CONNECTING = 102,
  IDS_CONNECTION_BROKEN = 104,
  IDS_ERROR = 105,
  IDS_WAITING_STREAM = 106,
  IDS_FETCHING_PLAYLIST = 107,
  IDS_IDLE_DISCONNECTED = 109,
  IDS_DEVICE_OFFLINE = 110,
  IDS_AUTH_FAILURE = 111,
  IDS_MAX_CONNECTIONS = 112,
  IDS_CONNECT_TIMEOUT = 113,
  IDS_SESSION_TIMEOUT = 114,
  IDS_TRY_LATER = 118,
  IDS_PIP = 119,
  IDS_EXCHANGE_PIP = 120,
  IDS_SNAPSHOT = 121,
  IDS_RECORD = 122,
  IDS_AUDIO = 123,
  IDS_CLOSE_VIDEO = 124,
  IDS_TALKBACK = 125,
  IDS_SPLIT_2X2 = 126,
  IDS_DEVICE_LIST = 127,
  IDS_LIVE_MEDIA = 128,
  IDS_SD_PLAYBACK = 129,
  IDS_CLOUD_PLAYBACK = 130,
  IDS_LOGON = 131,
  IDS_SELECT_DATE = 132,
  IDS_USER_CUE = 133,
  IDS_PASSWORD_CUE = 134,
  IDS_INVALID_LOGIN = 135,
  IDS_CANNOT_CONNECT = 136,
  IDS_INFORMATION = 138,
  IDS_SWITCH_EYES = 139,
  IDS_ADD_GROUP = 140,
  IDS_CHANGE_GROUP_NAME = 141,
  IDS_GROUP_NAME = 142,
  IDS_NO_PLAYBACK_LIST = 143,
  IDS_CLOUD_DOWNLOAD_PROBLEM = 144,
  IDS_SOMEONE_TALKING = 145,
  IDS_LOADING_DEVICE_LIST = 146,
  IDS_CLOSING_BACKGROUND = 147,
};

// The language of the system locale.
UiLanguage UiLanguageOfLocale(const QLocale& locale);
// The language in use: the override when set, else that of the system locale.
UiLanguage GetUiLanguage();
void SetUiLanguageOverride(UiLanguage language);
void ClearUiLanguageOverride();
// "en" or "zh" (also "zh_CN", "zh-CN", "chinese", "english"); false for anything else.
bool ParseUiLanguage(const char* text, UiLanguage* out);

// The entry of id in the language in use (or the given one); empty when the table has none.
QString LoadUiString(int id);
const char* UiStringUtf8(int id, UiLanguage language);
// One of two texts by the language in use.
QString UiText(const char* english, const char* chinese);
