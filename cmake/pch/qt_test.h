// GoogleTest and Qt Test with qt.h, shared by the Qt test programs.
#pragma once
#include "qt.h"
#include <QTest>
#include <gtest/gtest.h>
