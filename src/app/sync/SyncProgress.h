// The progress display of sorvelinx-sync: one line per active file and a
// total line, redrawn in place on a terminal, plain periodic lines elsewhere.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <vector>

struct TSyncFileProgress {
    QString Name;
    int Percent = 0;
    std::optional<int64_t> Speed;       // bytes per second while downloading
    std::optional<uint32_t> Estimated;  // seconds left
};

struct TSyncTotals {
    int Files = 0;     // items that take part (queued or finished)
    int Finished = 0;
    int Failed = 0;
    int64_t Speed = 0; // sum of the active files
};

// The lines of one frame: active files, then the total line.
QStringList RenderProgress(const std::vector<TSyncFileProgress>& aActive, const TSyncTotals& aTotals,
                           int aWidth);

// Writes frames to stdout: in place on a terminal (at most ten a second),
// a plain line every few seconds otherwise.
class TProgressPrinter {
public:
    explicit TProgressPrinter(bool aTerminal);
    // Draws when due; aForce draws now (the last frame).
    void Show(const QStringList& aLines, bool aForce = false);
    // Prints a line above the frame (a message), keeping the frame below it.
    void Message(const QString& aLine);
    // Leaves the last frame on screen.
    void Finish();

private:
    void Erase();

    bool FTerminal;
    int FDrawnLines = 0;
    uint64_t FLastDraw = 0;
    QStringList FLastLines;
};

bool StdoutIsTerminal();
int TerminalWidth();
