#pragma once

#include <QString>
#include <QTranslator>

class QCoreApplication;

// The program's, the shared utilities' and Qt's own translators; they must outlive every window.
struct Translators
{
    QTranslator program;
    QTranslator base;
    QTranslator qt;
};

// Loads and installs the three translators for the language of systemLanguage(); returns that
// language code. Missing files leave the source texts in place.
QString installTranslations(QCoreApplication &app, Translators &translators);
