// GoogleTest with std.h, shared by the test programs.
#pragma once
#include "std.h"
#include <gtest/gtest.h>
