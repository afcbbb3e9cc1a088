#include "catalog/CatalogData.h"
#include "catalog/CatalogTestUtils.h"
#include "catalog/CatalogUpdater.h"
#include "common/TestUtils.h"
#include "log/LogManager.h"
#include "net/SessionTestSupport.h"
#include "settings/ServerSettings.h"

#include <QDir>
#include <QDirIterator>
#include <QRegularExpression>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>

using namespace catalogtest;
using testutil::WaitFor;

namespace {

// The store's default catalog: a tiny full catalog at version 1 (seed 1)
// and partial packages of 12 records up to version 4, package v planned
// with the seed 1000 + v.
constexpr int StoreVersion = 4;

class CatalogUpdaterTest : public TSessionTest {
protected:
    void SetUp() override
    {
        TSessionTest::SetUp();
        ASSERT_TRUE(FDir.isValid());
        LogMngr::StartModule();
        LogMngr::Initialize(FDir.path() + QStringLiteral("/logs"));
        LogMngr::SetObjMessageHandler([this](const TMessageRec& aMsg) {
            std::lock_guard<std::mutex> lock(FLogLock);
            FHandled.append(aMsg.Source + QStringLiteral(": ") + aMsg.Message);
        });
        OpenCatalog();
        FConnection->SetCatalogVersionSource([this] { return FCatalog->DataVersion(); });
        SignIn();
    }

    void TearDown() override
    {
        FCatalog.reset();
        LogMngr::SetObjMessageHandler(nullptr);
        LogMngr::StopModule();
        TSessionTest::TearDown();
    }

    QString CatalogFolder() const { return FDir.path() + QStringLiteral("/db"); }
    QString CatalogPath() const { return CatalogFolder() + QStringLiteral("/svxc.s3db"); }
    QString TempFolder() const { return FDir.path() + QStringLiteral("/tmp"); }

    void OpenCatalog() { FCatalog = std::make_unique<TCatalogData>(CatalogFolder()); }
    // The local catalog as the store's full package at version 1.
    void StartFromFullPackage()
    {
        FCatalog.reset();
        MakeCatalog(CatalogPath(), QStringLiteral("tiny"), 1, 1);
        OpenCatalog();
        ASSERT_EQ(FCatalog->DataVersion(), 1u);
    }

    // What the generator makes of the store's packages up to aVersion.
    QString Reference(int aVersion)
    {
        const QString path = FDir.path() + QStringLiteral("/reference.s3db");
        if (!QFile::exists(path))
            RunGenerator({QStringLiteral("catalog"), path, QStringLiteral("--size"), QStringLiteral("tiny"),
                          QStringLiteral("--seed"), QStringLiteral("1"), QStringLiteral("--version"), QStringLiteral("1")});
        for (int v = FReferenceVersion + 1; v <= aVersion; ++v)
            RunGenerator({QStringLiteral("partial"), path, FDir.path() + QStringLiteral("/ref-%1.xml").arg(v),
                          QStringLiteral("--to-version"), QString::number(v), QStringLiteral("--records"),
                          QStringLiteral("12"), QStringLiteral("--seed"), QString::number(1000 + v),
                          QStringLiteral("--apply")});
        FReferenceVersion = std::max(FReferenceVersion, aVersion);
        EXPECT_EQ(FReferenceVersion, aVersion) << "references are built upwards only";
        return DumpCatalog(path);
    }

    // Runs an update to its end; FTexts gets the progress texts as shown.
    bool Run(TCatalogUpdater& aUpdater, int aFinishDelay = 0)
    {
        FTexts.clear();
        aUpdater.SetTempFolder(TempFolder());
        aUpdater.SetFinishDelay(aFinishDelay);
        aUpdater.SetOnChange([this, &aUpdater] {
            if (FTexts.isEmpty() || FTexts.last() != aUpdater.ProgressText())
                FTexts.append(aUpdater.ProgressText());
            if (aUpdater.State() == cusFinishing)
                FFinishing.start();
            if (FProbe)
                FProbe(aUpdater);
        });
        return aUpdater.Execute();
    }

    QStringList PackageRequests()
    {
        QStringList paths;
        for (const QJsonValue& v : RequestsTo(QStringLiteral("/catalog/")))
            paths.append(v.toObject().value(QStringLiteral("path")).toString());
        return paths;
    }

    QStringList Handled()
    {
        std::lock_guard<std::mutex> lock(FLogLock);
        return FHandled;
    }

    QString LogText()
    {
        QStringDecoder decoder(QStringDecoder::Utf16LE);
        return decoder(testutil::ReadFile(LogMngr::GetCurrentLogFilePath()));
    }

    QStringList TempEntries() { return QDir(TempFolder()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden); }

    QTemporaryDir FDir;
    std::unique_ptr<TCatalogData> FCatalog;
    // Looks at the run on every change.
    std::function<void(TCatalogUpdater&)> FProbe;
    int FReferenceVersion = 1;
    QStringList FTexts;
    QElapsedTimer FFinishing;
    std::mutex FLogLock;
    QStringList FHandled;
};

} // namespace

TEST(CatalogUpdaterUrls, FileNameAndPath)
{
    struct Case {
        const char* url;
        const char* path;
        const char* name;
    };
    const Case cases[] = {
        {"http://h/a/svc_000123.zip", "http://h/a/", "svc_000123.zip"},
        {"svc_000123.zip", "", "svc_000123.zip"},
        {"http://h/a/", "http://h/a/", ""},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ExtractUrlFilePath(QString::fromUtf8(c.url)), QString::fromUtf8(c.path)) << c.url;
        EXPECT_EQ(ExtractUrlFileName(QString::fromUtf8(c.url)), QString::fromUtf8(c.name)) << c.url;
    }
}

TEST_F(CatalogUpdaterTest, FullPackageThenThreePartialPackages)
{
    // The partial packages come in windows-1251, as the store writes them.
    Store().Control(QByteArray(R"({"catalog": {"encoding": "windows-1251"}})"));
    ASSERT_FALSE(FCatalog->Connected());
    ASSERT_TRUE(ServerSettings().CatalogUpdated);
    {
        TCatalogUpdater updater(FCatalog.get(), FConnection.get());
        EXPECT_EQ(updater.ProgressText(), QStringLiteral("Initializing..."));
        EXPECT_EQ(updater.Caption(), QStringLiteral("SorvelinX catalog update"));
        ASSERT_TRUE(Run(updater, 1000)) << updater.ErrorMessage().toStdString();
        // The last text stays for a second before the run ends.
        EXPECT_GE(FFinishing.elapsed(), 900);
        EXPECT_EQ(updater.Caption(), QStringLiteral("SorvelinX catalog full update"));
        EXPECT_EQ(FTexts.join(QLatin1Char('|')),
                  QStringLiteral("Initializing...|Retrieving info...|Downloading...|Decompressing...|Installing..."));
        ASSERT_EQ(updater.UpdateList().size(), 1);
        EXPECT_TRUE(updater.UpdateList()[0].IsFullUpdate);
        EXPECT_EQ(updater.UpdateList()[0].Version, 1u);
    }
    EXPECT_TRUE(FCatalog->Connected());
    EXPECT_EQ(FCatalog->DataVersion(), 1u);
    EXPECT_EQ(DumpCatalog(CatalogPath()), Reference(1));
    // Listed as svc_*, fetched as svxc_*.
    EXPECT_EQ(PackageRequests(), QStringList{QStringLiteral("/catalog/svxc_full_000001.zip")});
    QJsonArray info = ActionRequests(QStringLiteral("catalogupdate"));
    ASSERT_EQ(info.size(), 1);
    EXPECT_EQ(FieldNames(info[0]), (QStringList{QStringLiteral("ProjectType"), QStringLiteral("SessionID"),
                                                QStringLiteral("CatalogVersion"), QStringLiteral("ProtocolVersion"),
                                                QStringLiteral("Language"), QStringLiteral("Compress")}));
    EXPECT_EQ(FieldValue(info[0], QStringLiteral("CatalogVersion")), QStringLiteral("0"));
    EXPECT_TRUE(TempEntries().isEmpty()) << TempEntries().join(QLatin1Char(' ')).toStdString();

    // The second run: the three partial packages, in the store's order.
    {
        TCatalogUpdater updater(FCatalog.get(), FConnection.get());
        ASSERT_TRUE(Run(updater)) << updater.ErrorMessage().toStdString();
        EXPECT_EQ(updater.Caption(), QStringLiteral("SorvelinX catalog partial update"));
        QStringList expected{QStringLiteral("Initializing..."), QStringLiteral("Retrieving info...")};
        for (int i = 1; i <= 3; ++i)
            for (const char* step : {"Downloading", "Decompressing", "Installing"})
                expected.append(QStringLiteral("%1 %2 of 3...").arg(QLatin1String(step)).arg(i));
        EXPECT_EQ(FTexts.join(QLatin1Char('|')), expected.join(QLatin1Char('|')));
    }
    EXPECT_EQ(FCatalog->DataVersion(), uint32_t(StoreVersion));
    EXPECT_EQ(DumpCatalog(CatalogPath()), Reference(StoreVersion));
    EXPECT_EQ(PackageRequests().mid(1), (QStringList{QStringLiteral("/catalog/svxc_000002.zip"),
                                                     QStringLiteral("/catalog/svxc_000003.zip"),
                                                     QStringLiteral("/catalog/svxc_000004.zip")}));
    info = ActionRequests(QStringLiteral("catalogupdate"));
    ASSERT_EQ(info.size(), 2);
    EXPECT_EQ(FieldValue(info[1], QStringLiteral("CatalogVersion")), QStringLiteral("1"));
    EXPECT_TRUE(TempEntries().isEmpty()) << TempEntries().join(QLatin1Char(' ')).toStdString();

    const QString log = LogText();
    for (const char* line : {"RetrieveCatalogUpdateInfo\tRetrieving catalog info",
                             "DownloadFile\tDownloading file from http://127.0.0.1:",
                             "/catalog/svxc_000003.zip", "TCatalogUpdateForm.UnzipFile\tDecompressing file ",
                             "TCatalogUpdateForm.UnzipFile\tExtracting file ",
                             "TCatalogUpdateForm.UnzipFile\tExtracted successfully",
                             "InstallFullUpdate\tInstalling full catalog"})
        EXPECT_TRUE(log.contains(QString::fromUtf8(line))) << line;
    EXPECT_TRUE(Handled().isEmpty()) << Handled().join(QLatin1Char('\n')).toStdString();
}

TEST_F(CatalogUpdaterTest, AFailingThirdPackageLeavesTheFirstTwoInstalled)
{
    const QString atThree = Reference(3);
    struct Case {
        const char* fault;
        const char* message; // the start of the error message
        const char* lastText;
    };
    const Case cases[] = {
        {"missing", "HTTP/1.0 404", "Downloading 3 of 3..."},
        {"empty_zip", "Zip is empty", "Decompressing 3 of 3..."},
        {"not_zip", "Cannot open archive", "Decompressing 3 of 3..."},
        {"bad_xml", "XML parse error", "Installing 3 of 3..."},
        {"old_version", "Invalid file data version", "Installing 3 of 3..."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        StartFromFullPackage();
        Store().Control(QJsonObject{{QStringLiteral("catalog"),
                                     QJsonObject{{QStringLiteral("faults"), QJsonObject{{QStringLiteral("4"), QString::fromUtf8(c.fault)}}}}}});
        const int handledBefore = Handled().size();
        {
            TCatalogUpdater updater(FCatalog.get(), FConnection.get());
            EXPECT_FALSE(Run(updater));
            EXPECT_EQ(updater.State(), cusFailed);
            EXPECT_TRUE(updater.ErrorMessage().startsWith(QString::fromUtf8(c.message)))
                << updater.ErrorMessage().toStdString();
            // The error went to the log under the update's name.
            const QStringList handled = Handled().mid(handledBefore);
            ASSERT_EQ(handled.size(), 1);
            EXPECT_TRUE(handled[0].startsWith(QStringLiteral("TCatalogUpdateForm.StartTimerTimer: ")));
            EXPECT_EQ(FTexts.last(), QString::fromUtf8(c.lastText));
        }
        EXPECT_TRUE(FCatalog->Connected());
        EXPECT_EQ(FCatalog->DataVersion(), 3u);
        EXPECT_EQ(DumpCatalog(CatalogPath()), atThree);
        EXPECT_TRUE(TempEntries().isEmpty()) << TempEntries().join(QLatin1Char(' ')).toStdString();
    }
}

TEST_F(CatalogUpdaterTest, ArchiveEntriesAreExtractedByTheirBaseName)
{
    // Where the unpacked file lies when its install begins.
    QStringList unpacked;
    FProbe = [&](TCatalogUpdater& aUpdater) {
        if (!aUpdater.ProgressText().startsWith(QStringLiteral("Installing")))
            return;
        QDirIterator it(FDir.path(), QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (!path.startsWith(FDir.path() + QStringLiteral("/logs/")) &&
                !path.startsWith(FDir.path() + QStringLiteral("/db/")) && !path.contains(QStringLiteral("/ref")))
                unpacked.append(path.mid(FDir.path().size()));
        }
    };
    // "../x" would land beside the working folder, "sub/dir/svxc.s3db" below it.
    const struct {
        const char* fault;
        const char* name;
    } cases[] = {{"dotdot", "x"}, {"nested", "svxc.s3db"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        unpacked.clear();
        FCatalog.reset();
        QFile::remove(CatalogPath());
        OpenCatalog();
        Store().Control(QJsonObject{{QStringLiteral("catalog"),
                                     QJsonObject{{QStringLiteral("faults"), QJsonObject{{QStringLiteral("1"), QString::fromUtf8(c.fault)}}}}}});
        TCatalogUpdater updater(FCatalog.get(), FConnection.get());
        ASSERT_TRUE(Run(updater)) << updater.ErrorMessage().toStdString();
        EXPECT_EQ(FCatalog->DataVersion(), 1u);
        // Only the unpacked file, directly in the private working folder.
        ASSERT_EQ(unpacked.size(), 1) << unpacked.join(QLatin1Char(' ')).toStdString();
        static const QRegularExpression inWorkFolder(QStringLiteral("^/tmp/sorvelinx-catalog-[^/]+/([^/]+)$"));
        const QRegularExpressionMatch m = inWorkFolder.match(unpacked[0]);
        ASSERT_TRUE(m.hasMatch()) << unpacked[0].toStdString();
        EXPECT_EQ(m.captured(1), QString::fromUtf8(c.name));
    }

    // The same for a partial package.
    unpacked.clear();
    StartFromFullPackage();
    Store().Control(QByteArray(R"({"catalog": {"version": 2, "faults": {"1": null, "2": "dotdot"}}})"));
    {
        TCatalogUpdater updater(FCatalog.get(), FConnection.get());
        ASSERT_TRUE(Run(updater)) << updater.ErrorMessage().toStdString();
    }
    EXPECT_EQ(FCatalog->DataVersion(), 2u);
    EXPECT_EQ(DumpCatalog(CatalogPath()), Reference(2));
    ASSERT_EQ(unpacked.size(), 1);
    EXPECT_TRUE(unpacked[0].startsWith(QStringLiteral("/tmp/sorvelinx-catalog-")) && unpacked[0].endsWith(QStringLiteral("/x")))
        << unpacked[0].toStdString();
    EXPECT_TRUE(TempEntries().isEmpty()) << TempEntries().join(QLatin1Char(' ')).toStdString();
}

TEST_F(CatalogUpdaterTest, EmptyFullPackage)
{
    Store().Control(QByteArray(R"({"catalog": {"faults": {"1": "empty_zip"}}})"));
    TCatalogUpdater updater(FCatalog.get(), FConnection.get());
    EXPECT_FALSE(Run(updater));
    EXPECT_EQ(updater.ErrorMessage(), QStringLiteral("Zip is empty"));
    EXPECT_EQ(FTexts.last(), QStringLiteral("Decompressing..."));
    EXPECT_FALSE(FCatalog->Connected());
    EXPECT_FALSE(QFileInfo::exists(CatalogPath()));
}

TEST_F(CatalogUpdaterTest, UpdateInformationAnswers)
{
    StartFromFullPackage();
    const QString package = Store().Url(QStringLiteral("/catalog/svc_000002.zip"));
    struct Case {
        const char* name;
        QString catalog; // the catalog element
        const char* message;
        const char* caption;
    };
    const QString file = QStringLiteral("<file_update version=\"2\" size=\"10\">%1</file_update>").arg(package);
    const Case cases[] = {
        {"no catalog element", QStringLiteral("<other/>"), "Unexpected format", "SorvelinX catalog update"},
        {"not updated", QStringLiteral("<catalog updated=\"no\"/>"), "Update not found", "SorvelinX catalog update"},
        {"updated in capitals", QStringLiteral("<catalog updated=\"YES\" updatetype=\"partial\">%1</catalog>").arg(file),
         "Update not found", "SorvelinX catalog update"},
        {"no update type", QStringLiteral("<catalog updated=\"yes\">%1</catalog>").arg(file), "Update type not found",
         "SorvelinX catalog update"},
        {"update type in capitals", QStringLiteral("<catalog updated=\"yes\" updatetype=\"Partial\">%1</catalog>").arg(file),
         "Update type not found", "SorvelinX catalog update"},
        {"full without its file", QStringLiteral("<catalog updated=\"yes\" updatetype=\"full\">%1</catalog>").arg(file),
         "Full file node not found", "SorvelinX catalog full update"},
        {"partial without files",
         QStringLiteral("<catalog updated=\"yes\" updatetype=\"partial\"><file_full version=\"1\" size=\"1\">u</file_full><File_update version=\"2\" size=\"1\">u</File_update></catalog>"),
         "Update list empty", "SorvelinX catalog partial update"},
        {"version not a number",
         QStringLiteral("<catalog updated=\"yes\" updatetype=\"partial\"><file_update version=\"x\" size=\"10\">u</file_update></catalog>"),
         "'x' is not a valid integer value", "SorvelinX catalog partial update"},
        {"size missing",
         QStringLiteral("<catalog updated=\"yes\" updatetype=\"full\"><file_full version=\"1\">u</file_full></catalog>"),
         "'' is not a valid integer value", "SorvelinX catalog full update"},
    };
    const QString before = DumpCatalog(CatalogPath());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Store().Control(QJsonObject{{QStringLiteral("catalog"),
                                     QJsonObject{{QStringLiteral("answer"), QStringLiteral("<response>%1</response>").arg(c.catalog)}}}});
        TCatalogUpdater updater(FCatalog.get(), FConnection.get());
        EXPECT_FALSE(Run(updater));
        EXPECT_EQ(updater.ErrorMessage(), QString::fromUtf8(c.message));
        EXPECT_EQ(updater.Caption(), QString::fromUtf8(c.caption));
        EXPECT_EQ(FCatalog->DataVersion(), 1u);
    }
    EXPECT_EQ(DumpCatalog(CatalogPath()), before);
    EXPECT_TRUE(PackageRequests().isEmpty());

    // Other children of a partial answer are skipped; one package shows no count.
    Store().Control(QJsonObject{{QStringLiteral("catalog"), QJsonObject{{QStringLiteral("answer"),
        QStringLiteral("<response><catalog updated=\"yes\" updatetype=\"partial\"><note/>%1<file_full version=\"9\" size=\"1\">u</file_full></catalog></response>").arg(file)}}}});
    TCatalogUpdater updater(FCatalog.get(), FConnection.get());
    ASSERT_TRUE(Run(updater)) << updater.ErrorMessage().toStdString();
    EXPECT_EQ(updater.UpdateList().size(), 1);
    EXPECT_EQ(FTexts.last(), QStringLiteral("Installing..."));
    EXPECT_EQ(FCatalog->DataVersion(), 2u);
}

TEST_F(CatalogUpdaterTest, CancelStopsTheRun)
{
    Store().Control(QByteArray(R"({"delay": {"catalogupdate": 1.0}})"));
    TCatalogUpdater updater(FCatalog.get(), FConnection.get());
    updater.SetTempFolder(TempFolder());
    updater.Start();
    ASSERT_TRUE(WaitFor([&] { return updater.State() == cusRetrieving; }));
    EXPECT_EQ(updater.ProgressText(), QStringLiteral("Retrieving info..."));
    updater.Cancel();
    EXPECT_EQ(updater.State(), cusCanceled);
    EXPECT_TRUE(updater.Done());
    EXPECT_FALSE(updater.Succeeded());
    EXPECT_EQ(HttpManager->RequestCount(), 0);
    WaitFor([] { return false; }, 300);
    EXPECT_EQ(updater.State(), cusCanceled);
    EXPECT_TRUE(PackageRequests().isEmpty());
}
