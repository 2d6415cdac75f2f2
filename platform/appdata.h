// The user's application-data folder.
#pragma once

#include <string>

namespace platform {

// $XDG_DATA_HOME when it is an absolute path, else $HOME/.local/share (the home from the password database
// when HOME is unset); not created.
std::string AppDataRoot();

// AppDataRoot() + "/" + sub (the root itself for an empty sub), made with any missing folders (mode 0700);
// empty when it cannot be made.
std::string MakeAppDataFolder(const std::string& sub);

}  // namespace platform
