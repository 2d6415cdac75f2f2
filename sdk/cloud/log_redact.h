// Texts for the log with credentials masked: tokens, passwords, keys, storage secrets and session
// descriptions never reach the log in clear.
#pragma once

#include <cstddef>
#include <string>

struct cJSON;

// The mask written in place of a secret value.
inline constexpr char kRedacted[] = "***";

// True for member names whose values are secrets (compared without regard to letter case).
bool IsSecretName(const char* name);
// item printed without formatting, every secret member's value replaced by kRedacted (at any depth).
std::string RedactedJson(const cJSON* item);
// A reply or message for the log: JSON text is printed as by RedactedJson; other text gives its length and
// at most its first 200 bytes, control bytes as ".".
std::string RedactedText(const char* text, size_t length);
