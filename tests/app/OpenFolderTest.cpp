#include "app/OpenFolder.h"
#include "log/Exception.h"

#include <QDesktopServices>
#include <QObject>
#include <QUrl>

#include <gtest/gtest.h>

namespace {

class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& aUrl) { urls << aUrl; }
};

} // namespace

TEST(OpenFolder, WebAddressGoesToTheBrowser)
{
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
    OpenFolder(QStringLiteral("https://store.example/balance?x=1"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    ASSERT_EQ(catcher.urls.size(), 1);
    EXPECT_EQ(catcher.urls[0].toString(), QStringLiteral("https://store.example/balance?x=1"));
}

#include "OpenFolderTest.moc"
