// A download list on a real user database, with its download folder in a
// temporary folder; basket answers are built as XML text.
#pragma once

#include "downloads/Files.h"
#include "downloads/UserData.h"
#include "log/Exception.h"
#include "log/LogManager.h"
#include "settings/Settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QStringList>
#include <QTemporaryDir>

#include <SQLiteCpp/SQLiteCpp.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace filestest {

struct CountingObserver : TFilesObserver {
    int Rows = 0;
    int Info = 0;
    void CreateFilesListItems() override { ++Rows; }
    void UpdateDownloadInfo() override { ++Info; }
};

using Attrs = std::map<QString, QString>;

// An "updated" element for file aID; aChanges replace or add attributes.
inline QString Updated(int aID, const Attrs& aChanges = {})
{
    Attrs attrs = {
        {"uniqid", QString::number(aID)},
        {"filetype", "1"},
        {"groupname", "Group"},
        {"albumname", "Album"},
        {"songname", QStringLiteral("Song %1").arg(aID)},
        {"tracknum", "7"},
        {"albumyear", "2001"},
        {"format", "MP3, 192 kbps"},
        {"fileext", "mp3"},
        {"filesize", "250000"},
        {"filecost", "0.15"},
        {"duration", "215"},
        {"ipport", "10.0.0.1:8080"},
    };
    for (const auto& [name, value] : aChanges)
        attrs[name] = value;
    QString xml = QStringLiteral("<updated");
    for (const auto& [name, value] : attrs)
        xml += QStringLiteral(" %1=\"%2\"").arg(name, value.toHtmlEscaped());
    return xml + QStringLiteral("/>");
}

inline QString Deleted(int aID)
{
    return QStringLiteral("<deleted uniqid=\"%1\"/>").arg(aID);
}

inline QString Answer(const QString& aType, const QString& aChildren, const QString& aUpdated = "yes",
                      const QString& aDate = "45000.5")
{
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"utf-8\"?><answer><mydownloads updated=\"%1\" "
                          "lastupdatedate=\"%2\" updatetype=\"%3\">%4</mydownloads></answer>")
        .arg(aUpdated, aDate, aType, aChildren);
}

inline QString Full(const std::vector<int>& aIDs)
{
    QString children;
    for (int id : aIDs)
        children += Updated(id);
    return Answer("full", children);
}

class FilesFixture : public ::testing::Test {
public:
    void SetUp() override
    {
        SettingsModule::Start();
        ASSERT_TRUE(FTemp.isValid());
        Settings().DownloadFolder = FTemp.path() + QStringLiteral("/music/");
        Settings().DownloadFileNameMask = QStringLiteral("%G/%A (%Y)/%T - %S");
        Settings().DownloadFileReplaceSpaces = false;
        Settings().AutoDownloading = true;
        QDir(Settings().AppDataFolder()).removeRecursively();
        FUserData = std::make_unique<TUserData>();
        FUserData->Init(QStringLiteral("tester"));
        // Every save is a transaction; without waiting for the disk the tests stay quick.
        FUserData->UserConnection().exec("PRAGMA synchronous = OFF");
        LogMngr::SetObjMessageHandler([this](const TMessageRec& aRec) {
            std::lock_guard<std::mutex> lock(FLogLock);
            FLog.push_back(aRec);
        });
        NewList();
    }

    void TearDown() override
    {
        FFiles.reset();
        LogMngr::SetObjMessageHandler(nullptr);
        FUserData.reset();
        QDir(Settings().AppDataFolder()).removeRecursively();
        SettingsModule::Stop();
    }

    void NewList()
    {
        FFiles.reset();
        FFiles = std::make_unique<TFiles>(*FUserData);
        FFiles->SetObserver(&FObserver);
        FFiles->SetDeleteFilesHook([this](const QString& aBody) { FBodies << aBody; });
    }

    // Applies an answer and runs the saves it posted.
    bool Apply(const QString& aXml)
    {
        pugi::xml_document doc;
        const QByteArray bytes = aXml.toUtf8();
        EXPECT_TRUE(doc.load_buffer(bytes.constData(), size_t(bytes.size())));
        double date = -1;
        const bool result = FFiles->UpdateFiles(doc, date);
        FFiles->FlushPendingSaves();
        return result;
    }

    TFileItem* Item(int32_t aUniqID) const { return FFiles->FindByUniqID(aUniqID); }

    std::map<int32_t, TDownloadRow> Rows() const
    {
        std::map<int32_t, TDownloadRow> rows;
        std::unique_ptr<SQLite::Statement> query = FUserData->GetDownloads(byID);
        while (query->executeStep()) {
            TDownloadRow row = TUserData::ReadDownloadRow(*query);
            rows[row.FileRec.UniqID] = row;
        }
        return rows;
    }

    std::vector<int32_t> IDs() const
    {
        std::vector<int32_t> ids;
        for (int i = 0; i < FFiles->Count(); ++i)
            ids.push_back(FFiles->Items(i)->UniqID());
        return ids;
    }

    bool Logged(const QString& aSource, const QString& aMessage)
    {
        std::lock_guard<std::mutex> lock(FLogLock);
        for (const TMessageRec& rec : FLog)
            if (rec.Source == aSource && rec.Message == aMessage)
                return true;
        return false;
    }

    // Every item has a row equal to it, and there is no other row.
    void ExpectRowsMatchItems()
    {
        FFiles->FlushPendingSaves();
        const std::map<int32_t, TDownloadRow> rows = Rows();
        EXPECT_EQ(rows.size(), size_t(FFiles->Count()));
        for (int i = 0; i < FFiles->Count(); ++i) {
            TFileItem* item = FFiles->Items(i);
            SCOPED_TRACE(item->UniqID());
            const auto it = rows.find(item->UniqID());
            ASSERT_NE(it, rows.end());
            EXPECT_TRUE(it->second.FileRec == item->FileRec());
            EXPECT_EQ(it->second.FileState, item->FileState());
            EXPECT_EQ(it->second.FilePath, item->FilePath());
            EXPECT_EQ(it->second.FileKey, item->FileKey());
            EXPECT_EQ(it->second.BlockMap, item->BlockMap().AsString());
        }
    }

    QTemporaryDir FTemp;
    std::unique_ptr<TUserData> FUserData;
    std::unique_ptr<TFiles> FFiles;
    CountingObserver FObserver;
    QStringList FBodies;
    std::mutex FLogLock;
    std::vector<TMessageRec> FLog;
};

} // namespace filestest
