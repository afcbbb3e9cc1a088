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

namespace {

// One write into a copy of a fixture, for the other families.
struct TFamilyWrite {
    QString fixture;
    TFileFormat format; // consulted when clearing
    TTagType type;      // ttNone: clearing
    const TDataSet* set;
    QString path;
};

QStringList Strings(const QJsonValue& aValue)
{
    QStringList list;
    for (const QJsonValue& v : aValue.toArray())
        list << v.toString();
    return list;
}

// The comments the Ogg and FLAC writers store, in their order.
QStringList VorbisList(const TTagData& d)
{
    return {QStringLiteral("TITLE=") + d.Title,
            QStringLiteral("ARTIST=") + d.Artist,
            QStringLiteral("ALBUM=") + d.Album,
            QStringLiteral("TRACK=%1").arg(d.Track),
            QStringLiteral("TRACKNUMBER=%1").arg(d.Track),
            QStringLiteral("YEAR=%1").arg(d.Year),
            QStringLiteral("DATE=%1").arg(d.Year),
            QStringLiteral("COMMENT=") + d.Comment};
}

QJsonArray FlacBlocks(std::initializer_list<std::pair<int, bool>> aBlocks)
{
    QJsonArray blocks;
    for (const auto& [type, last] : aBlocks)
        blocks.append(QJsonArray{type, last});
    return blocks;
}

} // namespace

