// Workers take jobs, mark blocks done and end jobs while the main thread
// applies basket answers and the user deletes, pauses and resumes files.
// Run under AddressSanitizer, a removed item touched after its destruction
// shows as a use after free; at the end every row must equal its item.
#include "FilesFixture.h"

#include <QCoreApplication>
#include <QFile>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <tuple>
#include <thread>

using namespace filestest;

namespace {

constexpr int WorkerCount = 6;
constexpr int FileIDCount = 24;

// Sizes from one to five blocks; some files end in a short block.
QString SizeOf(int aID)
{
    return QString::number(uint32_t(aID % 5 + 1) * FILE_BLOCK_SIZE - uint32_t(aID % 2) * 1000);
}

class Worker {
public:
    Worker(TFiles& aFiles, std::atomic<bool>& aStop) : FFiles(aFiles), FStop(aStop) {}

    void Run()
    {
        while (!FStop.load()) {
            TFileItem* item = nullptr;
            {
                std::lock_guard<TFiles> lock(FFiles);
                item = FFiles.FindWaitingItem();
                if (item) {
                    try {
                        item->BeginJob();
                    } catch (const Exception& e) {
                        std::lock_guard<std::mutex> errors(ErrorLock);
                        PrepareErrors.insert(e.Message());
                        item = nullptr;
                    }
                }
            }
            if (!item) {
                std::this_thread::sleep_for(std::chrono::microseconds(300));
                continue;
            }
            ++Jobs;
            DoJob(item);
            std::lock_guard<TFiles> lock(FFiles);
            item->EndJob(true);
        }
    }

    std::atomic<int> Jobs{0};
    std::atomic<int> Blocks{0};
    std::atomic<int> Finalized{0};
    std::mutex ErrorLock;
    std::set<QString> PrepareErrors;

private:
    void DoJob(TFileItem* aItem)
    {
        QFile file(aItem->FilePath());
        const bool open = file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly);
        int32_t block = -1;
        while (!FStop.load() && aItem->Queued() && aItem->BlockMap().GetDownloadBlock(block)) {
            if (open) {
                file.seek(qint64(block) * FILE_BLOCK_SIZE);
                file.write(QByteArray(16, char('a' + block % 26)));
            }
            aItem->DwnldSpeedCalc().Add(16);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            aItem->BlockDownloaded(block);
            aItem->BlockMap().FreeBlock(block);
            ++Blocks;
        }
        file.close();
        // Finalization by the last job on a complete file.
        if (aItem->Queued() && aItem->BlockMap().Finished() && aItem->JobCount() == 1) {
            aItem->SetFileKey(QString(64, QLatin1Char('k')));
            QString target = aItem->FilePath();
            if (target.endsWith(QLatin1String(DownloadingExtension)))
                target.chop(int(std::strlen(DownloadingExtension)));
            aItem->SetFileState(fsFinished);
            aItem->SetFilePath(target);
            aItem->SaveSafe();
            ++Finalized;
        }
    }

    TFiles& FFiles;
    std::atomic<bool>& FStop;
};

using FilesStressTest = FilesFixture;

