// Small text helpers shared by the subsystems.
#pragma once

#include <QString>
#include <string_view>

// Blanks and control characters at both ends go, as the run-time's Trim does.
inline QString TrimBlanks(const QString& aText)
{
    qsizetype begin = 0;
    qsizetype end = aText.size();
    while (begin < end && aText[begin].unicode() <= u' ')
        ++begin;
    while (end > begin && aText[end - 1].unicode() <= u' ')
        --end;
    return aText.mid(begin, end - begin);
}

// The same for 8-bit text.
inline std::string_view TrimBlanks(std::string_view aText)
{
    const auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    while (!aText.empty() && blank(aText.front()))
        aText.remove_prefix(1);
    while (!aText.empty() && blank(aText.back()))
        aText.remove_suffix(1);
    return aText;
}
