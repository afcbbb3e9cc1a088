// What the store tells the client at every sign-in: where its pages and
// services are, whether a newer catalog exists and how files are priced.
// Filled by the session's start-up action; nothing of it is stored on disk.
// Written on the main thread during sign-in, read afterwards from anywhere.
#pragma once

#include "settings/Currency.h"

#include <QString>

namespace pugi {
class xml_document;
class xml_node;
} // namespace pugi

class TServerSettings {
public:
    // Fills the object from the start-up answer, field by field in the
    // order below; an error leaves what was already assigned.
    // Raises "Node \"%s\" not found", "URL node \"%s\" not found" or a
    // conversion error.
    void LoadFromXml(const pugi::xml_document& aXmlDoc);

    bool CatalogUpdated = false;
    TCurrency PricePerMB;
    TCurrency PricePerSong;
    QString NewsUrl;
    QString ChartsUrl;
    QString CoversUrl;
    QString CoversPageUrl;
    QString PreviewBuiltinUrl;
    QString HelpUrl;
    QString PreviewSystemSongUrl;
    QString PreviewSystemAlbumUrl;
    QString PreviewSiteUrl;
    QString OrderFileURL;
    QString OrderOEFileURL;
    QString BalanceURL;
    QString OrderBookmarkOEFileURL;
    QString SimilarGroupsURL;
    QString SimilarALbumsURL;
    QString WhatElseAlbumsURL;
    QString RelatedInfoURL;
    QString PasswordReminderURL;
    QString SupportURL;
    // From the url node "ReplenishBalanceURL": the new-version check.
    QString AppVersionUrl;

private:
    pugi::xml_node NodeByName(const pugi::xml_document& aDoc, const char* aName) const;
    QString NodeAttrByName(const pugi::xml_document& aDoc, const char* aNodeName, const char* aAttrName) const;
    QString UrlNodeValue(const pugi::xml_document& aDoc, const char* aUrlName) const;
    void ParsePrices(const pugi::xml_document& aDoc);
};

// The process-wide server settings (created empty by the settings module).
TServerSettings& ServerSettings();
bool ServerSettingsExist();
void CreateServerSettings();
void FreeServerSettings();
