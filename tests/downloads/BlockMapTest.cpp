#include "downloads/BlockMap.h"
#include "log/Exception.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

TEST(BlockMap, Geometry)
{
    struct Case {
        uint32_t size;
        int32_t count;
        uint32_t last;
    };
    const Case cases[] = {
        {0, 0, 0},
        {1, 1, 1},
        {102400, 1, 102400},
        {102401, 2, 1},
        {204800, 2, 102400},
        {250000, 3, 45200},
        {4294967295u, 41944, 4294967295u - 41943u * 102400u},
    };
    for (const Case& c : cases) {
        TFileBlockMap map(c.size);
        EXPECT_EQ(map.Count(), c.count) << c.size;
        EXPECT_EQ(map.LastBlockSize(), c.last) << c.size;
        EXPECT_EQ(map.AsString(), QString(c.count, QLatin1Char('0'))) << c.size;
        EXPECT_EQ(map.DoneCount(), 0);
    }

    // No blocks: neither finished nor anything to fetch.
    TFileBlockMap empty;
    EXPECT_FALSE(empty.Finished());
    EXPECT_FALSE(empty.HaveFree());
    EXPECT_EQ(empty.AsString(), QString());
    EXPECT_EQ(empty.GetDoneSize(), 0u);
    EXPECT_EQ(empty.ProgressPercent(), 0);
    int32_t block = 5;
    EXPECT_FALSE(empty.GetDownloadBlock(block));
    EXPECT_EQ(block, -1);

    // Reset sizes an existing map again.
    empty.Reset(250000);
    EXPECT_EQ(empty.Count(), 3);
    EXPECT_TRUE(empty.HaveFree());
}

TEST(BlockMap, StatesAndStoredText)
{
    TFileBlockMap map(250000);
    int32_t b = -1;
    ASSERT_TRUE(map.GetDownloadBlock(b));
    EXPECT_EQ(b, 0);
    ASSERT_TRUE(map.GetDownloadBlock(b));
    EXPECT_EQ(b, 1);
    ASSERT_TRUE(map.GetDownloadBlock(b));
    EXPECT_EQ(b, 2);
    EXPECT_FALSE(map.HaveFree());
    EXPECT_FALSE(map.GetDownloadBlock(b));

    map.DoneBlock(0);
    map.FreeBlock(0); // after a success: stays done
    map.DoneBlock(2);
    EXPECT_EQ(map.Blocks(0), bsDone);
    EXPECT_EQ(map.Blocks(1), bsBusy);
    EXPECT_EQ(map.Blocks(2), bsDone);
    // Busy blocks are stored as not done.
    EXPECT_EQ(map.AsString(), QStringLiteral("101"));
    EXPECT_EQ(map.GetDoneSize(), 102400u + 45200u);
    EXPECT_EQ(map.DoneCount(), 2);
    EXPECT_EQ(map.ProgressPercent(), 67);
    EXPECT_FALSE(map.Finished());

    // Restart: a map loaded from the text fetches the busy block again.
    TFileBlockMap loaded(250000);
    loaded.SetAsString(map.AsString());
    EXPECT_EQ(loaded.DoneCount(), 2);
    EXPECT_EQ(loaded.FindFreeBlock(), 1);
    ASSERT_TRUE(loaded.GetDownloadBlock(b));
    EXPECT_EQ(b, 1);
    loaded.DoneBlock(1);
    EXPECT_TRUE(loaded.Finished());
    EXPECT_EQ(loaded.ProgressPercent(), 100);
    EXPECT_EQ(loaded.GetDoneSize(), 250000u);

    // A failed block goes back and is the next one handed out.
    map.FreeBlock(1);
    EXPECT_EQ(map.Blocks(1), bsFree);
    ASSERT_TRUE(map.GetDownloadBlock(b));
    EXPECT_EQ(b, 1);

    // Done on a free block changes nothing; done twice counts once.
    TFileBlockMap fresh(250000);
    fresh.DoneBlock(1);
    EXPECT_EQ(fresh.Blocks(1), bsFree);
    EXPECT_EQ(fresh.DoneCount(), 0);
    ASSERT_TRUE(fresh.GetDownloadBlock(b));
    fresh.DoneBlock(b);
    fresh.DoneBlock(b);
    EXPECT_EQ(fresh.DoneCount(), 1);

    fresh.Clear();
    EXPECT_EQ(fresh.AsString(), QStringLiteral("000"));
    EXPECT_EQ(fresh.DoneCount(), 0);
}

TEST(BlockMap, SetAsStringOfAnotherLengthFetchesEverything)
{
    const QString texts[] = {QStringLiteral("1111"), QStringLiteral("11"), QString()};
    for (const QString& text : texts) {
        TFileBlockMap map(250000);
        map.SetAsString(QStringLiteral("111")); // something to clear first
        map.SetAsString(text);
        EXPECT_EQ(map.AsString(), QStringLiteral("000")) << text.toStdString();
        EXPECT_EQ(map.DoneCount(), 0);
    }
    // Characters other than "1" are not done.
    TFileBlockMap map(250000);
    map.SetAsString(QStringLiteral("1x2"));
    EXPECT_EQ(map.AsString(), QStringLiteral("100"));
    EXPECT_EQ(map.DoneCount(), 1);
}

TEST(BlockMap, IndexOutOfRangeIsAnError)
{
    TFileBlockMap map(250000);
    EXPECT_THROW(map.DoneBlock(3), Exception);
    EXPECT_THROW(map.FreeBlock(-1), Exception);
    EXPECT_THROW(map.Blocks(3), Exception);
}

// Ten workers share one file: every block is handed out exactly once, some
// attempts fail and are retried, and the counters stay exact while the main
// thread reads the text and the progress.
TEST(BlockMap, WorkersNeverShareABlock)
{
    const uint32_t size = 500 * FILE_BLOCK_SIZE + 7;
    TFileBlockMap map(size);
    const int32_t count = map.Count();
    std::vector<std::atomic<int>> done(static_cast<size_t>(count));
    std::atomic<bool> stop{false};

    std::vector<std::thread> workers;
    for (int w = 0; w < 10; ++w) {
        workers.emplace_back([&, w] {
            int attempt = w;
            int32_t block = -1;
            while (map.GetDownloadBlock(block)) {
                if (++attempt % 7 == 0) {
                    map.FreeBlock(block); // a failed transfer
                    continue;
                }
                done[size_t(block)].fetch_add(1);
                map.DoneBlock(block);
                map.FreeBlock(block);
            }
        });
    }
    std::thread reader([&] {
        while (!stop.load()) {
            const QString text = map.AsString();
            EXPECT_EQ(text.size(), count);
            const int percent = map.ProgressPercent();
            EXPECT_GE(percent, 0);
            EXPECT_LE(percent, 100);
            map.GetDoneSize();
        }
    });
    for (std::thread& t : workers)
        t.join();
    stop = true;
    reader.join();

    for (int32_t i = 0; i < count; ++i)
        EXPECT_EQ(done[size_t(i)].load(), 1) << i;
    EXPECT_TRUE(map.Finished());
    EXPECT_EQ(map.DoneCount(), count);
    EXPECT_EQ(map.GetDoneSize(), uint64_t(size));
    EXPECT_EQ(map.AsString(), QString(count, QLatin1Char('1')));
}
