// An independent reader (mutagen) checks what the writers leave in real MP3
// files: the tag values, the tags present, and the audio between the tags.
#include "tags/TagStream.h"
#include "tags/TagWriter.h"
#include "tags/TagTestUtils.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using tagtest::FixturePath;

namespace {

struct TDataSet {
    const char* name;
    TTagData data;
    bool unicode; // some text does not fit ISO-8859-1
    // What an ID3v1 reader shows: ISO-8859-1 with "?", cut to 30 bytes.
    QString v1Title, v1Artist, v1Album, v1Comment;
};

const TDataSet& Latin()
{
    static const TDataSet set{"latin",
                              TagData(QStringLiteral("Beyoncé Ñandú"), QStringLiteral("Façade à la Carte"),
                                      QStringLiteral("Crème Brûlée Über Straße"), 12, 2003, QStringLiteral("Ça va")),
                              false,
                              QStringLiteral("Crème Brûlée Über Straße"),
                              QStringLiteral("Beyoncé Ñandú"),
                              QStringLiteral("Façade à la Carte"),
                              QStringLiteral("Ça va")};
    return set;
}

const TDataSet& Cyrillic()
{
    static const TDataSet set{"cyrillic",
                              TagData(QStringLiteral("Иван Петров"), QStringLiteral("Песни о главном"),
                                      QStringLiteral("Длинное название песни для проверки"), 300, 1988,
                                      QStringLiteral("Комментарий")),
                              true,
                              QStringLiteral("??????? ???????? ????? ??? ???"),
                              QStringLiteral("???? ??????"),
                              QStringLiteral("????? ? ???????"),
                              QStringLiteral("???????????")};
    return set;
}

struct TWrite {
    QString fixture;
    TTagType type;
    bool skip;
    const TDataSet* set;
    QString path;
};

QString Str(const QJsonValue& aValue)
{
    return aValue.isNull() ? QStringLiteral("<null>") : aValue.toString();
}

} // namespace

TEST(Mutagen, ReadsWhatTheWritersLeave)
{
    const QStringList fixtures{QStringLiteral("plain.mp3"), QStringLiteral("id3v1.mp3"), QStringLiteral("id3v2.mp3"),
                               QStringLiteral("id3v1v2.mp3")};
    QTemporaryDir dir;
    QList<TWrite> writes;
    for (const QString& fixture : fixtures) {
        for (const TDataSet* set : {&Latin(), &Cyrillic()}) {
            writes.append({fixture, ttID3V1, false, set, {}});
            writes.append({fixture, ttID3V11, false, set, {}});
            writes.append({fixture, ttID3V2, false, set, {}});
            writes.append({fixture, ttID3V2, true, set, {}});
        }
        writes.append({fixture, ttNone, false, &Latin(), {}});
    }
    QStringList files;
    for (const QString& fixture : fixtures)
        files << FixturePath(fixture);
    for (int i = 0; i < writes.size(); ++i) {
        TWrite& w = writes[i];
        w.path = dir.filePath(QStringLiteral("%1-%2").arg(i).arg(w.fixture));
        ASSERT_TRUE(QFile::copy(FixturePath(w.fixture), w.path));
        QFile::setPermissions(w.path, QFile::ReadOwner | QFile::WriteOwner);
        TFileTagStream stream(w.path);
        AddTagToFile(stream, ffMp3, w.type, w.set->data, w.skip);
        files << w.path;
    }

    const QJsonObject read = tagtest::ReadTags(files);
    ASSERT_EQ(read.size(), files.size());

    for (const TWrite& w : writes) {
        SCOPED_TRACE(QStringLiteral("%1 %2 skip=%3 %4")
                         .arg(w.fixture, TagTypeName(w.type))
                         .arg(w.skip)
                         .arg(QLatin1String(w.set->name))
                         .toStdString());
        const QJsonObject before = read[FixturePath(w.fixture)].toObject();
        const QJsonObject after = read[w.path].toObject();
        const TTagData& d = w.set->data;

        // The audio between the tags is byte for byte the original's, and still decodes.
        EXPECT_EQ(after["audio_sha256"].toString(), before["audio_sha256"].toString());
        EXPECT_FALSE(after["mp3"].toObject().contains("error")) << Str(after["mp3"].toObject()["error"]).toStdString();
        EXPECT_EQ(after["mp3"].toObject()["sample_rate"].toInt(), 22050);

        if (w.type == ttNone) {
            EXPECT_TRUE(after["v2"].isNull());
            EXPECT_TRUE(after["v1"].isNull());
            EXPECT_EQ(after["audio_start"].toInt(), 0);
            continue;
        }

        if (w.type == ttID3V2) {
            const QJsonObject v2 = after["v2"].toObject();
            EXPECT_EQ(v2["version"].toArray(), (QJsonArray{2, 3, 0}));
            // mutagen drops a WXXX frame with an empty link; its bytes are checked in ID3Test.
            EXPECT_EQ(v2["frames"].toArray(), (QJsonArray{"TIT2", "TPE1", "TALB", "TRCK", "TYER", "COMM"}));
            EXPECT_EQ(Str(v2["title"]), d.Title);
            EXPECT_EQ(Str(v2["artist"]), d.Artist);
            EXPECT_EQ(Str(v2["album"]), d.Album);
            EXPECT_EQ(Str(v2["track"]), QString::number(d.Track));
            EXPECT_EQ(Str(v2["year"]), QString::number(d.Year));
            EXPECT_EQ(Str(v2["comment"]), d.Comment);
            const int text = w.set->unicode ? 1 : 0;
            const QJsonObject enc = v2["encodings"].toObject();
            EXPECT_EQ(enc["TIT2"].toInt(-1), text);
            EXPECT_EQ(enc["TPE1"].toInt(-1), text);
            EXPECT_EQ(enc["TALB"].toInt(-1), text);
            EXPECT_EQ(enc["COMM"].toInt(-1), text);
            EXPECT_EQ(enc["TRCK"].toInt(-1), 0);
            EXPECT_EQ(enc["TYER"].toInt(-1), 0);
            // The old ID3v1 tag goes, unless the caller asked to keep it.
            if (w.skip)
                EXPECT_EQ(after["v1"], before["v1"]);
            else
                EXPECT_TRUE(after["v1"].isNull());
            continue;
        }

        const QJsonObject v1 = after["v1"].toObject();
        ASSERT_FALSE(v1.isEmpty());
        EXPECT_EQ(Str(v1["title"]), w.set->v1Title);
        EXPECT_EQ(Str(v1["artist"]), w.set->v1Artist);
        EXPECT_EQ(Str(v1["album"]), w.set->v1Album);
        EXPECT_EQ(Str(v1["year"]), QString::number(d.Year));
        EXPECT_EQ(Str(v1["comment"]), w.set->v1Comment);
        if (w.type == ttID3V11)
            EXPECT_EQ(Str(v1["track"]), QString::number(d.Track & 0xFF)); // 300 is stored as 44
        else
            EXPECT_TRUE(v1["track"].isNull());
        // An ID3v2 tag is left as it was.
        EXPECT_EQ(after["v2"], before["v2"]);
    }
}
