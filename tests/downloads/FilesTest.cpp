#include "FilesFixture.h"

#include "app/AppUtils.h"
#include "common/CommaLocale.h"
#include "common/TestUtils.h"
#include "log/Exception.h"

#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <functional>
#include <cmath>
#include <optional>
#include <thread>

using namespace filestest;

namespace {

using ItemStates = std::vector<std::pair<int32_t, TFileState>>;

ItemStates States(const TFiles& aFiles)
{
    ItemStates states;
    for (int i = 0; i < aFiles.Count(); ++i)
        states.emplace_back(aFiles.Items(i)->UniqID(), aFiles.Items(i)->FileState());
    return states;
}

// Downloads every free block of the item in one job.
void DownloadAllBlocks(TFileItem* aItem)
{
    aItem->BeginJob();
    int32_t block = -1;
    while (aItem->BlockMap().GetDownloadBlock(block)) {
        aItem->BlockDownloaded(block);
        aItem->BlockMap().FreeBlock(block);
    }
    aItem->EndJob(true);
}

void WriteBytes(const QString& aPath, qint64 aSize)
{
    QDir().mkpath(QFileInfo(aPath).path());
    testutil::WriteFile(aPath, QByteArray(aSize, 'x'));
}

QString ExceptionMessage(const std::function<void()>& aCall)
{
    try {
        aCall();
    } catch (const Exception& e) {
        return e.Message();
    }
    return QStringLiteral("(no error)");
}

struct BasketCase {
    const char* Name;
    std::vector<QString> Before; // answers applied first
    std::function<void(FilesFixture&)> Prepare;
    QString Answer;
    bool Result;
    ItemStates Items; // the list afterwards, in order
    std::vector<std::pair<QString, QString>> Logs; // (source, message) that must be logged
    std::function<void(FilesFixture&)> Check;
    bool AutoDownloading = true;
};

// State the cases keep between Prepare and Check.
QString SavedPath;
std::unique_ptr<CommaLocale> Comma;

std::vector<BasketCase> BasketCases()
{
    const QString dropped = QStringLiteral("File was deleted from basket.");
    const QString refreshing = QStringLiteral("Downloads refreshing");
    return {
        {"FullDropsPartlyDownloadedFile",
         {Full({1, 2})},
         [](FilesFixture& f) {
             TFileItem* item = f.Item(1);
             item->BeginJob();
             int32_t block = -1;
             ASSERT_TRUE(item->BlockMap().GetDownloadBlock(block));
             item->BlockDownloaded(block);
             item->BlockMap().FreeBlock(block);
             item->EndJob(true);
             f.FFiles->FlushPendingSaves();
             SavedPath = item->FilePath();
             ASSERT_TRUE(QFileInfo::exists(SavedPath));
             ASSERT_EQ(f.Rows().count(1), 1u);
         },
         Full({2}),
         true,
         {{2, fsQueued}},
         {{"Song 1", dropped}},
         [](FilesFixture& f) {
             EXPECT_FALSE(QFileInfo::exists(SavedPath));
             EXPECT_EQ(f.Rows().count(1), 0u);
         }},
        {"FullKeepsFinishedFile",
         {Full({1, 2})},
         [](FilesFixture& f) {
             TFileItem* item = f.Item(1);
             SavedPath = item->CreateFilePath();
             WriteBytes(SavedPath, 250000);
             item->SetFilePath(SavedPath);
             item->SetFileState(fsFinished);
             item->SaveSafe();
         },
         Full({2}),
         true,
         {{1, fsFinished}, {2, fsQueued}},
         {},
         [](FilesFixture& f) {
             EXPECT_TRUE(QFileInfo::exists(SavedPath));
             EXPECT_EQ(f.Rows().at(1).FileState, fsFinished);
         }},
        {"FullKeepsFileWithAllBlocksOnDisk",
         {Full({1, 2})},
         [](FilesFixture& f) { DownloadAllBlocks(f.Item(1)); },
         Full({2}),
         true,
         {{1, fsQueued}, {2, fsQueued}},
         {},
         [](FilesFixture& f) { EXPECT_EQ(f.Item(1)->BlockMap().AsString(), QStringLiteral("111")); }},
        {"PartialDeletesOne",
         {Full({1, 2, 3})},
         nullptr,
         Answer("partial", Deleted(2)),
         true,
         {{1, fsQueued}, {3, fsQueued}},
         {{"Song 2", dropped}},
         nullptr},
        {"LetterCaseOfValuesAndExactElementNames",
         {Full({1, 2, 3})},
         nullptr,
         Answer("Partial", Deleted(1) + "<Deleted uniqid=\"2\"/><note uniqid=\"3\"/>text", "YES"),
         true,
         {{2, fsQueued}, {3, fsQueued}},
         {},
         nullptr},
        {"NotUpdatedChangesNothing",
         {Full({1})},
         nullptr,
         Answer("full", "", "no", "46000"),
         false,
         {{1, fsQueued}},
         {},
         [](FilesFixture& f) {
             EXPECT_EQ(f.FObserver.Rows, 2);
             EXPECT_EQ(f.FObserver.Info, 2);
             EXPECT_EQ(f.FFiles->LastUpdateDate(), 45000.5);
         }},
        {"EncodingFileQueuedWhenItsSizeArrives",
         {Answer("full", Updated(1, {{"filetype", "0"}, {"filesize", "0"}}))},
         [](FilesFixture& f) {
             EXPECT_TRUE(f.Item(1)->Encoding());
             EXPECT_EQ(f.Item(1)->ImageIndex(), IMAGE_WAIT_ENCODING);
             EXPECT_EQ(f.Item(1)->BlockMap().Count(), 0);
             std::lock_guard<TFiles> lock(*f.FFiles);
             EXPECT_EQ(f.FFiles->FindWaitingItem(), nullptr);
         },
         Answer("partial", Updated(1, {{"filetype", "0"}})),
         true,
         {{1, fsQueued}},
         {},
         [](FilesFixture& f) {
             EXPECT_EQ(f.Item(1)->FileRec().Format, QStringLiteral("OE MP3, 192 kbps"));
             std::lock_guard<TFiles> lock(*f.FFiles);
             EXPECT_EQ(f.FFiles->FindWaitingItem(), f.Item(1));
         }},
        {"EncodingFilePausedWithoutAutoDownloading",
         {Answer("full", Updated(1, {{"filetype", "0"}, {"filesize", "0"}}))},
         [](FilesFixture& f) { EXPECT_TRUE(f.Item(1)->Encoding()); },
         Answer("partial", Updated(1, {{"filetype", "0"}})),
         true,
         {{1, fsPaused}},
         {},
         nullptr,
         false},
        {"FileExtensions",
         {},
         nullptr,
         Answer("full", Updated(1, {{"fileext", "mp3"}}) + Updated(2, {{"fileext", ".flac"}}) +
                            Updated(3, {{"fileext", ""}}) + Updated(4, {{"fileext", " ogg "}})),
         true,
         {{1, fsQueued}, {2, fsQueued}, {3, fsQueued}, {4, fsQueued}},
         {},
         [](FilesFixture& f) {
             EXPECT_EQ(f.Item(1)->FileRec().FileExtension, QStringLiteral(".mp3"));
             EXPECT_EQ(f.Item(2)->FileRec().FileExtension, QStringLiteral(".flac"));
             EXPECT_EQ(f.Item(3)->FileRec().FileExtension, QString());
             EXPECT_EQ(f.Item(4)->FileRec().FileExtension, QStringLiteral(".ogg"));
             EXPECT_EQ(f.Item(1)->CreateFilePath(), Settings().DownloadFolder + "Group/Album (2001)/07 - Song 1.mp3");
             TFileItem* noExt = f.Item(3);
             EXPECT_EQ(ExceptionMessage([noExt] { noExt->CreateFilePath(); }), QStringLiteral("File extension missed!"));
             EXPECT_EQ(ExceptionMessage([noExt] { noExt->BeginJob(); }), QStringLiteral("File extension missed!"));
             EXPECT_EQ(noExt->JobCount(), 0);
         }},
        {"BackquotesBecomeApostrophes",
         {},
         nullptr,
         Answer("full", Updated(1, {{"groupname", "Rock`n`Roll"}, {"albumname", "`Live`"}, {"songname", "Don`t"}})),
         true,
         {{1, fsQueued}},
         {},
         [](FilesFixture& f) {
             const TFileRec rec = f.Item(1)->FileRec();
             EXPECT_EQ(rec.GroupName, QStringLiteral("Rock'n'Roll"));
             EXPECT_EQ(rec.AlbumName, QStringLiteral("'Live'"));
             EXPECT_EQ(rec.SongName, QStringLiteral("Don't"));
         }},
        {"CostAndDateUnderCommaLocale",
         {},
         [](FilesFixture&) {
             Comma = std::make_unique<CommaLocale>();
             if (!Comma->CLocaleSet())
                 std::printf("note: no C library locale with a decimal comma; Qt's default locale only\n");
         },
         Answer("full", Updated(1, {{"filecost", "0.15"}}), "yes", "45000.25"),
         true,
         {{1, fsQueued}},
         {},
         [](FilesFixture& f) {
             EXPECT_EQ(f.Item(1)->FileRec().FileCost.Scaled, 1500);
             EXPECT_EQ(f.FFiles->LastUpdateDate(), 45000.25);
             EXPECT_EQ(f.Rows().at(1).FileRec.FileCost.Scaled, 1500);
             Comma.reset();
         }},
        {"MalformedAttributeKeepsEarlierItemsAndRemovesNothing",
         {Full({1, 2})},
         nullptr,
         Answer("full", Updated(3) + Updated(4, {{"duration", "abc"}}) + Updated(5), "yes", "46000"),
         false,
         {{1, fsQueued}, {2, fsQueued}, {3, fsQueued}},
         {{refreshing, "Error at update user basket: Wrong response format!"}},
         [](FilesFixture& f) { EXPECT_EQ(f.FFiles->LastUpdateDate(), 45000.5); }},
        {"MalformedDeletedElement",
         {Full({1, 2})},
         nullptr,
         Answer("partial", Deleted(1) + "<deleted uniqid=\"x\"/>"),
         false,
         {{1, fsQueued}, {2, fsQueued}},
         {{refreshing, "Error at update user basket: Wrong response format!"}},
         nullptr},
        {"UnknownUpdateType",
         {Full({1})},
         nullptr,
         Answer("sometimes", Updated(2)),
         false,
         {{1, fsQueued}},
         {{refreshing, "Error at update user basket: IDENT_INVALID_RESPONSE_FORMAT"}},
         nullptr},
        {"DateWithDecimalComma",
         {},
         nullptr,
         Answer("full", Updated(1), "yes", "45000,5"),
         false,
         {},
         {{refreshing, "Error at update user basket: '45000,5' is not a valid floating point value"}},
         [](FilesFixture& f) { EXPECT_EQ(f.FFiles->LastUpdateDate(), 0.0); }},
        {"UpdatedFileKeepsItsState",
         {Full({1})},
         [](FilesFixture& f) { f.Item(1)->Pause(); },
         Answer("partial", Updated(1, {{"songname", "New name"}, {"format", "MP3 320 kbps"}})),
         true,
         {{1, fsPaused}},
         {},
         [](FilesFixture& f) {
             EXPECT_EQ(f.Item(1)->FileRec().SongName, QStringLiteral("New name"));
             EXPECT_EQ(f.Item(1)->FileRec().Format, QStringLiteral("VIP MP3 320 kbps"));
             EXPECT_EQ(f.Item(1)->ShortFormat(), QStringLiteral("MP3 kbps"));
         }},
    };
}

class BasketTest : public FilesFixture, public ::testing::WithParamInterface<BasketCase> {};

TEST_P(BasketTest, AppliesAnswer)
{
    const BasketCase& c = GetParam();
    Settings().AutoDownloading = c.AutoDownloading;
    for (const QString& answer : c.Before)
        ASSERT_TRUE(Apply(answer));
    if (c.Prepare)
        c.Prepare(*this);
    FFiles->FlushPendingSaves();

    EXPECT_EQ(Apply(c.Answer), c.Result);
    EXPECT_EQ(States(*FFiles), c.Items);
    for (const auto& [source, message] : c.Logs)
        EXPECT_TRUE(Logged(source, message)) << source.toStdString() << ": " << message.toStdString();
    if (c.Check)
        c.Check(*this);
    // The view and the main window hear of every answer.
    EXPECT_EQ(FObserver.Rows, int(c.Before.size()) + 1);
    EXPECT_EQ(FObserver.Info, int(c.Before.size()) + 1);
    ExpectRowsMatchItems();
    Comma.reset();
}

INSTANTIATE_TEST_SUITE_P(Files, BasketTest, ::testing::ValuesIn(BasketCases()),
                         [](const ::testing::TestParamInfo<BasketCase>& aInfo) { return aInfo.param.Name; });

using FilesTest = FilesFixture;

TEST_F(FilesTest, AnswerWithoutMyDownloadsIsRefused)
{
    ASSERT_TRUE(Apply(Full({1})));
    for (const char* xml : {"<answer><downloads updated=\"yes\"/></answer>", ""}) {
        pugi::xml_document doc;
        doc.load_string(xml);
        double date = 0;
        try {
            FFiles->UpdateFiles(doc, date);
            ADD_FAILURE() << "no error for " << xml;
        } catch (const ELogMngrException& e) {
            EXPECT_EQ(e.Source(), QStringLiteral("TFiles.UpdateFiles"));
            EXPECT_EQ(e.Message(), QStringLiteral("INVALID_RESPONSE_FORMAT"));
        }
    }
    EXPECT_EQ(FObserver.Rows, 3);
    EXPECT_EQ(IDs(), std::vector<int32_t>{1});
}

TEST(XmlToFileRec, Conversions)
{
    struct Case {
        Attrs Changes;
        std::function<void(const TFileRec&)> Check; // null: "Wrong response format!"
    };
    const auto field = [](auto aGet, auto aExpected) {
        return [aGet, aExpected](const TFileRec& aRec) { EXPECT_EQ(aGet(aRec), aExpected); };
    };
    const auto format = [](const TFileRec& r) { return r.Format; };
    const auto track = [](const TFileRec& r) { return int(r.TrackNum); };
    const auto year = [](const TFileRec& r) { return r.AlbumYear; };
    const auto cost = [](const TFileRec& r) { return r.FileCost.Scaled; };
    const std::vector<Case> cases = {
        {{}, [](const TFileRec& r) {
             EXPECT_EQ(r.UniqID, 5);
             EXPECT_EQ(r.FileType, ftMp3VIP);
             EXPECT_EQ(r.GroupName, QStringLiteral("Group"));
             EXPECT_EQ(r.AlbumName, QStringLiteral("Album"));
             EXPECT_EQ(r.SongName, QStringLiteral("Song 5"));
             EXPECT_EQ(r.TrackNum, 7);
             EXPECT_EQ(r.AlbumYear, 2001u);
             EXPECT_EQ(r.Format, QStringLiteral("VIP MP3, 192 kbps"));
             EXPECT_EQ(r.FileExtension, QStringLiteral(".mp3"));
             EXPECT_EQ(r.FileSize, 250000u);
             EXPECT_EQ(r.FileCost.Scaled, 1500);
             EXPECT_EQ(r.Duration, 215);
             EXPECT_EQ(r.IPPort, QStringLiteral("10.0.0.1:8080"));
         }},
        {{{"filetype", "0"}}, field(format, QStringLiteral("OE MP3, 192 kbps"))},
        {{{"filetype", "2"}}, field(format, QStringLiteral("FREE MP3, 192 kbps"))},
        {{{"filetype", "3"}}, field(format, QStringLiteral("VIP MP3, 192 kbps"))},
        {{{"filetype", "4"}}, field(format, QStringLiteral("FREE MP3, 192 kbps"))},
        {{{"filetype", "9"}}, field(format, QStringLiteral("MP3, 192 kbps"))},
        {{{"filetype", "256"}}, nullptr},
        {{{"filetype", ""}}, nullptr},
        {{{"tracknum", ""}}, field(track, 0)},
        {{{"tracknum", "x"}}, field(track, 0)},
        {{{"tracknum", "65535"}}, field(track, 65535)},
        {{{"tracknum", "65536"}}, nullptr},
        {{{"tracknum", "-1"}}, nullptr},
        {{{"albumyear", ""}}, field(year, 0u)},
        {{{"albumyear", "1999x"}}, field(year, 0u)},
        {{{"albumyear", "-5"}}, nullptr},
        {{{"filesize", "4294967295"}}, [](const TFileRec& r) { EXPECT_EQ(r.FileSize, 4294967295u); }},
        {{{"filesize", "-1"}}, nullptr},
        {{{"filesize", "4294967296"}}, nullptr},
        {{{"filesize", ""}}, nullptr},
        {{{"filecost", "1.23456"}}, field(cost, int64_t(12346))},
        {{{"filecost", "2"}}, field(cost, int64_t(20000))},
        {{{"filecost", "0,15"}}, nullptr},
        {{{"filecost", "1,000.5"}}, nullptr},
        {{{"filecost", ""}}, nullptr},
        {{{"filecost", "1e300"}}, nullptr},
        {{{"duration", "65535"}}, [](const TFileRec& r) { EXPECT_EQ(r.Duration, 65535); }},
        {{{"duration", "65536"}}, nullptr},
        {{{"duration", ""}}, nullptr},
        {{{"uniqid", "12a"}}, nullptr},
        {{{"uniqid", "2147483648"}}, nullptr},
        {{{"uniqid", "-3"}}, [](const TFileRec& r) { EXPECT_EQ(r.UniqID, -3); }},
    };
    for (const Case& c : cases) {
        const QString xml = Updated(5, c.Changes);
        SCOPED_TRACE(xml.toStdString());
        pugi::xml_document doc;
        ASSERT_TRUE(doc.load_string(xml.toUtf8().constData()));
        if (c.Check) {
            c.Check(XmlToFileRec(doc.document_element()));
        } else {
            EXPECT_EQ(ExceptionMessage([&doc] { XmlToFileRec(doc.document_element()); }),
                      QStringLiteral("Wrong response format!"));
        }
    }

    // A missing attribute reads as empty text.
    pugi::xml_document doc;
    doc.load_string("<updated uniqid=\"1\" filetype=\"1\" filesize=\"10\" filecost=\"1\" duration=\"1\"/>");
    const TFileRec rec = XmlToFileRec(doc.document_element());
    EXPECT_EQ(rec.GroupName, QString());
    EXPECT_EQ(rec.IPPort, QString());
    EXPECT_EQ(rec.FileExtension, QString());
    EXPECT_EQ(rec.Format, QStringLiteral("VIP "));
}

TEST_F(FilesTest, DeletionReportsUnfinishedFilesOnly)
{
    ASSERT_TRUE(Apply(Answer("full", Updated(17, {{"filetype", "0"}}) + Updated(5) + Updated(42))));
    // 5 is finished, with its file on disk.
    TFileItem* finished = Item(5);
    const QString target = finished->CreateFilePath();
    WriteBytes(target, 250000);
    finished->SetFilePath(target);
    finished->SetFileState(fsFinished);
    // 17 has its working file.
    Item(17)->BeginJob();
    Item(17)->EndJob(true);
    const QString working = Item(17)->FilePath();
    ASSERT_TRUE(QFileInfo::exists(working));
    FFiles->FlushPendingSaves();
    const int infoBefore = FObserver.Info;

    FFiles->DeleteFiles({Item(17), Item(5), Item(42)});
    EXPECT_EQ(FBodies, QStringList{"FileCount=2\r\nFileID0=17\r\nFileOE0=1\r\nFileID1=42\r\nFileOE1=0\r\n"});
    EXPECT_EQ(FFiles->Count(), 0);
    EXPECT_TRUE(Rows().empty());
    EXPECT_FALSE(QFileInfo::exists(working));
    EXPECT_TRUE(QFileInfo::exists(target)) << "a finished file stays on disk";
    EXPECT_EQ(FObserver.Info, infoBefore + 1);

    // Only finished items: removed locally, nothing sent.
    ASSERT_TRUE(Apply(Full({1, 2})));
    Item(1)->SetFileState(fsFinished);
    EXPECT_TRUE(FFiles->CanDeleteFinished());
    FFiles->DeleteFinished();
    EXPECT_EQ(FBodies.size(), 1);
    EXPECT_EQ(IDs(), std::vector<int32_t>{2});
    EXPECT_FALSE(FFiles->CanDeleteFinished());
    ExpectRowsMatchItems();
}

TEST_F(FilesTest, DeletionReportFailureReachesCallerAfterLocalRemoval)
{
    ASSERT_TRUE(Apply(Full({1, 2})));
    FFiles->SetDeleteFilesHook([](const QString&) { throw Exception(QStringLiteral("INVALID_RESPONSE")); });
    EXPECT_EQ(ExceptionMessage([this] { FFiles->DeleteFile(0); }), QStringLiteral("INVALID_RESPONSE"));
    EXPECT_EQ(IDs(), std::vector<int32_t>{2});
    FFiles->SetDeleteFilesHook(nullptr);
    EXPECT_THROW(FFiles->DeleteFile(0), Exception);
    EXPECT_EQ(FFiles->Count(), 0);
    EXPECT_EQ(FObserver.Info, 1 + 2);
    EXPECT_THROW(FFiles->DeleteFile(0), Exception) << "index out of bounds";
    ExpectRowsMatchItems();
}

TEST_F(FilesTest, SavePostedForDeletedItemWritesNothing)
{
    ASSERT_TRUE(Apply(Full({1, 2})));
    TFileItem* first = Item(1);
    TFileItem* second = Item(2);
    second->SetFileKey(QString(64, QLatin1Char('k')));
    std::thread worker([first, second] {
        first->SaveSafe();
        second->SaveSafe();
    });
    worker.join();
    EXPECT_EQ(FFiles->PendingSaveCount(), 2);
    FFiles->DeleteFile(0);
    FFiles->FlushPendingSaves();
    EXPECT_EQ(FFiles->PendingSaveCount(), 0);
    const auto rows = Rows();
    EXPECT_EQ(rows.count(1), 0u);
    EXPECT_EQ(rows.at(2).FileKey, QString(64, QLatin1Char('k')));
}

TEST_F(FilesTest, RestartResumesWithDoneBlocksAndRefetchesBusyOnes)
{
    ASSERT_TRUE(Apply(Full({1})));
    TFileItem* item = Item(1);
    item->BeginJob();
    const QString working = item->FilePath();
    EXPECT_TRUE(working.endsWith(QStringLiteral("Group/Album (2001)/07 - Song 1.mp3.downloading")));
    EXPECT_EQ(GetFileSize(working), 250000);
    int32_t blocks[3];
    for (int32_t& block : blocks)
        ASSERT_TRUE(item->BlockMap().GetDownloadBlock(block));
    // A real block at its place, so the resume keeps the file's contents.
    {
        QFile file(working);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        file.seek(2 * FILE_BLOCK_SIZE);
        file.write(QByteArray(250000 - 2 * FILE_BLOCK_SIZE, 'c'));
    }
    item->BlockDownloaded(blocks[0]);
    item->BlockDownloaded(blocks[2]);
    // The program stops while block 1 is still being fetched.
    item->EndJob(false);
    FFiles->FlushPendingSaves();
    EXPECT_EQ(Rows().at(1).BlockMap, QStringLiteral("101"));
    NewList();

    FFiles->Load();
    ASSERT_EQ(FFiles->Count(), 1);
    item = FFiles->Items(0);
    EXPECT_TRUE(item->Queued());
    EXPECT_EQ(item->FilePath(), working);
    EXPECT_EQ(item->BlockMap().AsString(), QStringLiteral("101"));
    EXPECT_EQ(item->DownloadProgress(), 67);
    {
        std::lock_guard<TFiles> lock(*FFiles);
        ASSERT_EQ(FFiles->FindWaitingItem(), item);
        item->BeginJob();
    }
    int32_t block = -1;
    ASSERT_TRUE(item->BlockMap().GetDownloadBlock(block));
    EXPECT_EQ(block, 1);
    EXPECT_FALSE(item->BlockMap().GetDownloadBlock(block));
    EXPECT_EQ(testutil::ReadFile(working).mid(2 * FILE_BLOCK_SIZE, 5), QByteArray("ccccc"));
    item->BlockDownloaded(1);
    {
        std::lock_guard<TFiles> lock(*FFiles);
        item->EndJob(true);
    }
    ExpectRowsMatchItems();
    EXPECT_EQ(Rows().at(1).BlockMap, QStringLiteral("111"));
}

TEST_F(FilesTest, LoadSkipsBadRows)
{
    ASSERT_TRUE(Apply(Full({1, 2, 3})));
    Item(3)->Pause();
    FFiles->FlushPendingSaves();
    FUserData->UserConnection().exec("update Downloads set FileState = 9 where ID = 2");
    FUserData->SetDownloadsUpdateTime(44000.5);
    NewList();
    FFiles->Load();
    EXPECT_EQ(States(*FFiles), (ItemStates{{1, fsQueued}, {3, fsPaused}}));
    EXPECT_EQ(FFiles->LastUpdateDate(), 44000.5);
    std::lock_guard<std::mutex> lock(FLogLock);
    ASSERT_FALSE(FLog.empty());
    EXPECT_EQ(FLog.back().Source, QStringLiteral("Loading saved downloads"));
    EXPECT_TRUE(FLog.back().Message.contains(QStringLiteral("FileState")));
}

TEST_F(FilesTest, PrepareFileErrors)
{
    struct Case {
        const char* Name;
        Attrs Changes;
        std::function<void(TFileItem*)> Setup;
        const char* Error;
    };
    const std::vector<Case> cases = {
        {"target exists", {}, [](TFileItem* i) { WriteBytes(i->CreateFilePath(), 10); }, "This file already exists!"},
        {"working file of another size", {},
         [](TFileItem* i) { WriteBytes(i->CreateFilePath() + ".downloading", 249999); },
         "Existing file have unexpected size!"},
        {"video", {{"filetype", "3"}}, nullptr, "Video is not supported!"},
        {"no extension", {{"fileext", ""}}, nullptr, "File extension missed!"},
    };
    int id = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ASSERT_TRUE(Apply(Answer("partial", Updated(id, c.Changes))));
        TFileItem* item = Item(id++);
        if (c.Setup)
            c.Setup(item);
        EXPECT_EQ(ExceptionMessage([item] { item->BeginJob(); }), QString::fromLatin1(c.Error));
        // The failed job is not counted: the item is free for the engine to decide.
        EXPECT_EQ(item->JobCount(), 0);
        EXPECT_FALSE(item->Downloading());
    }
    // The first failure built the working path and saved it.
    FFiles->FlushPendingSaves();
    EXPECT_TRUE(Rows().at(1).FilePath.endsWith(QStringLiteral(".mp3.downloading")));

