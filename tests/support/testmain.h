#pragma once

#include <QApplication>
#include <QTest>

namespace marlox::test {

// Points HOME and every XDG folder at a fresh temporary directory before any
// Qt class reads them, so no test can touch the real profile.
void isolateProfile();

// The temporary profile root made by isolateProfile().
QString profileRoot();

} // namespace marlox::test

#define MARLOX_TEST_MAIN(TestObject)                                                               \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        marlox::test::isolateProfile();                                                            \
        QApplication app(argc, argv);                                                              \
        QApplication::setOrganizationName(QStringLiteral("quorvintesha"));                         \
        QApplication::setApplicationName(QStringLiteral("Marlox"));                                \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                   \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }
