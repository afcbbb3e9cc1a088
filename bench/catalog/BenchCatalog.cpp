// Installing a 100,000-record partial package and loading a 100,000-group
// section, each against the sqlite3 shell doing the same work on a copy of
// the same catalog file. Prints the best of several runs and the ratios.
#include "catalog/CatalogData.h"
#include "log/LogManager.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStringList>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <vector>

namespace {

const QString Cache = QStringLiteral(SX_BENCH_CACHE);
const QString Generator = QStringLiteral(SX_SOURCE_DIR "/tools/catalog-gen/make_catalog.py");
const int PackageRecords = 100000;

[[noreturn]] void Fail(const QString& aWhat)
{
    std::fprintf(stderr, "bench_catalog: %s\n", qPrintable(aWhat));
    std::exit(1);
}

// Runs a program; aInput is fed to its standard input, its output is dropped.
double RunTimed(const QString& aProgram, const QStringList& aArgs, const QString& aInputFile = QString())
{
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    if (!aInputFile.isEmpty())
        process.setStandardInputFile(aInputFile);
    QElapsedTimer timer;
    timer.start();
    process.start(aProgram, aArgs);
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        Fail(aProgram + QLatin1Char(' ') + aArgs.join(QLatin1Char(' ')) + QStringLiteral(": ") +
             QString::fromLocal8Bit(process.readAllStandardError()));
    return double(timer.nsecsElapsed()) / 1e6;
}

void CopyFresh(const QString& aFrom, const QString& aTo)
{
    QDir().mkpath(QFileInfo(aTo).path());
    QFile::remove(aTo);
    if (!QFile::copy(aFrom, aTo))
        Fail(QStringLiteral("cannot copy %1 to %2").arg(aFrom, aTo));
    // Written back now, not while a timed run goes.
    ::sync();
}

// A fingerprint of a catalog's contents, to see that both sides did the same.
QString Fingerprint(const QString& aPath)
{
    SQLite::Database db(aPath.toStdString(), SQLite::OPEN_READONLY);
    SQLite::Statement q(db,
        "select (select Data from Version), "
        "(select count(*) || '/' || total(GroupID * 3 + Volume) || '/' || total(length(Name)) from Groups), "
        "(select count(*) || '/' || total(AlbumID + Type * 7 + AlbumType * 11) || '/' || total(length(Name) + length(RDate)) from Albums), "
        "(select count(*) || '/' || total(SongID + TrackNum + Duration + Bitrate) || '/' || total(length(Name)) from Songs)");
    q.executeStep();
    QStringList parts;
    for (int i = 0; i < 4; ++i)
        parts << QString::fromUtf8(q.getColumn(i).getText());
    return parts.join(QLatin1Char(' '));
}

double Best(const std::vector<double>& aTimes)
{
    return *std::min_element(aTimes.begin(), aTimes.end());
}

void PrintRow(const char* aName, double aOurs, double aShell, double aTarget)
{
    const double ratio = aOurs / aShell;
    std::printf("%-38s %10.1f ms %12.1f ms %8.2f   <= %.2f  %s\n", aName, aOurs, aShell, ratio, aTarget,
                ratio <= aTarget ? "ok" : "OVER");
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    QDir().mkpath(Cache);
    LogMngr::StartModule();
    LogMngr::Initialize(Cache + QStringLiteral("/logs"));

    const QString python = QStringLiteral(SX_PYTHON);
    const QString shell = QStringLiteral(SX_SQLITE3_SHELL);
    const QString large = Cache + QStringLiteral("/large.s3db");
    const QString package = Cache + QStringLiteral("/partial-%1.xml").arg(PackageRecords);
    const QString packageSql = Cache + QStringLiteral("/partial-%1.sql").arg(PackageRecords);

    // The large catalog and its package are made once and kept.
    if (!QFile::exists(large)) {
        std::printf("generating the large catalog (once) ...\n");
        std::fflush(stdout);
        RunTimed(python, {Generator, QStringLiteral("catalog"), large + QStringLiteral(".tmp"), QStringLiteral("--size"),
                          QStringLiteral("large"), QStringLiteral("--seed"), QStringLiteral("1")});
        QFile::remove(package);
        if (!QFile::rename(large + QStringLiteral(".tmp"), large))
            Fail(QStringLiteral("cannot rename the large catalog"));
    }
    if (!QFile::exists(package) || !QFile::exists(packageSql)) {
        std::printf("generating the %d-record package (once) ...\n", PackageRecords);
        std::fflush(stdout);
        RunTimed(python, {Generator, QStringLiteral("partial"), large, package, QStringLiteral("--records"),
                          QString::number(PackageRecords), QStringLiteral("--seed"), QStringLiteral("1"),
                          QStringLiteral("--sql"), packageSql});
    }

    const QString oursFolder = Cache + QStringLiteral("/work/ours");
    const QString ours = oursFolder + QStringLiteral("/svxc.s3db");
    const QString theirs = Cache + QStringLiteral("/work/shell.s3db");

    // Partial install: our XML package against the shell running the same
    // statements from an SQL file in one transaction.
    std::vector<double> installOurs, installShell;
    for (int run = 0; run < runs; ++run) {
        CopyFresh(large, ours);
        {
            TCatalogData data(oursFolder);
            if (!data.Connected())
                Fail(QStringLiteral("the large catalog does not open"));
            QElapsedTimer timer;
            timer.start();
            data.InstallPartialUpdate(package);
            installOurs.push_back(double(timer.nsecsElapsed()) / 1e6);
        }
        CopyFresh(large, theirs);
        installShell.push_back(RunTimed(shell, {theirs}, packageSql));
        if (run == 0 && Fingerprint(ours) != Fingerprint(theirs))
            Fail(QStringLiteral("the two installs differ:\n  %1\n  %2").arg(Fingerprint(ours), Fingerprint(theirs)));
    }

    // Loading the 100,000 groups of section 1: LoadGroups against the shell
    // running the same query with the same parameter.
    const QString groupsSql = Cache + QStringLiteral("/groups.sql");
    {
        QFile f(groupsSql);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            Fail(QStringLiteral("cannot write ") + groupsSql);
        f.write(".parameter set :VolumeID 1\n"
                "select GroupID, Name \nfrom Groups \nwhere Volume = :VolumeID \n"
                "order by printf('%-300s',Name) collate nocase;\n");
    }
    // Both read the same file, in turns, so that neither gets a quieter machine.
    CopyFresh(large, ours);
    std::vector<double> loadOurs, loadShell;
    size_t groupCount = 0;
    {
        TCatalogData data(oursFolder);
        std::vector<TGroup> groups;
        for (int run = 0; run < runs; ++run) {
            QElapsedTimer timer;
            timer.start();
            data.LoadGroups(1, groups);
            loadOurs.push_back(double(timer.nsecsElapsed()) / 1e6);
            groupCount = groups.size();
            loadShell.push_back(RunTimed(shell, {ours}, groupsSql));
        }
    }
    std::vector<double> startShell;
    for (int run = 0; run < runs; ++run)
        startShell.push_back(RunTimed(shell, {large, QStringLiteral("select 1")}));

    {
        SQLite::Database db(large.toStdString(), SQLite::OPEN_READONLY);
        std::printf("\nlarge catalog: %d groups, %d albums, %d songs; package: %d records\n",
                    db.execAndGet("select count(*) from Groups").getInt(),
                    db.execAndGet("select count(*) from Albums").getInt(),
                    db.execAndGet("select count(*) from Songs").getInt(), PackageRecords);
    }
    std::printf("best of %d runs; the shell's times include its start (about %.1f ms)\n\n", runs, Best(startShell));
    std::printf("%-38s %13s %15s %8s   %s\n", "", "ours", "sqlite3 shell", "ratio", "target");
    char name[64];
    std::snprintf(name, sizeof name, "InstallPartialUpdate, %d records", PackageRecords);
    PrintRow(name, Best(installOurs), Best(installShell), 1.5);
    std::snprintf(name, sizeof name, "LoadGroups, %zu groups", groupCount);
    PrintRow(name, Best(loadOurs), Best(loadShell), 1.2);

    QDir(Cache + QStringLiteral("/work")).removeRecursively();
    LogMngr::StopModule();
    return 0;
}