// Every other family, written into real files, read back by mutagen and
// checked by the formats' own tools (ffmpeg, ogginfo, flac -t) in one batch.
TEST(Mutagen, ReadsWhatTheOtherFamiliesWrite)
{
    QTemporaryDir dir;
    QList<TFamilyWrite> writes;
    for (const TDataSet* set : {&Latin(), &Cyrillic()}) {
        for (const char* fixture : {"id3v1.mp3", "plain.mp3", "tone.mpc"})
            writes.append({QLatin1String(fixture), ffMp3, ttAPE2, set, {}});
        for (const char* fixture : {"id3v1.mp3", "tone.mpc"})
            writes.append({QLatin1String(fixture), ffMp3, ttAPE1, set, {}});
        writes.append({QStringLiteral("tone.ogg"), ffOgg, ttOGG, set, {}});
        for (const char* fixture : {"tone.flac", "tone-vclast.flac", "tone-novc.flac", "tone-streaminfo.flac"})
            writes.append({QLatin1String(fixture), ffFlac, ttFLAC, set, {}});
        for (const char* fixture : {"tone.mp4", "tone-noudta.mp4"})
            writes.append({QLatin1String(fixture), ffMp4, ttMPEG4, set, {}});
        for (const char* fixture : {"tone.wma", "tone-bare.wma"})
            writes.append({QLatin1String(fixture), ffWma, ttWMA, set, {}});
    }
    const struct {
        const char* fixture;
        TFileFormat format;
    } clears[] = {{"tone.mpc", ffMpc},      {"tone.ogg", ffOgg},       {"tone.flac", ffFlac},
                  {"tone-streaminfo.flac", ffFlac}, {"tone.mp4", ffMp4}, {"tone.wma", ffWma},
                  {"tone-bare.wma", ffWma}};
    for (const auto& c : clears)
        writes.append({QLatin1String(c.fixture), c.format, ttNone, &Latin(), {}});

    QStringList files;
    for (const TFamilyWrite& w : writes)
        if (!files.contains(FixturePath(w.fixture)))
            files << FixturePath(w.fixture);
    for (int i = 0; i < writes.size(); ++i) {
        TFamilyWrite& w = writes[i];
        w.path = dir.filePath(QStringLiteral("%1-%2").arg(i).arg(w.fixture));
        ASSERT_TRUE(QFile::copy(FixturePath(w.fixture), w.path));
        QFile::setPermissions(w.path, QFile::ReadOwner | QFile::WriteOwner);
        TFileTagStream stream(w.path);
        AddTagToFile(stream, w.format, w.type, w.set->data, false);
        files << w.path;
    }

    const QJsonObject read = tagtest::ReadTags(files, true);
    ASSERT_EQ(read.size(), files.size());

    for (const TFamilyWrite& w : writes) {
        SCOPED_TRACE(QStringLiteral("%1 %2 %3").arg(w.fixture, TagTypeName(w.type), QLatin1String(w.set->name))
                         .toStdString());
        const QJsonObject before = read[FixturePath(w.fixture)].toObject();
        const QJsonObject after = read[w.path].toObject();
        const TTagData& d = w.set->data;
        EXPECT_FALSE(after.contains("error")) << Str(after["error"]).toStdString();
        // ffmpeg decodes the audio without a complaint; ogginfo and flac -t pass.
        EXPECT_TRUE(after["checks"].toObject().isEmpty())
            << QJsonDocument(after["checks"].toObject()).toJson().toStdString();

        const bool ape = w.type == ttAPE1 || w.type == ttAPE2 || w.format == ffMpc;
        if (ape) {
            // The audio between the tags is the original's, and still decodes.
            EXPECT_EQ(after["audio_sha256"].toString(), before["audio_sha256"].toString());
            EXPECT_FALSE(after["mp3"].toObject().contains("error"));
            EXPECT_TRUE(after["v1"].isNull()); // an ID3v1 tag is replaced
        } else {
            EXPECT_EQ(after["info"].toObject()["sample_rate"], before["info"].toObject()["sample_rate"]);
        }

        if (w.type == ttNone) {
            if (ape) {
                EXPECT_TRUE(after["ape"].isNull());
            } else if (w.format == ffOgg || w.format == ffFlac) {
                EXPECT_TRUE(after["comments"].toArray().isEmpty());
            } else {
                EXPECT_EQ(after["keys"].toArray(), QJsonArray());
            }
            // Ogg and FLAC keep the vendor string; a new comment block gets " ".
            if (w.format == ffOgg || w.format == ffFlac) {
                EXPECT_EQ(Str(after["vendor"]), before["vendor"].isNull() ? QStringLiteral(" ") : Str(before["vendor"]));
            }
            if (w.fixture == "tone-streaminfo.flac") {
                EXPECT_EQ(after["blocks"].toArray(), FlacBlocks({{0, false}, {4, true}}));
            }
            continue;
        }

        const QJsonObject tags = ape ? after["ape"].toObject() : after;
        EXPECT_EQ(Str(tags["title"]), d.Title);
        EXPECT_EQ(Str(tags["artist"]), d.Artist);
        EXPECT_EQ(Str(tags["album"]), d.Album);
        EXPECT_EQ(Str(tags["track"]), QString::number(d.Track));
        EXPECT_EQ(Str(tags["year"]), QString::number(d.Year));
        EXPECT_EQ(Str(tags["comment"]), d.Comment);

        switch (w.type) {
        case ttAPE1:
        case ttAPE2:
            EXPECT_EQ(tags["version"].toInt(), w.type == ttAPE2 ? 2000 : 1000);
            EXPECT_EQ(Strings(tags["keys"]),
                      (QStringList{"Title", "Artist", "Album", "Track", "Year", "Comment"}));
            break;
        case ttOGG:
        case ttFLAC:
            EXPECT_EQ(Strings(after["comments"]), VorbisList(d));
            // The vendor string stays; a new comment block gets " ".
            EXPECT_EQ(Str(after["vendor"]), before["vendor"].isNull() ? QStringLiteral(" ") : Str(before["vendor"]));
            if (w.fixture == "tone.flac" || w.fixture == "tone-novc.flac") {
                EXPECT_EQ(after["blocks"].toArray(), FlacBlocks({{0, false}, {3, false}, {4, false}, {1, true}}));
            } else if (w.fixture == "tone-vclast.flac") {
                EXPECT_EQ(after["blocks"].toArray(), FlacBlocks({{0, false}, {3, false}, {4, true}}));
            } else if (w.fixture == "tone-streaminfo.flac") {
                EXPECT_EQ(after["blocks"].toArray(), FlacBlocks({{0, false}, {4, true}}));
            }
            break;
        case ttMPEG4:
            EXPECT_EQ(Strings(after["keys"]),
                      (QStringList{"\u00A9ART", "\u00A9alb", "\u00A9nam", "\u00A9cmt", "trkn", "\u00A9day"}));
            break;
        case ttWMA: {
            // mutagen merges both objects into one dictionary: their order is its own.
            QStringList keys = Strings(after["keys"]);
            keys.sort();
            EXPECT_EQ(keys, (QStringList{"Author", "Description", "Title", "WM/AlbumTitle", "WM/TrackNumber",
                                         "WM/URL", "WM/Year"}));
            break;
        }
            break;
        default:
            break;
        }
    }
}