    // A folder that cannot be created.
    WriteBytes(FTemp.path() + "/blocked", 1);
    Settings().DownloadFolder = FTemp.path() + "/blocked/";
    ASSERT_TRUE(Apply(Answer("partial", Updated(id))));
    TFileItem* item = Item(id);
    EXPECT_TRUE(ExceptionMessage([item] { item->BeginJob(); }).startsWith(QStringLiteral("Error creating")));
    EXPECT_EQ(item->JobCount(), 0);
}

TEST_F(FilesTest, FindWaitingItem)
{
    ASSERT_TRUE(Apply(Answer("full", Updated(1) + Updated(2, {{"filesize", QString::number(20 * FILE_BLOCK_SIZE)}}) +
                                         Updated(3))));
    std::lock_guard<TFiles> lock(*FFiles);
    Item(1)->Pause();
    EXPECT_EQ(FFiles->FindWaitingItem(), Item(2)) << "first queued item in list order";

    // At most FileJobCount jobs on one file, while blocks are free.
    for (int i = 0; i < FileJobCount; ++i) {
        ASSERT_EQ(FFiles->FindWaitingItem(), Item(2));
        Item(2)->BeginJob();
        int32_t block = -1;
        ASSERT_TRUE(Item(2)->BlockMap().GetDownloadBlock(block));
    }
    EXPECT_EQ(Item(2)->JobCount(), FileJobCount);
    EXPECT_TRUE(Item(2)->BlockMap().HaveFree());
    EXPECT_EQ(FFiles->FindWaitingItem(), Item(3));

    // A file with jobs and no free block is not handed out; without jobs it is
    // (its last worker finalizes it).
    Item(3)->BeginJob();
    int32_t block = -1;
    while (Item(3)->BlockMap().GetDownloadBlock(block))
        Item(3)->BlockDownloaded(block);
    EXPECT_EQ(FFiles->FindWaitingItem(), nullptr);
    Item(3)->EndJob(true);
    EXPECT_EQ(FFiles->FindWaitingItem(), Item(3));
    for (int i = 0; i < FileJobCount; ++i)
        Item(2)->EndJob(false);
    EXPECT_EQ(FFiles->FindWaitingItem(), Item(2));
    EXPECT_THROW(Item(1)->EndJob(true), Exception) << "no job to end";
}

