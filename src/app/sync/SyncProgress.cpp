#include "app/sync/SyncProgress.h"

#include "downloads/SpeedFormat.h"

#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

QString Fit(const QString& aText, int aWidth)
{
    if (aWidth <= 0 || aText.size() <= aWidth)
        return aText;
    if (aWidth <= 3)
        return aText.left(aWidth);
    return aText.left(aWidth - 3) + QStringLiteral("...");
}

QString SpeedText(int64_t aSpeed)
{
    return FileSizeToStr(uint32_t(std::min<int64_t>(aSpeed, 0xFFFFFFFF))) + QStringLiteral("/s");
}

void WriteOut(const QString& aText)
{
    const QByteArray bytes = aText.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
}

} // namespace

QStringList RenderProgress(const std::vector<TSyncFileProgress>& aActive, const TSyncTotals& aTotals, int aWidth)
{
    QStringList lines;
    for (const TSyncFileProgress& file : aActive) {
        QString tail = QStringLiteral("%1%").arg(file.Percent, 3);
        tail += QStringLiteral("  ") + (file.Speed ? SpeedText(*file.Speed) : QStringLiteral("-")).rightJustified(11);
        tail += QStringLiteral("  ") + (file.Estimated ? SecondsToStr(*file.Estimated) : QStringLiteral("-")).rightJustified(8);
        const int nameWidth = aWidth > 0 ? std::max(10, aWidth - int(tail.size()) - 2) : 0;
        const QString name = Fit(file.Name, nameWidth);
        lines << (nameWidth > 0 ? name.leftJustified(nameWidth) : name) + QStringLiteral("  ") + tail;
    }
    QString total = QStringLiteral("Total: %1 of %2 files finished").arg(aTotals.Finished).arg(aTotals.Files);
    if (aTotals.Failed > 0)
        total += QStringLiteral(", %1 failed").arg(aTotals.Failed);
    if (!aActive.empty())
        total += QStringLiteral(", %1 downloading at %2").arg(aActive.size()).arg(SpeedText(aTotals.Speed));
    lines << Fit(total, aWidth);
    return lines;
}

TProgressPrinter::TProgressPrinter(bool aTerminal) : FTerminal(aTerminal) {}

void TProgressPrinter::Erase()
{
    if (FDrawnLines == 0)
        return;
    // Up to the first line of the frame, then clear everything below.
    WriteOut(QStringLiteral("\x1b[%1A\r\x1b[J").arg(FDrawnLines));
    FDrawnLines = 0;
}

void TProgressPrinter::Show(const QStringList& aLines, bool aForce)
{
    const uint64_t now = GetTickCount64();
    const uint64_t interval = FTerminal ? 100 : 5000;
    if (!aForce && FLastDraw != 0 && now - FLastDraw < interval)
        return;
    if (!FTerminal && !aForce && aLines == FLastLines)
        return;
    FLastDraw = now;
    FLastLines = aLines;
    if (FTerminal)
        Erase();
    for (const QString& line : aLines)
        WriteOut(line + QLatin1Char('\n'));
    if (FTerminal)
        FDrawnLines = int(aLines.size());
    std::fflush(stdout);
}

void TProgressPrinter::Message(const QString& aLine)
{
    if (FTerminal)
        Erase();
    WriteOut(aLine + QLatin1Char('\n'));
    if (FTerminal && !FLastLines.isEmpty()) {
        for (const QString& line : FLastLines)
            WriteOut(line + QLatin1Char('\n'));
        FDrawnLines = int(FLastLines.size());
    }
    std::fflush(stdout);
}

void TProgressPrinter::Finish()
{
    FDrawnLines = 0;
    std::fflush(stdout);
}

bool StdoutIsTerminal()
{
    return ::isatty(STDOUT_FILENO) == 1;
}

int TerminalWidth()
{
    struct winsize ws {};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
    return 100;
}
