#include "downloads/FileNaming.h"
#include "log/Exception.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const QString DefaultMask = QStringLiteral("%G/%A (%Y)/%T - %S");

struct NameCase {
    const char* name;
    QString mask;
    QString group;
    QString album;
    QString song;
    QString ext;
    int64_t track;
    int64_t year;
    bool replaceSpaces;
    QString expected;
};

} // namespace

TEST(FileNaming, MasksAndValues)
{
    const QString who = QStringLiteral("Who?");
    const NameCase cases[] = {
        {"default mask", DefaultMask, "Mr. Smith", "Blue/Green", who, ".mp3", 7, 2001, false,
         "Mr- Smith/Blue-Green (2001)/07 - Who-.mp3"},
        // Only the values' blanks become "_"; the mask's own blanks stay.
        {"space replacement", DefaultMask, "Mr. Smith", "Blue/Green", who, ".mp3", 7, 2001, true,
         "Mr-_Smith/Blue-Green (2001)/07 - Who-.mp3"},
        {"lower-case placeholders", "%g/%a (%y)/%t - %s", "G", "A", "S", ".ogg", 12, 1999, false,
         "G/A (1999)/12 - S.ogg"},
        {"track 0", "%T %S", "G", "A", "S", ".mp3", 0, 0, false, "00 S.mp3"},
        {"track 123", "%T %S", "G", "A", "S", ".mp3", 123, 0, false, "123 S.mp3"},
        {"year 0", "%S (%Y)", "G", "A", "S", ".mp3", 1, 0, false, "S (0).mp3"},
        {"leading separator dropped", "/%G/%S", "G", "A", "S", ".mp3", 1, 0, false, "G/S.mp3"},
        {"surrounding blanks trimmed", "  %G/%S \t", "G", "A", "S", ".mp3", 1, 0, false, "G/S.mp3"},
        {"percent sign", "%S 100%%", "G", "A", "S", ".mp3", 1, 0, false, "S 100%.mp3"},
        {"dot of a version number", "%S", "G", "A", "Song v1.2", ".mp3", 1, 0, false, "Song v1-2.mp3"},
        {"first letter", "%L/%G/%S", "Zed", "A", "S", ".mp3", 1, 0, false, "Z/Zed/S.mp3"},
        {"first letter is not cleaned", "%L/%S", "*Star", "A", "S", ".mp3", 1, 0, false, "*/S.mp3"},
        {"first letter that is a separator", "%L%S", "/x", "A", "S", ".mp3", 1, 0, false, "-S.mp3"},
        {"first letter outside the BMP", "%L/%S", "\xF0\x9D\x84\x9E clef", "A", "S", ".mp3", 1, 0, false,
         "\xF0\x9D\x84\x9E/S.mp3"},
        {"empty group", "%L%G/%S", "", "A", "S", ".mp3", 1, 0, false, "/S.mp3"},
        {"year above 2^31", "%Y", "G", "A", "S", ".mp3", 1, 4294967295LL, false, "4294967295.mp3"},
        // A "%" coming with the extension is text, not a placeholder.
        {"extension with percent", "%S", "G", "A", "S", ".m%S", 1, 0, false, "S.m%S"},
    };
    for (const NameCase& c : cases) {
        EXPECT_EQ(FormatFileNameByMask(c.mask, c.group, c.album, c.song, c.ext, c.track, c.year, c.replaceSpaces),
                  c.expected)
            << c.name;
    }
}

TEST(FileNaming, BadMasksAndMissingExtension)
{
    try {
        FormatFileNameByMask(DefaultMask, "G", "A", "S", "", 1, 0, false);
        FAIL() << "no error";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("File extension missed!"));
    }

    const QString badMasks[] = {"%S %d", "%S%", "%0:s %S", "%-999999999s%S", "%S %x", "%Q%S", "%S %\xF0\x9D\x84\x9E"};
    for (const QString& mask : badMasks) {
        try {
            FormatFileNameByMask(mask, "G", "A", "S", ".mp3", 1, 0, false);
            ADD_FAILURE() << "no error for " << mask.toStdString();
        } catch (const EConvertError& e) {
            EXPECT_TRUE(e.Message().startsWith(QStringLiteral("Invalid file name mask \"") + mask + "\""))
                << e.Message().toStdString();
        }
    }
}

TEST(FileNaming, ReplaceInvalidFileChars)
{
    EXPECT_EQ(ReplaceInvalidFileChars(QStringLiteral("a\"b*c.d/e:f<g>h?i\\j|k l"), false),
              QStringLiteral("a-b-c-d-e-f-g-h-i-j-k l"));
    EXPECT_EQ(ReplaceInvalidFileChars(QStringLiteral("a b  c"), true), QStringLiteral("a_b__c"));
    // Control characters, other blanks and letters stay.
    const QString kept = QStringLiteral("\tÄ\u00A0ж'`_-");
    EXPECT_EQ(ReplaceInvalidFileChars(kept, true), kept);
    EXPECT_EQ(ReplaceInvalidFileChars(QString(), true), QString());
}

TEST(FileNaming, EnsureDirectoryExists)
{
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QString deep = root.path() + QStringLiteral("/a/b/c");
    EnsureDirectoryExists(deep);
    EXPECT_TRUE(QFileInfo(deep).isDir());
    EnsureDirectoryExists(deep); // exists: nothing to do
    EnsureDirectoryExists(deep + QStringLiteral("/")); // with a trailing separator, as paths' folders come

    // A file where a folder should be.
    QFile blocker(root.path() + QStringLiteral("/file"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QString bad = root.path() + QStringLiteral("/file/sub");
    try {
        EnsureDirectoryExists(bad);
        FAIL() << "no error";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Error creating \"") + bad + QStringLiteral("\"  directory!"));
    }
    EXPECT_THROW(EnsureDirectoryExists(QString()), Exception);
}
