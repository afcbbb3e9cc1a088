#include "log/Exception.h"
#include "settings/ServerSettings.h"
#include "settings/Settings.h"

#include <QStringList>

#include <algorithm>
#include <gtest/gtest.h>
#include <pugixml.hpp>

namespace {

const QStringList UrlNames = {
    QStringLiteral("NewsUrl"), QStringLiteral("ChartsUrl"), QStringLiteral("CoversUrl"),
    QStringLiteral("CoversPageUrl"), QStringLiteral("PreviewBuiltinUrl"), QStringLiteral("HelpUrl"),
    QStringLiteral("PreviewSystemSongUrl"), QStringLiteral("PreviewSystemAlbumUrl"), QStringLiteral("PreviewSiteUrl"),
    QStringLiteral("OrderFileURL"), QStringLiteral("OrderOEFileURL"), QStringLiteral("BalanceURL"),
    QStringLiteral("OrderBookmarkOEFileURL"), QStringLiteral("SimilarGroupsURL"), QStringLiteral("SimilarALbumsURL"),
    QStringLiteral("WhatElseAlbumsURL"), QStringLiteral("RelatedInfoURL"), QStringLiteral("PasswordReminderURL"),
    QStringLiteral("SupportURL"), QStringLiteral("ReplenishBalanceURL"),
};

QString UrlOf(const QString& aName)
{
    return QStringLiteral("http://store.test/") + aName + QStringLiteral("?a=1&amp;b=2");
}

struct TDoc {
    QString Updated = QStringLiteral("updated=\"yes\"");
    QString Price = QStringLiteral("<price_per_mb value=\"150\"/>");
    QString Owners;
    QStringList Urls = UrlNames;
    bool Reverse = false;
    QString Extra;

    QByteArray Build() const
    {
        QStringList urls;
        for (const QString& name : Urls)
            urls.append(QStringLiteral("<url name=\"%1\">%2</url>").arg(name, UrlOf(name)));
        if (Reverse)
            std::reverse(urls.begin(), urls.end());
        // Url elements mixed with the other children.
        const int half = int(urls.size() / 2);
        return (QStringLiteral("<?xml version=\"1.0\"?><settings>") + urls.mid(0, half).join(QString()) +
                QStringLiteral("<catalog %1/>").arg(Updated) + Price + Owners + Extra +
                urls.mid(half).join(QString()) + QStringLiteral("</settings>"))
            .toUtf8();
    }
};

QString LoadError(const TDoc& aDoc, TServerSettings& aSettings)
{
    const QByteArray text = aDoc.Build();
    pugi::xml_document doc;
    EXPECT_TRUE(doc.load_buffer(text.constData(), size_t(text.size())));
    try {
        aSettings.LoadFromXml(doc);
    } catch (const Exception& e) {
        return QString::fromLatin1(e.ClassName()) + QStringLiteral(": ") + e.Message();
    }
    return QString();
}

QString Expected(const QString& aName)
{
    return QString(UrlOf(aName)).replace(QStringLiteral("&amp;"), QStringLiteral("&"));
}

void ExpectAllUrls(const TServerSettings& s)
{
    EXPECT_EQ(s.NewsUrl, Expected(QStringLiteral("NewsUrl")));
    EXPECT_EQ(s.ChartsUrl, Expected(QStringLiteral("ChartsUrl")));
    EXPECT_EQ(s.CoversUrl, Expected(QStringLiteral("CoversUrl")));
    EXPECT_EQ(s.CoversPageUrl, Expected(QStringLiteral("CoversPageUrl")));
    EXPECT_EQ(s.PreviewBuiltinUrl, Expected(QStringLiteral("PreviewBuiltinUrl")));
    EXPECT_EQ(s.HelpUrl, Expected(QStringLiteral("HelpUrl")));
    EXPECT_EQ(s.PreviewSystemSongUrl, Expected(QStringLiteral("PreviewSystemSongUrl")));
    EXPECT_EQ(s.PreviewSystemAlbumUrl, Expected(QStringLiteral("PreviewSystemAlbumUrl")));
    EXPECT_EQ(s.PreviewSiteUrl, Expected(QStringLiteral("PreviewSiteUrl")));
    EXPECT_EQ(s.OrderFileURL, Expected(QStringLiteral("OrderFileURL")));
    EXPECT_EQ(s.OrderOEFileURL, Expected(QStringLiteral("OrderOEFileURL")));
    EXPECT_EQ(s.BalanceURL, Expected(QStringLiteral("BalanceURL")));
    EXPECT_EQ(s.OrderBookmarkOEFileURL, Expected(QStringLiteral("OrderBookmarkOEFileURL")));
    EXPECT_EQ(s.SimilarGroupsURL, Expected(QStringLiteral("SimilarGroupsURL")));
    EXPECT_EQ(s.SimilarALbumsURL, Expected(QStringLiteral("SimilarALbumsURL")));
    EXPECT_EQ(s.WhatElseAlbumsURL, Expected(QStringLiteral("WhatElseAlbumsURL")));
    EXPECT_EQ(s.RelatedInfoURL, Expected(QStringLiteral("RelatedInfoURL")));
    EXPECT_EQ(s.PasswordReminderURL, Expected(QStringLiteral("PasswordReminderURL")));
    EXPECT_EQ(s.SupportURL, Expected(QStringLiteral("SupportURL")));
    EXPECT_EQ(s.AppVersionUrl, Expected(QStringLiteral("ReplenishBalanceURL")));
}

} // namespace

