#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Configuration from "config/config.json" beside the program, else in the writable home (see
// FileUtils::readablePath); every value has a default.
struct AppConfig
{
    QString manifestName;
    QString buildVersionKey;
    QString kernelVersionKey;
    QString findInstallApkUrl;
    QString addInstallStatUrl;
    QString mainServicePackage;
    QString mainServiceActivity;
    QString systemVersionLowLimit;
    QString kernelVersionLowLimit;
    QString region;
    // Minisign public keys (the base64 line of a .pub file) that sign upgrade packages. With
    // none, packages are taken unsigned; an entry that is no text is kept as an empty text, so
    // that a mistyped list never turns the check off.
    QStringList trustedKeys;
};

// Reads the file on every call; a missing or malformed file gives the defaults.
AppConfig readAppConfig();
// The same from the file's bytes: what is missing, malformed or not text keeps its default.
AppConfig parseAppConfig(const QByteArray &json);

// The technician's switch for the diagnostic detail in the log: "debugLog": true in the same file.
bool readDebugLogSwitch();

// Language code for the translation files: "zh_CN" in the letter case found, or "en".
QString systemLanguage();
