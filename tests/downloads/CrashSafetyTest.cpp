// The download list's part of crash safety: blocks stored as done only once
// durable, the item's own finalization output recognised, leftovers removed
// at load.
#include "FilesFixture.h"

#include "app/AppUtils.h"
#include "common/TestUtils.h"

#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <functional>
#include <optional>

using namespace filestest;

namespace {

class CrashSafety : public FilesFixture {
public:
    TFileItem* NewItem(int32_t aID)
    {
        EXPECT_TRUE(Apply(Answer("partial", Updated(aID))));
        return Item(aID);
    }

    // Takes the next block and writes it (the bytes themselves do not matter here).
    int32_t WriteNextBlock(TFileItem* aItem)
    {
        int32_t block = -1;
        EXPECT_TRUE(aItem->BlockMap().GetDownloadBlock(block));
        aItem->BlockWritten(block);
        aItem->BlockMap().FreeBlock(block);
        return block;
    }

    static void Touch(const QString& aPath, qint64 aSize)
    {
        QDir().mkpath(QFileInfo(aPath).path());
        testutil::WriteFile(aPath, QByteArray(aSize, 'w'));
    }
};

} // namespace

TEST_F(CrashSafety, WrittenBlocksAreStoredAsDoneOnlyOnceSynced)
{
    TFileItem* item = NewItem(1); // three blocks
    item->BeginJob();
    int syncs = 0;
    const auto sync = [&] { ++syncs; };

    WriteNextBlock(item);
    EXPECT_EQ(item->BlockMap().AsString(), QStringLiteral("100")); // never handed out again
    EXPECT_EQ(item->StoredBlockMap(), QStringLiteral("000"));
    FFiles->FlushPendingSaves();
    EXPECT_EQ(Rows()[1].BlockMap, QStringLiteral("000"));

    // The first sync of a file is due at once; it posts a save.
    EXPECT_TRUE(item->SyncBlocks(sync, false, 60000));
    EXPECT_EQ(syncs, 1);
    EXPECT_EQ(item->StoredBlockMap(), QStringLiteral("100"));
    EXPECT_EQ(FFiles->PendingSaveCount(), 1);
    FFiles->FlushPendingSaves();
    EXPECT_EQ(Rows()[1].BlockMap, QStringLiteral("100"));

    // Batched: not again within the interval, unless forced.
    WriteNextBlock(item);
    EXPECT_FALSE(item->SyncBlocks(sync, false, 60000));
    EXPECT_EQ(syncs, 1);
    EXPECT_EQ(item->StoredBlockMap(), QStringLiteral("100"));

    // A failed sync claims nothing.
    EXPECT_THROW(item->SyncBlocks([] { throw EOSError(QStringLiteral("Input/output error")); }, true, 0), EOSError);
    EXPECT_EQ(item->UnsyncedBlockCount(), 1);
    item->EndJob(false);
    FFiles->FlushPendingSaves();
    EXPECT_EQ(Rows()[1].BlockMap, QStringLiteral("100"));

    EXPECT_TRUE(item->SyncBlocks(sync, true, 60000));
    EXPECT_EQ(item->UnsyncedBlockCount(), 0);
    EXPECT_FALSE(item->SyncBlocks(sync, true, 0)); // nothing left to sync
    FFiles->FlushPendingSaves();
    EXPECT_EQ(Rows()[1].BlockMap, QStringLiteral("110"));
}

TEST_F(CrashSafety, AnExistingTargetIsAcceptedOnlyAsTheItemsOwnOutput)
{
    struct Case {
        const char* Name;
        bool Target;                  // the target file exists
        std::optional<qint64> Working; // the working file exists with this size
        QString Map;                  // the block map as loaded
        std::optional<QString> Error;
    };
    const QString exists = QStringLiteral("This file already exists!");
    const std::vector<Case> cases = {
        {"all blocks done, working file there: finalization again", true, 250000, "111", std::nullopt},
        {"blocks missing: the target is not ours", true, 250000, "110", exists},
        {"no working file: the target is not ours", true, std::nullopt, "111", exists},
        {"no target, all blocks done", false, 250000, "111", std::nullopt},
        {"working file of the wrong size", false, 1000, "111", QStringLiteral("Existing file have unexpected size!")},
    };
    int32_t id = 10;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TFileItem* item = NewItem(++id);
        item->BuildFilePath();
        item->BlockMap().SetAsString(c.Map);
        const QString target = item->TargetPath();
        ASSERT_EQ(target, item->CreateFilePath());
        if (c.Target)
            Touch(target, 7);
        if (c.Working)
            Touch(item->FilePath(), *c.Working);
        std::optional<QString> error;
        try {
            item->PrepareFile();
        } catch (const Exception& e) {
            error = e.Message();
        }
        EXPECT_EQ(error, c.Error);
        EXPECT_EQ(item->BlockMap().AsString(), c.Map);
        if (c.Target) {
            EXPECT_EQ(GetFileSize(target), 7); // never touched here
        }
    }

    // A fresh item whose target exists before its download begins.
    TFileItem* item = NewItem(99);
    Touch(item->CreateFilePath(), 7);
    EXPECT_THROW(item->PrepareFile(), Exception);
    EXPECT_FALSE(QFileInfo::exists(item->FilePath()));
}

