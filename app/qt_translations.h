#pragma once

#include <QLibraryInfo>
#include <QString>

class QCoreApplication;

namespace korvid::app {

// Puts Qt's own texts (message box buttons, file dialogs, the folder view's column headers) into
// Chinese like the rest of the program: installs Qt's zh_CN catalogue from `folder` on the
// application, and makes Chinese the default locale. False when the catalogue cannot be loaded from
// there; Qt's texts stay English then.
bool InstallQtTranslations(QCoreApplication& application,
                           const QString& folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath));

}  // namespace korvid::app
