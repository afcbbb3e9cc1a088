// The download engine against curl on the demo store's file server, and
// finalization against cp.
//
// 1. Throughput: the engine (30 workers, a process of its own) downloads N
//    files of M MiB; the reference is `curl --parallel --parallel-max 30`
//    fetching the same block URLs from the same server into /dev/null. The
//    engine runs with and without the durability syncing. Rounds alternate;
//    medians are compared. The engine's peak resident memory is its
//    process's maximum RSS.
// 2. Finalization: decoding a 100 MiB working file with its key and writing
//    an ID3v2 tag (through a temporary file, renamed into place) against cp
//    of the same file; with and without syncing, against cp and cp + sync.
//
// Usage: bench_downloads [files, default 20] [MiB per file, default 20] [rounds, default 3]
//                        [finalize MiB, default 100]
// (The engine's own runs: bench_downloads --engine-run PORT FOLDER SYNC FILES BYTES.)
#include "common/BenchUtils.h"
#include "downloads/DownloadManager.h"
#include "downloads/Files.h"
#include "downloads/UserData.h"
#include "log/LogManager.h"
#include "net/HttpClient.h"
#include "settings/Settings.h"
#include "tags/TagWriter.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <pugixml.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

const char* const BenchSession = "BENCH-SESSION";

using namespace bench;

struct TChild {
    int Status = -1;
    long MaxRssKiB = 0;
    double Seconds = 0;
    double CpuSeconds = 0; // user and system time
};

// Runs a program to its end with its standard output in aOutput (or
// /dev/null); its resource use comes back from wait4.
TChild Spawn(const std::vector<QByteArray>& aArgs, const QByteArray& aOutput = "/dev/null")
{
    std::vector<char*> argv;
    for (const QByteArray& a : aArgs)
        argv.push_back(const_cast<char*>(a.constData()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, aOutput.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    TChild child;
    const auto start = Clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return child;
    }
    posix_spawn_file_actions_destroy(&actions);
    rusage usage{};
    int status = 0;
    if (wait4(pid, &status, 0, &usage) == pid) {
        child.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        child.MaxRssKiB = usage.ru_maxrss;
        child.CpuSeconds = double(usage.ru_utime.tv_sec) + double(usage.ru_utime.tv_usec) / 1e6 +
                           double(usage.ru_stime.tv_sec) + double(usage.ru_stime.tv_usec) / 1e6;
    }
    child.Seconds = Seconds(start);
    return child;
}

QByteArray Fetch(const QString& aUrl, const QByteArray& aPost = {})
{
    THttpClient http;
    if (aPost.isNull())
        return http.Get(aUrl);
    QByteArray body;
    // The control interface takes JSON; a form post of one field would not do.
    QProcess curl;
    curl.start(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-X"), QStringLiteral("POST"),
                                        QStringLiteral("--data-binary"), QStringLiteral("@-"), aUrl});
    curl.write(aPost);
    curl.closeWriteChannel();
    curl.waitForFinished(60000);
    return curl.readAllStandardOutput();
}

// The session as the engine needs it: keys from the file server.
class TBenchSession : public TDownloadSession {
public:
    explicit TBenchSession(const QString& aBase) : FBase(aBase) {}
    QString SessionID() const override { return QLatin1String(BenchSession); }
    QString FinalizeFile(int32_t aID, bool) override
    {
        THttpClient http;
        return QString::fromLatin1(http.Get(FBase + QStringLiteral("/fileserver/key/%1").arg(aID)));
    }
    void RefreshBalance() override {}

private:
    QString FBase;
};

