#include "app/qt_translations.h"

#include <QCoreApplication>
#include <QLocale>
#include <QTranslator>
#include <memory>

namespace korvid::app {

bool InstallQtTranslations(QCoreApplication& application, const QString& folder) {
  // The default locale picks the language of the file types in the folder view's 类型 column,
  // which the MIME database translates itself, whatever the system's language.
  QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
  auto translator = std::make_unique<QTranslator>();
  // qt_zh_CN names the catalogues of Qt's modules (qtbase and the others) and loads them with it.
  if (!translator->load(QStringLiteral("qt_zh_CN"), folder)) return false;
  // The application owns the translator, so that it lives as long as its texts are used.
  translator->setParent(&application);
  return QCoreApplication::installTranslator(translator.release());
}

}  // namespace korvid::app
