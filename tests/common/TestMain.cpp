// Every test process gets its own home and data folders, so nothing in the
// user's folders is read or touched, and a Qt application for queued calls
// (a widget application for the tests of windows).
#ifdef SX_TEST_GUI
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif
#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv)
{
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/sx-test-XXXXXX"));
    if (!home.isValid())
        return 2;
    const QByteArray root = home.path().toUtf8();
    QDir().mkpath(home.path() + QStringLiteral("/.local/share"));
    QDir().mkpath(home.path() + QStringLiteral("/.config"));
    ::setenv("HOME", root.constData(), 1);
    ::setenv("XDG_DATA_HOME", (root + "/.local/share").constData(), 1);
    ::setenv("XDG_CONFIG_HOME", (root + "/.config").constData(), 1);

    TestApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