TEST(ServerSettings, CreatedEmptyBySettingsModule)
{
    SettingsModule::Start();
    ASSERT_TRUE(ServerSettingsExist());
    const TServerSettings& s = ServerSettings();
    EXPECT_FALSE(s.CatalogUpdated);
    EXPECT_EQ(s.PricePerMB.Scaled, 0);
    EXPECT_EQ(s.PricePerSong.Scaled, 0);
    EXPECT_TRUE(s.NewsUrl.isEmpty());
    EXPECT_TRUE(s.AppVersionUrl.isEmpty());
    SettingsModule::Stop();
    EXPECT_FALSE(ServerSettingsExist());
}

TEST(ServerSettings, LoadsEveryValueInAnyOrder)
{
    for (const bool reverse : {false, true}) {
        SCOPED_TRACE(reverse ? "reverse order" : "document order");
        TDoc doc;
        doc.Reverse = reverse;
        doc.Extra = QStringLiteral("<url name=\"SomethingElse\">x</url><unknown/>");
        TServerSettings s;
        EXPECT_EQ(LoadError(doc, s), QString());
        EXPECT_TRUE(s.CatalogUpdated);
        ExpectAllUrls(s);
        EXPECT_EQ(s.PricePerMB, TCurrency::FromScaled(15000)); // 150 / 100 = 1.50
        EXPECT_EQ(s.PricePerSong.Scaled, 0);
    }
}

TEST(ServerSettings, FirstUrlOfANameWinsAndAnEmptyElementIsAnEmptyAddress)
{
    TDoc doc;
    doc.Urls.removeAll(QStringLiteral("NewsUrl"));
    doc.Extra = QStringLiteral("<url name=\"NewsUrl\"></url><url name=\"NewsUrl\">second</url>");
    doc.Urls.append(QStringLiteral("ChartsUrl")); // a later duplicate
    TServerSettings s;
    s.NewsUrl = QStringLiteral("old");
    EXPECT_EQ(LoadError(doc, s), QString());
    EXPECT_EQ(s.NewsUrl, QString());
    EXPECT_EQ(s.ChartsUrl, Expected(QStringLiteral("ChartsUrl")));
}

TEST(ServerSettings, CatalogUpdatedOnlyForExactlyYes)
{
    const struct {
        const char* Attr;
        bool Updated;
    } cases[] = {{"updated=\"yes\"", true}, {"updated=\"YES\"", false}, {"updated=\"no\"", false}, {"", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Attr);
        TDoc doc;
        doc.Updated = QLatin1String(c.Attr);
        TServerSettings s;
        s.CatalogUpdated = !c.Updated;
        EXPECT_EQ(LoadError(doc, s), QString());
        EXPECT_EQ(s.CatalogUpdated, c.Updated);
    }
}

