#pragma once
// The main() of a test that decodes pictures: pictures are decoded by workers, which are
// the test binary itself started again in the worker mode.

#include <QtTest>

#include "decoderworker.h"

#define FOTARIK_QTEST_WRAPPER(TestObject, ...)                                                               \
    int main(int argc, char* argv[])                                                                         \
    {                                                                                                        \
        fotarik::imaging::runDecodeWorkerIfAsked(argc, argv);                                                \
        QT_PREPEND_NAMESPACE(QTest::Internal::callInitMain)<TestObject>();                                   \
        __VA_ARGS__                                                                                          \
        TestObject tc;                                                                                       \
        QTEST_SET_MAIN_SOURCE_PATH                                                                           \
        return QTest::qExec(&tc, argc, argv);                                                                \
    }

// QTEST_MAIN and QTEST_GUILESS_MAIN with the worker mode.
#define FOTARIK_TEST_MAIN(TestObject) FOTARIK_QTEST_WRAPPER(TestObject, QTEST_MAIN_SETUP())
#define FOTARIK_TEST_GUILESS_MAIN(TestObject)                                                                \
    FOTARIK_QTEST_WRAPPER(TestObject, QTEST_QAPP_SETUP(QCoreApplication))
