#pragma once

#include <QString>

// Opens a folder in the file manager or a web address in the browser;
// raises EOSError when the desktop cannot open it.
void OpenFolder(const QString& aFolderPath);
