// Names of downloaded files: a user-defined mask filled with a file's catalog
// data, values cleaned so they cannot break the path, and folder creation.
// Pure functions apart from EnsureDirectoryExists; safe on any thread.
#pragma once

#include <QString>
#include <cstdint>

// A placeholder of the naming mask: "%" and SourceChar (any letter case) is
// replaced by the value of argument TargetNum.
struct TAudioNameParam {
    char16_t SourceChar;
    int TargetNum;
};

// %G group, %A album, %T track ("%.2d"), %S song, %Y year, %L the group's
// first character; G, A and S are cleaned with ReplaceInvalidFileChars.
inline constexpr TAudioNameParam AudioNameParams[6] = {
    {u'G', 0}, {u'A', 1}, {u'T', 2}, {u'S', 3}, {u'Y', 4}, {u'L', 5},
};

// The relative file name for the mask, with aFileExt (which carries its
// leading ".") appended. Raises "File extension missed!" for an empty
// extension, and an EConvertError for a "%" sequence other than "%%" and the
// placeholders. A leading "/" of the mask is dropped, so the name stays
// relative; blanks of the mask itself are never replaced.
QString FormatFileNameByMask(const QString& aFileMask, const QString& aGroupName, const QString& aAlbumName,
                             const QString& aSongName, const QString& aFileExt, int64_t aTrackNo,
                             int64_t aAlbumYear, bool aReplaceSpaces);

// The double quote, "*", ".", "/", ":", "<", ">", "?", "\" and "|" become "-";
// with ReplaceSpaces each blank becomes "_". Everything else stays.
QString ReplaceInvalidFileChars(const QString& aFileName, bool ReplaceSpaces);

// Creates the folder with its missing parents unless it exists; raises
// "Error creating "<dir>"  directory!" when that fails.
void EnsureDirectoryExists(const QString& aDir);
