// Standard headers that nearly every source includes, directly or through
// the project's headers; precompiled once per library or shared program kind.
#pragma once
#ifdef __cplusplus
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>
#endif
