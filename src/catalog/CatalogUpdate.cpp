// Installing catalog update packages: a full package is a catalog file that
// replaces the current one; a partial package is an XML list of group,
// album and song records to insert, replace or delete.
#include "catalog/CatalogData.h"

#include "app/TextUtils.h"
#include "catalog/CatalogSql.h"
#include "log/Exception.h"
#include "log/Format.h"
#include "log/LogManager.h"
#include "net/XmlUtils.h"

#include <QByteArrayView>
#include <QFile>
#include <QFileInfo>

#include <SQLiteCpp/Transaction.h>
#include <pugixml.hpp>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

using namespace catalogsql;

namespace {

// A decimal integer within [aMin, aMax]; the conversion error otherwise.
int64_t ParseInteger(std::string_view aValue, int64_t aMin, int64_t aMax, const char* aName)
{
    std::string_view text = TrimBlanks(aValue);
    if (text.size() > 1 && text.front() == '+' && text[1] != '-')
        text.remove_prefix(1);
    int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, 10);
    if (text.empty() || error != std::errc() || stop != end || value < aMin || value > aMax)
        throw EConvertError(Format(QStringLiteral("'%s' is not a valid integer value (attribute \"%s\")"),
                                   {QString::fromUtf8(aValue.data(), qsizetype(aValue.size())), aName}));
    return value;
}

const char* RequiredAttribute(const pugi::xml_node& aNode, const char* aName)
{
    const pugi::xml_attribute attribute = aNode.attribute(aName);
    if (!attribute)
        throw EConvertError(Format(QStringLiteral("Attribute \"%s\" is missing"), {aName}));
    return attribute.value();
}

int64_t IntAttribute(const pugi::xml_node& aNode, const char* aName, int64_t aMin = INT32_MIN,
                     int64_t aMax = INT32_MAX)
{
    return ParseInteger(RequiredAttribute(aNode, aName), aMin, aMax, aName);
}

int32_t Int32Attribute(const pugi::xml_node& aNode, const char* aName)
{
    return int32_t(IntAttribute(aNode, aName));
}

// The text of a record: usually one text node; pieces split by CDATA
// sections or comments are joined.
std::string_view RecordText(const pugi::xml_node& aNode, std::string& aBuffer)
{
    const char* single = nullptr;
    int pieces = 0;
    for (pugi::xml_node child = aNode.first_child(); child; child = child.next_sibling()) {
        if (child.type() != pugi::node_pcdata && child.type() != pugi::node_cdata)
            continue;
        if (++pieces == 1) {
            single = child.value();
        } else {
            if (pieces == 2)
                aBuffer.assign(single);
            aBuffer.append(child.value());
        }
    }
    if (pieces == 0)
        return std::string_view();
    if (pieces == 1)
        return std::string_view(single);
    return aBuffer;
}

QByteArray ReadPackage(const QString& aFilePath)
{
    QFile file(aFilePath);
    if (!file.open(QIODevice::ReadOnly))
        throw EOSError(Format(QStringLiteral("Cannot open file \"%s\". %s"), {aFilePath, file.errorString()}));
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw EOSError(Format(QStringLiteral("Cannot read file \"%s\". %s"), {aFilePath, file.errorString()}));
    return bytes;
}

void ParsePackage(const QByteArray& aBytes, pugi::xml_document& aDocument)
{
    // Comments and processing instructions are kept as nodes: a package
    // holds records only, and anything else among them is refused. The
    // loader transcodes 8-bit encodings (windows-1251, ...) to UTF-8.
    const unsigned options = pugi::parse_default | pugi::parse_declaration | pugi::parse_comments | pugi::parse_pi;
    const pugi::xml_encoding encoding = xml::LoadXml(aDocument, aBytes, options);
    // Text that claims to be UTF-8 (or says nothing) but is not would be
    // stored with broken names.
    if (encoding == pugi::encoding_utf8) {
        const QString declared = xml::DeclaredEncoding(aBytes).toLower();
        if ((declared.isEmpty() || declared == QLatin1String("utf-8") || declared == QLatin1String("utf8")) &&
            !QByteArrayView(aBytes).isValidUtf8())
            throw Exception(QStringLiteral("XML error: the text is not valid UTF-8"));
    }
    if (!aDocument.document_element())
        throw Exception(QStringLiteral("XML error: no document element"));
}