TEST_F(CrashSafety, LoadingRemovesWhatACrashLeftBehind)
{
    // 1: finished, its working file and a temporary file still there.
    TFileItem* finished = NewItem(1);
    finished->BuildFilePath();
    const QString target1 = finished->TargetPath();
    Touch(target1, 250000);
    Touch(target1 + QLatin1String(DownloadingExtension), 250000);
    Touch(target1 + QLatin1String(FinalizingExtension), 100);
    finished->SetFileState(fsFinished);
    finished->SetFilePath(target1);
    // 2: downloading, with a temporary file of an interrupted finalization.
    TFileItem* downloading = NewItem(2);
    downloading->BuildFilePath();
    const QString working2 = downloading->FilePath();
    Touch(working2, 250000);
    Touch(downloading->TargetPath() + QLatin1String(FinalizingExtension), 100);
    // 3: finished, its file gone meanwhile.
    TFileItem* gone = NewItem(3);
    gone->SetFileState(fsFinished);
    gone->SetFilePath(FTemp.path() + QStringLiteral("/music/gone.ape"));
    for (TFileItem* item : {finished, downloading, gone})
        item->SaveSafe();
    FFiles->FlushPendingSaves();

    NewList();
    FFiles->Load();
    ASSERT_EQ(FFiles->Count(), 3);
    EXPECT_TRUE(QFileInfo::exists(target1));
    EXPECT_FALSE(QFileInfo::exists(target1 + QLatin1String(DownloadingExtension)));
    EXPECT_FALSE(QFileInfo::exists(target1 + QLatin1String(FinalizingExtension)));
    EXPECT_TRUE(QFileInfo::exists(working2));
    EXPECT_FALSE(QFileInfo::exists(Item(2)->TargetPath() + QLatin1String(FinalizingExtension)));
    EXPECT_TRUE(Item(3)->Finished());
}

TEST_F(CrashSafety, DeletingAnUnfinishedItemRemovesItsTemporaryFileToo)
{
    TFileItem* item = NewItem(1);
    item->BuildFilePath();
    const QString working = item->FilePath();
    const QString temp = item->TargetPath() + QLatin1String(FinalizingExtension);
    Touch(working, 250000);
    Touch(temp, 10);
    FFiles->DeleteFile(0);
    EXPECT_FALSE(QFileInfo::exists(working));
    EXPECT_FALSE(QFileInfo::exists(temp));
}

TEST_F(CrashSafety, SavesOfAnItemWaitingForTheMainThreadAreMerged)
{
    TFileItem* item = NewItem(1);
    item->SaveSafe();
    item->SetFileKey(QString(64, QLatin1Char('k')));
    item->SaveSafe(); // the first save has not run: it will write the key too
    EXPECT_EQ(FFiles->PendingSaveCount(), 1);
    FFiles->FlushPendingSaves();
    EXPECT_EQ(Rows()[1].FileKey, QString(64, QLatin1Char('k')));

    // A save with a follow-up is never merged away; one after it is.
    std::vector<bool> after;
    item->SaveSafe([&after](bool aSaved) { after.push_back(aSaved); });
    item->SaveSafe([&after](bool aSaved) { after.push_back(aSaved); });
    item->SetFilePath(QStringLiteral("/x/y.mp3.downloading"));
    item->SaveSafe();
    EXPECT_EQ(FFiles->PendingSaveCount(), 2);
    FFiles->FlushPendingSaves();
    EXPECT_EQ(after, (std::vector<bool>{true, true}));
    EXPECT_EQ(Rows()[1].FilePath, QStringLiteral("/x/y.mp3.downloading"));

    // Once a save has begun, later changes get a save of their own.
    item->SaveSafe();
    FFiles->FlushPendingSaves();
    item->SaveSafe();
    EXPECT_EQ(FFiles->PendingSaveCount(), 1);
    FFiles->FlushPendingSaves();
}
