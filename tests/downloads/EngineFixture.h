// The download engine on a real download list and user database, fetching
// from the demo store's file server (one store for the whole test program).
#pragma once

#include "FilesFixture.h"
#include "StoreKeySession.h"

#include "common/DemoStore.h"
#include "common/TestUtils.h"
#include "downloads/DownloadManager.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <memory>

namespace enginetest {

inline const QString SessionId = QStringLiteral("ENGINE-TEST-SESSION");

// A block request the file server answered (its /fileserver/log).
struct TServedBlock {
    int32_t ID = 0;
    int64_t Start = 0;
    int64_t End = 0;
    QString Outcome;
};

class EngineFixture : public filestest::FilesFixture {
public:
    static void SetUpTestSuite() { FStore = std::make_unique<testutil::TDemoStore>(); }
    static void TearDownTestSuite() { FStore.reset(); }

    void SetUp() override
    {
        ASSERT_TRUE(FStore && FStore->IsRunning());
        FStore->Reset();
        FilesFixture::SetUp();
        Store().Control(QJsonObject{{"fileserver", QJsonObject{{"sessions", QJsonArray{SessionId}}}}});
        FSession = std::make_unique<TStoreKeySession>(Store().Url(QString()), SessionId);
        // Quick retries and pauses; the product's values are tested where they matter.
        FOptions.IdleSleepMs = 50;
        FOptions.RetryPauseMs = 20;
        FOptions.MaxRetryPauseMs = 500;
        FOptions.ErrorPauseMs = 50;
        FOptions.SyncIntervalMs = 200;
    }

    void TearDown() override
    {
        FManager.reset();
        FilesFixture::TearDown();
        FSession.reset();
        LogMsgLevel = lmtInfo;
    }

    testutil::TDemoStore& Store() { return *FStore; }

    // A file on the file server: generated content of aSize bytes.
    void ServeFile(int32_t aID, int64_t aSize, const QJsonObject& aExtra = {})
    {
        QJsonObject desc = aExtra;
        desc["size"] = double(aSize);
        desc["seed"] = aID;
        Store().Control(QJsonObject{{"fileserver", QJsonObject{{"files", QJsonObject{{QString::number(aID), desc}}}}}});
    }

    void SetFaults(const QJsonObject& aFaults)
    {
        Store().Control(QJsonObject{{"fileserver", QJsonObject{{"faults", aFaults}}}});
    }

    // The basket element of file aID on this store.
    QString BasketFile(int32_t aID, int64_t aSize, const QString& aExt = QStringLiteral("ape"))
    {
        return filestest::Updated(aID, {{"filesize", QString::number(aSize)},
                                        {"fileext", aExt},
                                        {"ipport", QStringLiteral("127.0.0.1:%1").arg(Store().Port())}});
    }

    // Serves the files and puts them into the list (a partial basket answer).
    void AddFiles(const std::vector<std::pair<int32_t, int64_t>>& aFiles, const QString& aExt = QStringLiteral("ape"))
    {
        QString children;
        for (const auto& [id, size] : aFiles) {
            ServeFile(id, size);
            children += BasketFile(id, size, aExt);
        }
        ASSERT_TRUE(Apply(filestest::Answer("partial", children)));
    }

    void Start()
    {
        FManager = std::make_unique<TDownloadManager>(*FFiles, *FSession, FOptions);
        FManager->StartDownloads();
    }

    void Stop() { FManager.reset(); }

    bool WaitAllFinished(int aTimeoutMs = 60000)
    {
        return testutil::WaitFor(
            [this] {
                for (int i = 0; i < FFiles->Count(); ++i)
                    if (!FFiles->Items(i)->Finished())
                        return false;
                return true;
            },
            aTimeoutMs);
    }

    QByteArray Plain(int32_t aID)
    {
        int status = 0;
        const QByteArray data =
            testutil::FetchUrl(Store().Url(QStringLiteral("/fileserver/plain/%1").arg(aID)), {}, false, &status);
        EXPECT_EQ(status, 200);
        return data;
    }

    QString Key(int32_t aID)
    {
        return QString::fromLatin1(testutil::FetchUrl(Store().Url(QStringLiteral("/fileserver/key/%1").arg(aID)), {}, false));
    }

    std::vector<TServedBlock> Served(int32_t aID = -1)
    {
        std::vector<TServedBlock> blocks;
        const QJsonArray log =
            QJsonDocument::fromJson(testutil::FetchUrl(Store().Url(QStringLiteral("/fileserver/log")), {}, false)).array();
        for (const QJsonValue& v : log) {
            const QJsonObject o = v.toObject();
            TServedBlock b{o["id"].toInt(), qint64(o["start"].toDouble()), qint64(o["end"].toDouble()),
                           o["outcome"].toString()};
            if (aID < 0 || b.ID == aID)
                blocks.push_back(b);
        }
        return blocks;
    }

    // Files under the download folder whose names end with aSuffix.
    QStringList FilesEndingWith(const QString& aSuffix)
    {
        QStringList found;
        QDirIterator it(Settings().DownloadFolder, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (path.endsWith(aSuffix))
                found << path;
        }
        return found;
    }

    bool LoggedMessage(const QString& aSource, const QString& aMessage)
    {
        return Logged(aSource, aMessage);
    }

    int CountLogged(const QString& aSource, const QString& aMessage)
    {
        std::lock_guard<std::mutex> lock(FLogLock);
        int n = 0;
        for (const TMessageRec& rec : FLog)
            if (rec.Source == aSource && rec.Message == aMessage)
                ++n;
        return n;
    }

    static inline std::unique_ptr<testutil::TDemoStore> FStore;
    std::unique_ptr<TStoreKeySession> FSession;
    TDownloadOptions FOptions;
    std::unique_ptr<TDownloadManager> FManager;
};

} // namespace enginetest
