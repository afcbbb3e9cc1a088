// What the session tells the program around it. The desktop window and the
// headless command each implement it; the session holds one (or none).
// Every call comes on the main thread.
#pragma once

#include <QString>

namespace pugi {
class xml_document;
}

class TConnectionListener {
public:
    virtual ~TConnectionListener() = default;

    // The balance text changed (as the balance page writes it, e.g. "12.50").
    virtual void BalanceUpdated(const QString& aBalance) = 0;
    // The newest program version the store offers; aRelease is 0 when the
    // answer carried no numeric release.
    virtual void NotifyAppVersion(int aRelease, const QString& aVersion, const QString& aUrl) = 0;
    // A basket answer arrived (the document with the "mydownloads" element).
    virtual void BasketUpdated(const pugi::xml_document& aXmlDoc) = 0;
};
