// A user locale with a decimal comma for one test: Qt's default locale and,
// when a German locale can be built with localedef, the C library's numeric
// locale as well.
#pragma once

#include "common/TestUtils.h"

#include <QLocale>
#include <QTemporaryDir>

#include <clocale>
#include <cstdlib>
#include <memory>

namespace filestest {

class CommaLocale {
public:
    CommaLocale() : FOld(QLocale())
    {
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        const QString folder = LocaleFolder();
        if (!folder.isEmpty()) {
            ::setenv("LOCPATH", folder.toUtf8().constData(), 1);
            FCLocale = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr &&
                       std::localeconv()->decimal_point[0] == ',';
        }
    }
    ~CommaLocale()
    {
        std::setlocale(LC_NUMERIC, "C");
        ::unsetenv("LOCPATH");
        QLocale::setDefault(FOld);
    }
    CommaLocale(const CommaLocale&) = delete;
    CommaLocale& operator=(const CommaLocale&) = delete;

    // The C library reads and writes numbers with a comma too.
    bool CLocaleSet() const { return FCLocale; }

private:
    // Built once per test process; empty when localedef is not available.
    static QString LocaleFolder()
    {
        static std::unique_ptr<QTemporaryDir> dir;
        static bool tried = false;
        if (!tried) {
            tried = true;
            auto temp = std::make_unique<QTemporaryDir>();
            if (temp->isValid() &&
                testutil::Run(QStringLiteral("localedef"),
                              {QStringLiteral("-i"), QStringLiteral("de_DE"), QStringLiteral("-f"),
                               QStringLiteral("UTF-8"), temp->path() + QStringLiteral("/de_DE.UTF-8")})
                        .exitCode == 0)
                dir = std::move(temp);
        }
        return dir ? dir->path() : QString();
    }

    QLocale FOld;
    bool FCLocale = false;
};

} // namespace filestest
