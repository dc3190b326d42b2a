#include "startup.h"

#include "appconfig.h"
#include "constants.h"

#include <QCoreApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QLocale>

namespace {

// The language code keeps the letter case found in the settings, which names the file only where
// file names ignore case; elsewhere fall back to the canonical spelling.
bool loadTranslation(QTranslator &translator, const QString &folder, const QString &base,
                     const QString &language)
{
    if (translator.load(QDir::toNativeSeparators(folder + QLatin1Char('/') + base + language)))
        return true;
    if (language != zev::kLanguageZhCN
        && language.compare(zev::kLanguageZhCN, Qt::CaseInsensitive) == 0)
        return translator.load(
            QDir::toNativeSeparators(folder + QLatin1Char('/') + base + zev::kLanguageZhCN));
    return false;
}

} // namespace

QString installTranslations(QCoreApplication &app, Translators &translators)
{
    const QString language = systemLanguage();
    const QString languagesDir = QDir::toNativeSeparators(QCoreApplication::applicationDirPath())
                                 + QDir::separator() + zev::kLanguagesFolder;

    loadTranslation(translators.program, languagesDir, QStringLiteral("tarvo2_upgradetool_"),
                    language);
    app.installTranslator(&translators.program);
    loadTranslation(translators.base, languagesDir, QStringLiteral("zevbase_"), language);
    app.installTranslator(&translators.base);

    const QString systemLocale = QLocale::system().name();
    const QString qtFile = QStringLiteral("qt_") + systemLocale;
    if (translators.qt.load(qtFile, QLibraryInfo::location(QLibraryInfo::TranslationsPath))
        || translators.qt.load(qtFile, QDir::toNativeSeparators(languagesDir + QLatin1Char('/')))) {
        app.installTranslator(&translators.qt);
        app.setProperty("qtc_locale", QVariant(systemLocale));
    }
    return language;
}