TEST_F(FilesStressTest, WorkersAndBasketAnswersAndDeletions)
{
    std::mt19937 random(20240611);
    const auto chance = [&random](int aPercent) { return int(random() % 100) < aPercent; };
    const auto updated = [](int aID) { return Updated(aID, {{"filesize", SizeOf(aID)}}); };
    const auto downloading = [this] {
        std::vector<int> indexes;
        for (int i = 0; i < FFiles->Count(); ++i)
            if (FFiles->Items(i)->Downloading())
                indexes.push_back(i);
        return indexes;
    };

    std::atomic<bool> stop{false};
    std::vector<std::unique_ptr<Worker>> workers;
    std::vector<std::thread> threads;
    for (int i = 0; i < WorkerCount; ++i) {
        workers.push_back(std::make_unique<Worker>(*FFiles, stop));
        threads.emplace_back([w = workers.back().get()] { w->Run(); });
    }

    int answers = 0;
    int deletions = 0;
    int removedWithJobs = 0;
    for (int round = 0; round < 1500 && (round < 400 || removedWithJobs < 5); ++round) {
        const int action = int(random() % 10);
        if (action < 4) {
            // A full answer naming most files; the others leave the basket.
            QString children;
            for (int id = 1; id <= FileIDCount; ++id)
                if (chance(75))
                    children += chance(5) ? Updated(id, {{"filesize", "0"}}) : updated(id);
            EXPECT_TRUE(Apply(Answer("full", children)));
            ++answers;
        } else if (action < 6) {
            QString children;
            for (int n = 0; n < 3; ++n)
                children += updated(int(random() % FileIDCount) + 1);
            const std::vector<int> busy = downloading();
            children += Deleted(!busy.empty() && chance(50) ? FFiles->Items(busy[random() % busy.size()])->UniqID()
                                                            : int(random() % FileIDCount) + 1);
            EXPECT_TRUE(Apply(Answer("partial", children)));
            ++answers;
        } else if (action < 8) {
            if (FFiles->Count() > 0) {
                // Mostly a file being downloaded, the case that matters.
                const std::vector<int> busy = downloading();
                const int index = !busy.empty() && chance(70) ? busy[random() % busy.size()]
                                                               : int(random() % uint32_t(FFiles->Count()));
                try {
                    FFiles->DeleteFile(index);
                } catch (const Exception& e) {
                    ADD_FAILURE() << e.what();
                }
                ++deletions;
            }
        } else if (action == 8) {
            FFiles->DeleteFinished();
        } else if (FFiles->Count() > 0) {
            TFileItem* item = FFiles->Items(int(random() % uint32_t(FFiles->Count())));
            if (item->Queued())
                item->Pause();
            else
                item->Queue();
        }
        removedWithJobs += FFiles->RemovedPendingCount() > 0 ? 1 : 0;
        // What the view reads every second.
        for (int i = 0; i < FFiles->Count(); ++i) {
            TFileItem* item = FFiles->Items(i);
            item->DownloadProgress();
            item->ImageIndex();
            item->DownloadSpeed();
            item->DownloadEstimatedTime();
            item->DownloadElapsedTime();
        }
        QCoreApplication::processEvents();
    }

    stop = true;
    for (std::thread& t : threads)
        t.join();
    FFiles->FlushPendingSaves();
    EXPECT_EQ(FFiles->PendingSaveCount(), 0);
    EXPECT_EQ(FFiles->RemovedPendingCount(), 0);
    for (int i = 0; i < FFiles->Count(); ++i)
        EXPECT_EQ(FFiles->Items(i)->JobCount(), 0);

    int jobs = 0, blocks = 0, finalized = 0;
    std::set<QString> prepareErrors;
    for (const auto& w : workers) {
        jobs += w->Jobs;
        blocks += w->Blocks;
        finalized += w->Finalized;
        prepareErrors.insert(w->PrepareErrors.begin(), w->PrepareErrors.end());
    }
    // A finished file cleared by the user and listed again by the store finds
    // its target on disk; nothing else may fail.
    for (const QString& error : prepareErrors)
        EXPECT_EQ(error, QStringLiteral("This file already exists!"));
    std::printf("answers %d, deletions %d, rounds with deferred removals %d, jobs %d, blocks %d, finalized %d\n",
                answers, deletions, removedWithJobs, jobs, blocks, finalized);
    EXPECT_GT(blocks, 0);
    EXPECT_GT(finalized, 0);
    EXPECT_GE(removedWithJobs, 5) << "items must also be removed while their jobs run";
    ExpectRowsMatchItems();

    // The saved list comes back as it is.
    using Saved = std::tuple<int32_t, int, QString, int32_t>;
    const auto snapshot = [this] {
        std::vector<Saved> items;
        for (int i = 0; i < FFiles->Count(); ++i) {
            TFileItem* item = FFiles->Items(i);
            // A map is sized again from the file size when loaded, so a file
            // waiting for encoding (size 0) comes back without blocks.
            const bool sized = item->FileRec().FileSize > 0;
            items.emplace_back(item->UniqID(), int(item->FileState()), item->FilePath(),
                               sized ? item->BlockMap().DoneCount() : 0);
        }
        std::sort(items.begin(), items.end());
        return items;
    };
    const std::vector<Saved> before = snapshot();
    NewList();
    FFiles->Load();
    const std::vector<Saved> after = snapshot();
    EXPECT_EQ(before, after);
}

} // namespace
