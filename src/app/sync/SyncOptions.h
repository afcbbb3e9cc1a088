// Command line of sorvelinx-sync.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

struct TSyncOptions {
    std::optional<QString> Login;
    std::optional<QString> Password;
    std::optional<QString> Host;
    std::optional<uint16_t> Port;
    std::optional<QString> DownloadFolder;
    bool Debug = false;
    bool NoProgress = false;
    bool Help = false;
};

// Parses the arguments after the program name. False with aError set on a
// usage error.
bool ParseSyncOptions(const QStringList& aArgs, TSyncOptions& aOptions, QString& aError);

QString SyncUsage();