// A log line that never replaces the error being reported.
void SaveMessageQuietly(const QString& aSource, const QString& aMessage)
{
    try {
        SaveMessage(aSource, aMessage);
    } catch (const std::exception&) {
    }
}

void RemoveIfExists(const QString& aPath)
{
    if (QFileInfo::exists(aPath) || QFileInfo(aPath).isSymLink())
        QFile::remove(aPath);
}

// Renames over an existing file in one step (a failed rename keeps both).
bool ReplaceFile(const QString& aFrom, const QString& aTo)
{
    return std::rename(QFile::encodeName(aFrom).constData(), QFile::encodeName(aTo).constData()) == 0;
}

} // namespace

void TCatalogData::InstallFullUpdate(const QString& aFilePath)
{
    SaveMessageQuietly(QStringLiteral("InstallFullUpdate"), QStringLiteral("Installing full catalog"));

    // The new file is brought next to the catalog first (a rename when both
    // lie on one file system, a copy otherwise) and checked there: the
    // current catalog is replaced only by a file that opens as a catalog.
    const QString staged = FDBPath + QStringLiteral(".new");
    for (const char* suffix : {"", "-journal", "-wal", "-shm"})
        RemoveIfExists(staged + QLatin1String(suffix));
    bool renamed = ReplaceFile(aFilePath, staged);
    if (!renamed) {
        const int renameError = errno;
        if (!QFileInfo::exists(aFilePath))
            throw EOSError(Format(QStringLiteral("Cannot open file \"%s\". %s"),
                                  {aFilePath, SysErrorMessage(renameError)}));
        QFile source(aFilePath);
        if (!source.copy(staged)) {
            const QString reason = source.errorString();
            RemoveIfExists(staged);
            throw EOSError(Format(QStringLiteral("Cannot copy \"%s\" to \"%s\". %s"), {aFilePath, staged, reason}));
        }
    }

    // The catalog is written by partial packages later, whatever the
    // package's file mode was.
    QFile::setPermissions(staged, QFile::permissions(staged) | QFileDevice::ReadOwner | QFileDevice::WriteOwner);

    QString problem;
    try {
        std::unique_ptr<SQLite::Database> probe = OpenCatalogFile(staged);
        ReadVersionRow(*probe);
    } catch (const std::exception& e) {
        problem = QString::fromUtf8(e.what());
    }
    if (!problem.isEmpty()) {
        SaveMessageQuietly(QStringLiteral("InstallFullUpdate"),
                           Format(QStringLiteral("The new catalog file does not open as a catalog: %s"), {problem}));
        // Give the package file back where it was; the catalog is untouched.
        if (!renamed || !ReplaceFile(staged, aFilePath))
            RemoveIfExists(staged);
        throw Exception(QStringLiteral("Catalog is not opened"));
    }

    CloseCatalog();
    // Journal files of the old catalog must not be applied to the new one.
    for (const char* suffix : {"-journal", "-wal", "-shm"})
        RemoveIfExists(FDBPath + QLatin1String(suffix));
    if (!ReplaceFile(staged, FDBPath)) {
        const QString reason = SysErrorMessage(errno);
        if (!renamed || !ReplaceFile(staged, aFilePath))
            RemoveIfExists(staged);
        OpenCatalog();
        throw EOSError(Format(QStringLiteral("Cannot replace \"%s\". %s"), {FDBPath, reason}));
    }
    if (!renamed)
        QFile::remove(aFilePath);

    OpenCatalog();
    if (!Connected())
        throw Exception(QStringLiteral("Catalog is not opened"));
}

