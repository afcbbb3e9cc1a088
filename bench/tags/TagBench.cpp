// Writing an ID3v2 tag into a large untagged file shifts the whole file in
// place; the reference is copying the same file with cp. Both run on the
// same warm file, alternately, and the medians are compared.
//
// Usage: bench_tags [size in MB, default 100] [rounds, default 5] [folder, default the temporary folder]
#include "common/BenchUtils.h"
#include "tags/TagStream.h"
#include "tags/TagWriter.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <spawn.h>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace {

using namespace bench;

bool RunCp(const QByteArray& aFrom, const QByteArray& aTo)
{
    const char* argv[] = {"cp", aFrom.constData(), aTo.constData(), nullptr};
    pid_t pid;
    if (posix_spawnp(&pid, "cp", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0)
        return false;
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    const int64_t megabytes = argc > 1 ? std::atoll(argv[1]) : 100;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    const QString folder = argc > 3 ? QString::fromLocal8Bit(argv[3]) : QDir::tempPath();
    if (megabytes <= 0 || rounds <= 0) {
        std::fprintf(stderr, "usage: bench_tags [MB] [rounds] [folder]\n");
        return 2;
    }

    QTemporaryDir dir(folder + QStringLiteral("/sx-bench-tags-XXXXXX"));
    if (!dir.isValid()) {
        std::fprintf(stderr, "cannot create a folder in %s\n", qPrintable(folder));
        return 1;
    }
    const QString source = dir.filePath(QStringLiteral("source.mp3"));
    const QString work = dir.filePath(QStringLiteral("work.mp3"));
    const QByteArray sourceName = QFile::encodeName(source);
    const QByteArray workName = QFile::encodeName(work);
    if (!MakeRandomFile(source, megabytes << 20)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(source));
        return 1;
    }

    const TTagData data = TagData(QStringLiteral("Benchmark Artist"), QStringLiteral("Benchmark Album"),
                                  QStringLiteral("Benchmark Title"), 7, 2024, QString());
    std::vector<double> copyTimes, tagTimes;
    // One untimed round first, so both start from a warm cache.
    for (int round = -1; round < rounds; ++round) {
        QFile::remove(work);
        Clock::time_point start = Clock::now();
        if (!RunCp(sourceName, workName)) {
            std::fprintf(stderr, "cp failed\n");
            return 1;
        }
        const double copy = Seconds(start);

        start = Clock::now();
        {
            TFileTagStream stream(work);
            AddTagToFile(stream, ffMp3, ttID3V2, data, false);
        }
        const double tag = Seconds(start);
        if (round >= 0) {
            copyTimes.push_back(copy);
            tagTimes.push_back(tag);
            std::printf("round %d: cp %.3f s, ID3v2 tag %.3f s\n", round + 1, copy, tag);
        }
    }

    const double copy = Median(copyTimes);
    const double tag = Median(tagTimes);
    const double ratio = tag / copy;
    std::printf("file %lld MB, %d rounds (medians)\n", static_cast<long long>(megabytes), rounds);
    std::printf("cp:         %.3f s\n", copy);
    std::printf("ID3v2 tag:  %.3f s\n", tag);
    std::printf("ratio:      %.2fx (target <= 1.50x) %s\n", ratio, ratio <= 1.5 ? "OK" : "OVER");
    return 0;
}
