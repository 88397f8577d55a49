#pragma once

#include <QTest>
#include <QtGlobal>

// Skips a case that needs root, raw sockets or network namespaces. QtTest counts
// a skip as a pass, so where the suite runs as root (scripts/test sets
// CORVALEN_TESTS_RUN_AS_ROOT) such a skip would hide a case that never ran: there
// it fails instead.
#define SKIP_WITHOUT_ROOT(reason)                                                                                     \
    do {                                                                                                               \
        if (qEnvironmentVariableIsSet("CORVALEN_TESTS_RUN_AS_ROOT"))                                                   \
            QFAIL(qPrintable(QStringLiteral("runs as root, yet: %1").arg(reason)));                                   \
        QSKIP(qPrintable(QString(reason)));                                                                            \
    } while (false)