void TCatalogData::ApplyRecord(const pugi::xml_node& aRecord)
{
    const bool remove = std::strcmp(aRecord.attribute("action").value(), "DEL") == 0;
    const int64_t recordType = IntAttribute(aRecord, "rectype");
    std::string buffer;
    switch (recordType) {
    case 1: {
        const int32_t group = Int32Attribute(aRecord, "group");
        if (remove) {
            DeleteGroup(group);
        } else {
            const int32_t volume = Int32Attribute(aRecord, "volume");
            const std::string_view name = RecordText(aRecord, buffer);
            ExecUpdateGroup(group, volume, name.data(), int(name.size()));
        }
        break;
    }
    case 2: {
        const int32_t group = Int32Attribute(aRecord, "group");
        const int32_t album = Int32Attribute(aRecord, "album");
        if (remove) {
            DeleteAlbum(group, album);
        } else {
            const QDate releaseDate = StrToCatalogDate(std::string_view(RequiredAttribute(aRecord, "sd")));
            const TAlbumType type = ConvertToAlbumType(IntAttribute(aRecord, "type"));
            // The kind is stored as the package gives it; it must fit its byte.
            const auto kind = TAlbumKind(IntAttribute(aRecord, "albumtype", 0, 255));
            const std::string_view name = RecordText(aRecord, buffer);
            ExecUpdateAlbum(group, album, name.data(), int(name.size()), releaseDate, type, kind);
        }
        break;
    }
    case 3: {
        const int32_t group = Int32Attribute(aRecord, "group");
        const int32_t album = Int32Attribute(aRecord, "album");
        const int32_t song = Int32Attribute(aRecord, "song");
        if (remove) {
            DeleteSong(group, album, song);
        } else {
            const int32_t track = Int32Attribute(aRecord, "track");
            const int32_t duration = Int32Attribute(aRecord, "duration");
            const int32_t bitrate = Int32Attribute(aRecord, "bitrate");
            const std::string_view name = RecordText(aRecord, buffer);
            ExecUpdateSong(group, album, song, name.data(), int(name.size()), track, duration, bitrate);
        }
        break;
    }
    default:
        throw Exception(QStringLiteral("Invalid node rectype"));
    }
}

void TCatalogData::InstallPartialUpdate(const QString& aFilePath)
{
    if (!Connected())
        throw Exception(QStringLiteral("Catalog is not opened"));

    const QByteArray bytes = ReadPackage(aFilePath);
    pugi::xml_document document;
    ParsePackage(bytes, document);
    const pugi::xml_node root = document.document_element();

    if (IntAttribute(root, "structure", INT64_MIN, INT64_MAX) != CATALOG_VERSION)
        throw Exception(QStringLiteral("Invalid file structure version"));
    const int64_t version = IntAttribute(root, "version", INT64_MIN, INT64_MAX);
    if (version < 0 || version <= int64_t(FDataVersion) || version > int64_t(UINT32_MAX))
        throw Exception(QStringLiteral("Invalid file data version"));

    // One transaction: thousands of records cost one commit, and any error
    // leaves the catalog exactly as it was, its version included.
    const uint32_t oldVersion = FDataVersion;
    SQLite::Transaction transaction(Database());
    int64_t node = 0;
    try {
        for (pugi::xml_node record = root.first_child(); record; record = record.next_sibling()) {
            ++node;
            if (record.type() != pugi::node_element || std::strcmp(record.name(), "record") != 0)
                throw Exception(QStringLiteral("Invalid node name"));
            ApplyRecord(record);
        }
        node = 0;
        UpdateVersion(uint32_t(version));
        transaction.commit();
    } catch (...) {
        FDataVersion = oldVersion;
        SaveMessageQuietly(QStringLiteral("InstallPartialUpdate"),
                           node > 0 ? Format(QStringLiteral("Package \"%s\" failed at node %d; rolled back"), {aFilePath, node})
                                    : Format(QStringLiteral("Package \"%s\" failed at its commit; rolled back"), {aFilePath}));
        throw; // the transaction rolls back as it goes out of scope
    }
}