TEST_F(FilesTest, ItemRemovedWhileJobsRunLivesUntilItsLastJob)
{
    ASSERT_TRUE(Apply(Full({1, 2, 3})));
    TFileItem* item = Item(1);
    int32_t block = -1;
    {
        std::lock_guard<TFiles> lock(*FFiles);
        item->BeginJob();
        item->BeginJob();
    }
    ASSERT_TRUE(item->BlockMap().GetDownloadBlock(block));
    FFiles->DeleteFile(0);
    EXPECT_EQ(IDs(), (std::vector<int32_t>{2, 3}));
    EXPECT_EQ(FFiles->RemovedPendingCount(), 1);
    // Its workers see it leave the queue and stop after their block.
    EXPECT_TRUE(item->Removed());
    EXPECT_FALSE(item->Queued());
    {
        std::lock_guard<TFiles> lock(*FFiles);
        EXPECT_EQ(FFiles->FindWaitingItem(), Item(2));
    }
    EXPECT_THROW(item->BeginJob(), Exception);
    item->BlockDownloaded(block);
    item->BlockMap().FreeBlock(block);
    item->EndJob(true);
    FFiles->FlushPendingSaves();
    EXPECT_EQ(FFiles->RemovedPendingCount(), 1) << "one job still runs";
    item->EndJob(true);
    FFiles->FlushPendingSaves();
    EXPECT_EQ(FFiles->RemovedPendingCount(), 0);

    // The same through the basket.
    item = Item(2);
    item->BeginJob();
    ASSERT_TRUE(Apply(Full({3})));
    EXPECT_EQ(IDs(), std::vector<int32_t>{3});
    EXPECT_EQ(FFiles->RemovedPendingCount(), 1);
    item->EndJob(true);
    FFiles->FlushPendingSaves();
    EXPECT_EQ(FFiles->RemovedPendingCount(), 0);
    ExpectRowsMatchItems();
}

