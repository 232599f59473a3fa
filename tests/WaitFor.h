// Waiting for what the event loop brings, with failures GoogleTest hears:
// Qt's QTRY_ macros report to QTest, which a GoogleTest run does not heed.
#pragma once

#include <QTest>
#include <gtest/gtest.h>

#define ASSERT_SOON_WITHIN(condition, ms) \
    ASSERT_TRUE(QTest::qWaitFor([&] { return bool(condition); }, ms)) << "never: " #condition
#define ASSERT_SOON(condition) ASSERT_SOON_WITHIN(condition, 5000)