TEST(ServerSettings, OwnerListPrices)
{
    const struct {
        const char* Name;
        const char* Owners;
        int64_t PerMB;   // ten-thousandths
        int64_t PerSong; // ten-thousandths
    } cases[] = {
        {"no owner list", "", 15000, 0},
        {"empty owner list", "<ownerlist/>", 15000, 0},
        {"id 0 in second place",
         "<ownerlist><o id=\"3\" bitcostint=\"9\" fixcostint=\"9\"/><p id=\"0\" bitcostint=\"0.15\" fixcostint=\"0.5\"/>"
         "<q id=\"0\" bitcostint=\"7\" fixcostint=\"7\"/></ownerlist>",
         1500, 5000},
        {"id written 00, rounded to four places",
         "<ownerlist><o id=\"00\" bitcostint=\"0.123456\" fixcostint=\"2\"/></ownerlist>", 1235, 20000},
        {"no id 0", "<ownerlist><o id=\"1\" bitcostint=\"5\" fixcostint=\"5\"/><o id=\"x\" bitcostint=\"5\" fixcostint=\"5\"/></ownerlist>",
         15000, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TDoc doc;
        doc.Owners = QLatin1String(c.Owners);
        TServerSettings s;
        s.PricePerSong = TCurrency::FromScaled(999);
        EXPECT_EQ(LoadError(doc, s), QString());
        EXPECT_EQ(s.PricePerMB.Scaled, c.PerMB);
        EXPECT_EQ(s.PricePerSong.Scaled, c.PerSong);
    }
}

TEST(ServerSettings, MissingOrBadValuesFailTheLoad)
{
    const auto without = [](const QString& aName) {
        TDoc doc;
        doc.Urls.removeAll(aName);
        return doc;
    };
    TDoc noCatalog;
    noCatalog.Updated = QStringLiteral("x=\"1\"");
    struct TCase {
        const char* Name;
        TDoc Doc;
        QString Error;
    };
    TDoc noPrice;
    noPrice.Price.clear();
    TDoc badPrice;
    badPrice.Price = QStringLiteral("<price_per_mb value=\"1.5\"/>");
    TDoc badOwner;
    badOwner.Owners = QStringLiteral("<ownerlist><o id=\"0\" bitcostint=\"abc\" fixcostint=\"1\"/></ownerlist>");
    const TCase cases[] = {
        {"missing HelpUrl", without(QStringLiteral("HelpUrl")), QStringLiteral("Exception: URL node \"HelpUrl\" not found")},
        {"missing ReplenishBalanceURL", without(QStringLiteral("ReplenishBalanceURL")),
         QStringLiteral("Exception: URL node \"ReplenishBalanceURL\" not found")},
        {"missing price", noPrice, QStringLiteral("Exception: Node \"price_per_mb\" not found")},
        {"price not an integer", badPrice, QStringLiteral("EConvertError: '1.5' is not a valid integer value")},
        {"owner price not a number", badOwner, QStringLiteral("EConvertError: 'abc' is not a valid floating point value")},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TServerSettings s;
        EXPECT_EQ(LoadError(c.Doc, s), c.Error);
    }

    // A missing "catalog" element fails first; values assigned before an error stay.
    TServerSettings s;
    QByteArray text = TDoc().Build().replace("<catalog updated=\"yes\"/>", "");
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_buffer(text.constData(), size_t(text.size())));
    try {
        s.LoadFromXml(doc);
        ADD_FAILURE() << "loaded";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Node \"catalog\" not found"));
    }
    TDoc late = without(QStringLiteral("SupportURL"));
    EXPECT_FALSE(LoadError(late, s).isEmpty());
    EXPECT_TRUE(s.CatalogUpdated);
    EXPECT_EQ(s.NewsUrl, Expected(QStringLiteral("NewsUrl")));
    EXPECT_TRUE(s.SupportURL.isEmpty());
}