TEST_F(FilesTest, QueueAndPause)
{
    ASSERT_TRUE(Apply(Full({1})));
    TFileItem* item = Item(1);
    EXPECT_TRUE(item->CanCancelDownload());
    EXPECT_FALSE(item->CanDownload());
    item->Pause();
    EXPECT_TRUE(item->Paused());
    EXPECT_EQ(FFiles->QueuedCount(), 0);
    item->Pause(); // not queued: nothing
    FFiles->FlushPendingSaves();
    EXPECT_EQ(Rows().at(1).FileState, fsPaused);

    item->SetDownloadErrorOccured(true);
    EXPECT_EQ(item->ImageIndex(), IMAGE_ERROR);
    item->Queue();
    EXPECT_TRUE(item->Queued());
    EXPECT_FALSE(item->DownloadErrorOccured());
    EXPECT_EQ(FFiles->QueuedCount(), 1);
    EXPECT_TRUE(Logged(QStringLiteral("TFileItem.Queue"), QStringLiteral("Song 1 added to queue")));
    ExpectRowsMatchItems();
    item->SetFileState(fsFinished);
    item->Queue();
    item->Pause();
    EXPECT_TRUE(item->Finished());
}

TEST(ShortFormat, ReadsTheFormatAsACommaList)
{
    const std::pair<const char*, const char*> cases[] = {
        {"VIP MP3 192 kbps", "MP3 kbps"},
        {"VIP MP3, 192 kbps", "MP3 kbps"},
        {"MP3 192", "MP3 192"},
        {"MP3", "MP3"},
        {"", ""},
        {"OE \"Hi Fi\" 320", "Hi Fi 320"},
        {"OE \"say \"\"hi\"\"\" x", "say \"hi\" x"},
        {"a,,b", " b"},
        {"a, b,", "b "},
        {"  a   b  c  ", "b c"},
    };
    for (const auto& [format, shortFormat] : cases)
        EXPECT_EQ(ShortFormatOf(QString::fromLatin1(format)), QString::fromLatin1(shortFormat)) << format;
    const QString withNul = QStringLiteral("a b") + QChar(0) + QStringLiteral(" c d");
    EXPECT_EQ(ShortFormatOf(withNul), withNul) << "text ends at a NUL";
}

