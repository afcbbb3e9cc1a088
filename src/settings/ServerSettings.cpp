#include "settings/ServerSettings.h"

#include "log/Exception.h"
#include "log/Format.h"

#include <QLocale>

#include <cmath>
#include <cstring>

#include <memory>
#include <pugixml.hpp>

namespace {

std::unique_ptr<TServerSettings> ServerSettingsObject;

QString Utf8(const char* aText)
{
    return QString::fromUtf8(aText);
}

int StrToInt(const QString& aText)
{
    bool ok = false;
    const int value = aText.trimmed().toInt(&ok, 10);
    if (!ok)
        throw EConvertError(Format(QStringLiteral("'%s' is not a valid integer value"), {aText}));
    return value;
}

// A decimal amount with "." as separator, rounded to four decimal places.
TCurrency StrToCurrency(const QString& aText)
{
    bool ok = false;
    const double value = QLocale::c().toDouble(aText.trimmed(), &ok);
    if (!ok || !std::isfinite(value) || std::fabs(value) > 9.2e14)
        throw EConvertError(Format(QStringLiteral("'%s' is not a valid floating point value"), {aText}));
    return TCurrency::FromDouble(value);
}

} // namespace

TServerSettings& ServerSettings()
{
    if (!ServerSettingsObject)
        throw Exception(QStringLiteral("Server settings are not created"));
    return *ServerSettingsObject;
}

bool ServerSettingsExist()
{
    return ServerSettingsObject != nullptr;
}

void CreateServerSettings()
{
    ServerSettingsObject = std::make_unique<TServerSettings>();
}

void FreeServerSettings()
{
    ServerSettingsObject.reset();
}

pugi::xml_node TServerSettings::NodeByName(const pugi::xml_document& aDoc, const char* aName) const
{
    const pugi::xml_node node = aDoc.document_element().child(aName);
    if (!node)
        throw Exception(Format(QStringLiteral("Node \"%s\" not found"), {Utf8(aName)}));
    return node;
}

QString TServerSettings::NodeAttrByName(const pugi::xml_document& aDoc, const char* aNodeName,
                                        const char* aAttrName) const
{
    return Utf8(NodeByName(aDoc, aNodeName).attribute(aAttrName).value());
}

QString TServerSettings::UrlNodeValue(const pugi::xml_document& aDoc, const char* aUrlName) const
{
    for (pugi::xml_node node : aDoc.document_element().children("url"))
        if (std::strcmp(node.attribute("name").value(), aUrlName) == 0)
            return Utf8(node.text().get());
    throw Exception(Format(QStringLiteral("URL node \"%s\" not found"), {Utf8(aUrlName)}));
}

void TServerSettings::ParsePrices(const pugi::xml_document& aDoc)
{
    const pugi::xml_node owners = aDoc.document_element().child("ownerlist");
    for (pugi::xml_node owner = owners.first_child(); owner; owner = owner.next_sibling()) {
        if (owner.type() != pugi::node_element)
            continue;
        bool ok = false;
        const int id = Utf8(owner.attribute("id").value()).trimmed().toInt(&ok, 10);
        if (!ok || id != 0)
            continue;
        PricePerMB = StrToCurrency(Utf8(owner.attribute("bitcostint").value()));
        PricePerSong = StrToCurrency(Utf8(owner.attribute("fixcostint").value()));
        return;
    }
}

void TServerSettings::LoadFromXml(const pugi::xml_document& aXmlDoc)
{
    CatalogUpdated = NodeAttrByName(aXmlDoc, "catalog", "updated") == QLatin1String("yes");

    struct TUrlField {
        const char* Name;
        QString TServerSettings::*Field;
    };
    static const TUrlField UrlFields[] = {
        {"NewsUrl", &TServerSettings::NewsUrl},
        {"ChartsUrl", &TServerSettings::ChartsUrl},
        {"CoversUrl", &TServerSettings::CoversUrl},
        {"CoversPageUrl", &TServerSettings::CoversPageUrl},
        {"PreviewBuiltinUrl", &TServerSettings::PreviewBuiltinUrl},
        {"HelpUrl", &TServerSettings::HelpUrl},
        {"PreviewSystemSongUrl", &TServerSettings::PreviewSystemSongUrl},
        {"PreviewSystemAlbumUrl", &TServerSettings::PreviewSystemAlbumUrl},
        {"PreviewSiteUrl", &TServerSettings::PreviewSiteUrl},
        {"OrderFileURL", &TServerSettings::OrderFileURL},
        {"OrderOEFileURL", &TServerSettings::OrderOEFileURL},
        {"BalanceURL", &TServerSettings::BalanceURL},
        {"OrderBookmarkOEFileURL", &TServerSettings::OrderBookmarkOEFileURL},
        {"SimilarGroupsURL", &TServerSettings::SimilarGroupsURL},
        {"SimilarALbumsURL", &TServerSettings::SimilarALbumsURL},
        {"WhatElseAlbumsURL", &TServerSettings::WhatElseAlbumsURL},
        {"RelatedInfoURL", &TServerSettings::RelatedInfoURL},
        {"PasswordReminderURL", &TServerSettings::PasswordReminderURL},
        {"SupportURL", &TServerSettings::SupportURL},
        {"ReplenishBalanceURL", &TServerSettings::AppVersionUrl},
    };
    for (const TUrlField& url : UrlFields)
        this->*url.Field = UrlNodeValue(aXmlDoc, url.Name);

    PricePerMB = TCurrency::FromScaled(int64_t(StrToInt(NodeAttrByName(aXmlDoc, "price_per_mb", "value"))) * 100);
    PricePerSong = TCurrency();
    ParsePrices(aXmlDoc);
}
