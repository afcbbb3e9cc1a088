// The one XML loader of the program and QString accessors for pugixml.
// A document is loaded from its bytes; when its declaration names an 8-bit
// encoding (windows-1251, koi8-r, iso-8859-1, ...) the bytes are transcoded
// first, so the parser always sees Unicode text.
#pragma once

#include "log/Exception.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <pugixml.hpp>

// A document that does not parse or whose encoding is unknown.
SX_DECLARE_EXCEPTION(EXmlError, Exception)

namespace xml {

// The encoding named by the XML declaration; empty when there is none.
QString DeclaredEncoding(const QByteArray& aBytes);
// Parses aBytes; raises EXmlError.
std::unique_ptr<pugi::xml_document> LoadXmlDocument(const QByteArray& aBytes);
// The same into an existing document, with pugixml's parse options (a
// package keeps comments to refuse them); returns the encoding the parser
// read (UTF-8 after a transcoding).
inline constexpr unsigned DefaultParseOptions = pugi::parse_default | pugi::parse_declaration;
pugi::xml_encoding LoadXml(pugi::xml_document& aDoc, const QByteArray& aBytes,
                           unsigned aOptions = DefaultParseOptions);

// The element's text (its first text or CDATA child); empty when none.
QString Text(const pugi::xml_node& aNode);
// An attribute's value; empty when missing.
QString Attr(const pugi::xml_node& aNode, const char* aName);
// The text of the first child element of that name; empty when missing.
QString ChildText(const pugi::xml_node& aNode, const char* aName);
// The document (or node) as XML text.
QString ToXmlText(const pugi::xml_node& aNode);

} // namespace xml