TEST_F(FilesTest, DisplayData)
{
    ASSERT_TRUE(Apply(Answer("full", Updated(1) + Updated(2, {{"filetype", "3"}}))));
    TFileItem* item = Item(1);
    EXPECT_EQ(item->GetDisplayName(), QStringLiteral("Group \\ Album \\ 7 - Song 1"));
    EXPECT_EQ(Item(2)->GetFullFileName(), QStringLiteral("Group \\ Song 2"));
    EXPECT_EQ(item->ShortFormat(), QStringLiteral("MP3 kbps"));

    // Not downloading: no speed and no times.
    EXPECT_EQ(item->ImageIndex(), IMAGE_FILE_QUEUED);
    EXPECT_FALSE(item->DownloadSpeed());
    EXPECT_FALSE(item->DownloadElapsedTime());
    EXPECT_FALSE(item->DownloadEstimatedTime());
    EXPECT_EQ(item->DownloadProgress(), 0);

    item->BeginJob();
    EXPECT_EQ(item->ImageIndex(), IMAGE_FILE_DOWNLOADING);
    EXPECT_TRUE(item->Downloading());
    int32_t block = -1;
    ASSERT_TRUE(item->BlockMap().GetDownloadBlock(block));
    item->BlockDownloaded(block);
    EXPECT_EQ(item->DownloadProgress(), 33);

    // 1000 bytes in 0.1 s: 10000 bytes per second; 250000 - 102400 bytes to go.
    item->DwnldSpeedCalc().AddAt(1000, 0);
    item->DwnldSpeedCalc().AddAt(1000, 150);
    ASSERT_TRUE(item->DownloadSpeed());
    EXPECT_EQ(*item->DownloadSpeed(), 10000);
    ASSERT_TRUE(item->DownloadEstimatedTime());
    EXPECT_DOUBLE_EQ(*item->DownloadEstimatedTime(), 14.0 / 86400.0);
    ASSERT_TRUE(item->DownloadElapsedTime());
    EXPECT_LT(*item->DownloadElapsedTime(), 2.0 / 86400.0);

    // At most one refresh per 100 ms of tick count (exactly 100 is too early).
    item->RefreshDownloadVars(1000);
    item->DwnldSpeedCalc().AddAt(2000, 250); // now 20000 bytes per second over the window: 15000
    item->RefreshDownloadVars(1100);
    EXPECT_EQ(item->LastDownloadSpeed(), 10000);
    item->RefreshDownloadVars(1101);
    EXPECT_EQ(item->LastDownloadSpeed(), 15000);
    EXPECT_EQ(item->LastEstimatedTime(), (250000 - 102400) / 15000);
    // Across the wrap-around of the tick counter.
    item->RefreshDownloadVars(4294967295u - 50);
    item->DwnldSpeedCalc().AddAt(3000, 350);
    item->RefreshDownloadVars(40);
    EXPECT_EQ(item->LastDownloadSpeed(), 15000);
    item->RefreshDownloadVars(60);
    EXPECT_EQ(item->LastDownloadSpeed(), std::llround(6000 / 0.3));

    item->EndJob(true);
    EXPECT_FALSE(item->DownloadSpeed());
    item->SetFileState(fsFinished);
    EXPECT_EQ(item->ImageIndex(), IMAGE_FINISHED);
    EXPECT_EQ(item->DownloadProgress(), 0);
    item->SetFileState(fsPaused);
    EXPECT_EQ(item->ImageIndex(), IMAGE_FILE_PAUSED);
    EXPECT_EQ(item->DownloadProgress(), 33);
}

} // namespace