// One engine run in this process: prints "RESULT <download s> <total s>".
int EngineRun(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int port = std::atoi(argv[2]);
    const QString folder = QString::fromLocal8Bit(argv[3]);
    const bool sync = std::atoi(argv[4]) != 0;
    const int files = std::atoi(argv[5]);
    const long long bytes = std::atoll(argv[6]);

    LogMngr::StartModule();
    SettingsModule::Start();
    Settings().DownloadFolder = folder + QLatin1Char('/');
    Settings().DownloadFileNameMask = QStringLiteral("%G/%A/%T - %S");
    Settings().AutoDownloading = true;
    int result = 1;
    {
        const QString base = QStringLiteral("http://127.0.0.1:%1").arg(port);
        TBenchSession session(base);
        TUserData userData;
        userData.Init(QStringLiteral("bench"));
        TFiles list(userData);
        QString children;
        for (int id = 1; id <= files; ++id)
            children += QStringLiteral("<updated uniqid=\"%1\" filetype=\"1\" groupname=\"Group\" albumname=\"Album\" "
                                       "songname=\"Song %1\" tracknum=\"%1\" albumyear=\"2001\" format=\"MP3, 192 kbps\" "
                                       "fileext=\"mp3\" filesize=\"%2\" filecost=\"0.15\" duration=\"200\" "
                                       "ipport=\"127.0.0.1:%3\"/>")
                            .arg(id)
                            .arg(bytes)
                            .arg(port);
        const QByteArray answer = QStringLiteral("<?xml version=\"1.0\"?><answer><mydownloads updated=\"yes\" "
                                                 "lastupdatedate=\"45000\" updatetype=\"full\">%1</mydownloads></answer>")
                                      .arg(children)
                                      .toUtf8();
        pugi::xml_document doc;
        doc.load_buffer(answer.constData(), size_t(answer.size()));
        double date = 0;
        list.UpdateFiles(doc, date);
        list.FlushPendingSaves();

        TDownloadOptions options;
        options.SyncData = sync;
        TDownloadManager manager(list, session, options);
        const auto start = Clock::now();
        double downloaded = -1;
        manager.StartDownloads();
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            bool blocks = true;
            bool finished = true;
            for (int i = 0; i < list.Count(); ++i) {
                blocks = blocks && list.Items(i)->BlockMap().Finished();
                finished = finished && list.Items(i)->Finished();
            }
            if (blocks && downloaded < 0)
                downloaded = Seconds(start);
            if (finished) {
                result = 0;
                app.quit();
            } else if (Seconds(start) > 600) {
                app.quit();
            }
        });
        poll.start(5);
        app.exec();
        manager.StopDownloads();
        list.FlushPendingSaves();
        // Peak resident memory of this process since its start (not of the
        // process it was spawned from).
        long hwm = 0;
        QFile status(QStringLiteral("/proc/self/status"));
        if (status.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : status.readAll().split('\n'))
                if (line.startsWith("VmHWM:"))
                    hwm = line.mid(6).trimmed().split(' ').value(0).toLong();
        }
        std::printf("RESULT %.3f %.3f %ld\n", downloaded, Seconds(start), hwm);
    }
    SettingsModule::Stop();
    LogMngr::StopModule();
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 7 && std::strcmp(argv[1], "--engine-run") == 0)
        return EngineRun(argc, argv);

    QCoreApplication app(argc, argv);
    const int files = argc > 1 ? std::atoi(argv[1]) : 20;
    const int mib = argc > 2 ? std::atoi(argv[2]) : 20;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
    const int finalizeMib = argc > 4 ? std::atoi(argv[4]) : 100;
    if (files <= 0 || mib <= 0 || rounds <= 0 || finalizeMib <= 0) {
        std::fprintf(stderr, "usage: bench_downloads [files] [MiB per file] [rounds] [finalize MiB]\n");
        return 2;
    }
    const int64_t bytes = int64_t(mib) << 20;
    const double totalMb = double(files) * double(bytes) / 1e6;
    QTemporaryDir temp(QDir::tempPath() + QStringLiteral("/sx-bench-downloads-XXXXXX"));
    if (!temp.isValid())
        return 2;
    // The engine's runs keep their user database in here, not in the user's folders.
    ::setenv("XDG_DATA_HOME", QFile::encodeName(temp.path() + QStringLiteral("/data")).constData(), 1);
    ::setenv("XDG_CONFIG_HOME", QFile::encodeName(temp.path() + QStringLiteral("/config")).constData(), 1);

    // The demo store, stopped when its standard input closes.
    QProcess store;
    store.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    store.start(QStringLiteral(SX_PYTHON), {QStringLiteral(SX_SOURCE_DIR "/tools/demo-store/demo_store.py"),
                                             QStringLiteral("--port"), QStringLiteral("0"),
                                             QStringLiteral("--exit-on-stdin-eof")});
    int port = 0;
    while (port == 0 && store.waitForReadyRead(20000)) {
        while (store.canReadLine()) {
            const QByteArray line = store.readLine().trimmed();
            if (line.startsWith("PORT "))
                port = line.mid(5).toInt();
        }
    }
    if (port == 0) {
        std::fprintf(stderr, "the demo store did not start\n");
        return 1;
    }
    const QString base = QStringLiteral("http://127.0.0.1:%1").arg(port);
    QString filesJson;
    for (int id = 1; id <= files; ++id)
        filesJson += QStringLiteral("%1\"%2\": {\"size\": %3, \"seed\": %2}").arg(id > 1 ? ", " : "").arg(id).arg(bytes);
    Fetch(base + QStringLiteral("/_control/config"),
          QStringLiteral("{\"fileserver\": {\"sessions\": [\"%1\"], \"files\": {%2}}}").arg(BenchSession, filesJson).toUtf8());

    // Every block URL, as the engine asks for them; curl gets the same list,
    // once writing into /dev/null and once writing every answer to a file.
    const QString curlConfig = temp.path() + QStringLiteral("/curl.cfg");
    const QString curlFilesConfig = temp.path() + QStringLiteral("/curl-files.cfg");
    const QString curlFolder = temp.path() + QStringLiteral("/curl");
    {
        QFile cfg(curlConfig);
        cfg.open(QIODevice::WriteOnly);
        QFile filesCfg(curlFilesConfig);
        filesCfg.open(QIODevice::WriteOnly);
        const int64_t blocks = (bytes + FILE_BLOCK_SIZE - 1) / FILE_BLOCK_SIZE;
        for (int id = 1; id <= files; ++id) {
            for (int64_t b = 0; b < blocks; ++b) {
                const int64_t s = b * FILE_BLOCK_SIZE;
                const int64_t e = std::min<int64_t>(s + FILE_BLOCK_SIZE, bytes) - 1;
                const QString url = BuildBlockUrl(QStringLiteral("127.0.0.1:%1").arg(port), id, s, e,
                                                  QLatin1String(BenchSession), int(b));
                cfg.write(QStringLiteral("url = \"http://%1\"\noutput = \"/dev/null\"\n").arg(url).toUtf8());
                filesCfg.write(QStringLiteral("url = \"http://%1\"\noutput = \"%2/%3-%4\"\n")
                                   .arg(url, curlFolder)
                                   .arg(id)
                                   .arg(b)
                                   .toUtf8());
            }
        }
    }
    const std::vector<QByteArray> curlArgs = {"curl", "--parallel", "--parallel-max", "30", "--globoff", "-s",
                                              "-K", QFile::encodeName(curlConfig)};
    const std::vector<QByteArray> curlFilesArgs = {"curl", "--parallel", "--parallel-max", "30", "--globoff", "-s",
                                                   "-K", QFile::encodeName(curlFilesConfig)};
    std::printf("Demo store file server on port %d: %d files of %d MiB (%.0f MB), %d rounds\n", port, files, mib,
                totalMb, rounds);
    std::fflush(stdout);
    // Builds the server's stored files and warms every cache once.
    Spawn(curlArgs);

    const QByteArray self = QFile::encodeName(QCoreApplication::applicationFilePath());
    const QString folder = temp.path() + QStringLiteral("/music");
    const QByteArray output = QFile::encodeName(temp.path() + QStringLiteral("/engine.out"));
    std::vector<double> curlTimes, curlFilesTimes, syncDownload, syncTotal, plainDownload, plainTotal;
    double curlCpu = 0, syncCpu = 0, plainCpu = 0; // of the last round
    long maxRss = 0;
    bool verified = false;
    for (int round = 0; round < rounds; ++round) {
        const TChild c = Spawn(curlArgs);
        if (c.Status != 0)
            std::fprintf(stderr, "curl failed (%d)\n", c.Status);
        curlTimes.push_back(c.Seconds);
        curlCpu = c.CpuSeconds;
        QDir().mkpath(curlFolder);
        curlFilesTimes.push_back(Spawn(curlFilesArgs).Seconds);
        QDir(curlFolder).removeRecursively();
        // The two engine runs take turns going first.
        for (const bool sync : {round % 2 == 0, round % 2 != 0}) {
            QDir(folder).removeRecursively();
            QDir(temp.path() + QStringLiteral("/data")).removeRecursively();
            const TChild e = Spawn({self, "--engine-run", QByteArray::number(port), QFile::encodeName(folder),
                                    sync ? "1" : "0", QByteArray::number(files), QByteArray::number(qint64(bytes))},
                                   output);
            QFile out(QString::fromLocal8Bit(output));
            out.open(QIODevice::ReadOnly);
            const QList<QByteArray> parts = out.readAll().trimmed().split(' ');
            if (e.Status != 0 || parts.size() != 4) {
                std::fprintf(stderr, "engine run failed (%d)\n", e.Status);
                return 1;
            }
            (sync ? syncDownload : plainDownload).push_back(parts[1].toDouble());
            (sync ? syncTotal : plainTotal).push_back(parts[2].toDouble());
            maxRss = std::max(maxRss, parts[3].toLong());
            (sync ? syncCpu : plainCpu) = e.CpuSeconds;
            if (!verified) {
                // The tag aside, every file is its plain content.
                for (int id = 1; id <= files; ++id) {
                    const QString path = folder + QStringLiteral("/Group/Album/%1 - Song %2.mp3")
                                                      .arg(id, 2, 10, QLatin1Char('0'))
                                                      .arg(id);
                    QFile f(path);
                    f.open(QIODevice::ReadOnly);
                    const QByteArray head = f.read(10);
                    const int64_t tag = 10 + ((int64_t(head[6]) << 21) | (int64_t(head[7]) << 14) |
                                              (int64_t(head[8]) << 7) | int64_t(head[9]));
                    f.seek(tag);
                    QCryptographicHash got(QCryptographicHash::Md5);
                    got.addData(&f);
                    const QByteArray want = QCryptographicHash::hash(
                        Fetch(base + QStringLiteral("/fileserver/plain/%1").arg(id)), QCryptographicHash::Md5);
                    if (got.result() != want) {
                        std::fprintf(stderr, "file %d differs from its plain content\n", id);
                        return 1;
                    }
                }
                verified = true;
            }
        }
        std::printf("round %d: curl %.2f s (cpu %.2f s), into files %.2f s; engine with syncing %.2f s, %.2f s with finalization "
                    "(cpu %.2f s); without %.2f s, %.2f s (cpu %.2f s)\n",
                    round + 1, curlTimes.back(), curlCpu, curlFilesTimes.back(), syncDownload.back(), syncTotal.back(), syncCpu,
                    plainDownload.back(), plainTotal.back(), plainCpu);
        std::fflush(stdout);
    }
    const double curlRate = totalMb / Median(curlTimes);
    const double curlFilesRate = totalMb / Median(curlFilesTimes);
    const double syncRate = totalMb / Median(syncDownload);
    const double plainRate = totalMb / Median(plainDownload);
    // Ratios within each round (the runs of a round follow each other, so
    // they share the machine's load), then their median.
    const auto ratio = [&](const std::vector<double>& aTimes, const std::vector<double>& aReference) {
        std::vector<double> ratios;
        for (size_t i = 0; i < aTimes.size(); ++i)
            ratios.push_back(aReference[i] / aTimes[i]);
        return Median(ratios);
    };
    std::printf("\nThroughput (blocks of %d files until all are on disk; rates: medians; ratios: medians of the "
                "rounds' ratios):\n",
                files);
    std::printf("  curl --parallel --parallel-max 30   %8.1f MB/s\n", curlRate);
    std::printf("  curl, every answer into a file      %8.1f MB/s\n", curlFilesRate);
    std::printf("  engine, durability syncing          %8.1f MB/s   ratio to curl %.2f (target >= 0.80), to curl into "
                "files %.2f\n",
                syncRate, ratio(syncDownload, curlTimes), ratio(syncDownload, curlFilesTimes));
    std::printf("  engine, no syncing                  %8.1f MB/s   ratio to curl %.2f, to curl into files %.2f\n",
                plainRate, ratio(plainDownload, curlTimes), ratio(plainDownload, curlFilesTimes));
    std::printf("  syncing costs %.1f%% of the throughput (target <= 5%%)\n",
                100.0 * (1.0 - ratio(syncDownload, plainDownload)));
    std::printf("  with finalization (XOR, ID3v2, sync, rename) of every file: %.1f MB/s with syncing, %.1f MB/s without\n",
                totalMb / Median(syncTotal), totalMb / Median(plainTotal));
    std::printf("Peak resident memory of the engine's process: %.1f MiB (target < 64 MiB)\n\n", maxRss / 1024.0);
    std::fflush(stdout);
    store.closeWriteChannel();
    store.waitForFinished(5000);

    // Finalization of one large file against cp.
    const int64_t finalizeBytes = int64_t(finalizeMib) << 20;
    const QString source = temp.path() + QStringLiteral("/big.mp3.downloading");
    const QString target = temp.path() + QStringLiteral("/big.mp3");
    const QString copy = temp.path() + QStringLiteral("/copy.mp3");
    if (!MakeRandomFile(source, finalizeBytes))
        return 1;
    const QByteArray pattern = FileKeyPattern(QStringLiteral("0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef"));
    const auto tagger = [](TTagStream& aStream) {
        AddTagToFile(aStream, ffMp3, ttID3V2, TagData(QStringLiteral("Group"), QStringLiteral("Album"),
                                                      QStringLiteral("Song"), 7, 2001, QString()),
                     false);
    };
    const auto finalize = [&](bool aSync) {
        const auto start = Clock::now();
        WriteDecodedFile(source, target + QLatin1String(FinalizingExtension), pattern, tagger, aSync);
        ReplaceFile(target + QLatin1String(FinalizingExtension), target, aSync);
        return Seconds(start);
    };
    std::vector<double> finSync, finPlain, cpPlain, cpSync, decodeOnly;
    finalize(false); // warm the source in the page cache
    for (int round = 0; round < std::max(rounds, 3); ++round) {
        QFile::remove(copy);
        cpPlain.push_back(Spawn({"cp", QFile::encodeName(source), QFile::encodeName(copy)}).Seconds);
        QFile::remove(copy);
        {
            const auto start = Clock::now();
            Spawn({"cp", QFile::encodeName(source), QFile::encodeName(copy)});
            Spawn({"sync", "-d", QFile::encodeName(copy)});
            cpSync.push_back(Seconds(start));
        }
        QFile::remove(target);
        finPlain.push_back(finalize(false));
        QFile::remove(target);
        finSync.push_back(finalize(true));
        QFile::remove(target);
        {
            const auto start = Clock::now();
            WriteDecodedFile(source, target, pattern, {}, false);
            decodeOnly.push_back(Seconds(start));
        }
    }
    std::printf("Finalizing a %d MiB file (XOR with the key, ID3v2 tag, temporary file renamed), median of %zu:\n",
                finalizeMib, finSync.size());
    std::printf("  cp                 %6.3f s\n", Median(cpPlain));
    std::printf("  finalize, no sync  %6.3f s   ratio to cp %.2f (target <= 2)\n", Median(finPlain),
                Median(finPlain) / Median(cpPlain));
    std::printf("    of which decoding %6.3f s and the tag's in-place shift (8192-byte buffer) %6.3f s\n",
                Median(decodeOnly), Median(finPlain) - Median(decodeOnly));
    std::printf("  cp + sync          %6.3f s\n", Median(cpSync));
    std::printf("  finalize with sync %6.3f s   ratio to cp + sync %.2f\n", Median(finSync),
                Median(finSync) / Median(cpSync));
    return 0;
}
