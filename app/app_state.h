// Process-wide values of the application: the service client, the signed-in user, the window title, the
// application icon, the idle limit and the LAN-only flag. GUI thread, except where said.
#pragma once

#include <QIcon>
#include <string>

class COrvelServer;

// The one service client; made at first use (before anything else in main) and kept to the end.
COrvelServer& OrvelServer();

// The signed-in user's phone number or e-mail; empty until sign-in.
std::string GetCurrentUser();
void SetCurrentUser(const std::string& user);

// The window title (app.conf "title", at most 95 bytes).
std::string GetWindowTitle();
void SetWindowTitle(const std::string& title);

// The application icon ("app.ico" of the current folder; null when absent).
QIcon GetAppIcon();
void SetAppIcon(const QIcon& icon);

// Seconds without input after which the panes of cellular devices close.
int GetMaxIdleTime();
void SetMaxIdleTime(int seconds);

// LAN-only mode (any thread).
bool IsLanOnly();
void SetLanOnly(bool on);
