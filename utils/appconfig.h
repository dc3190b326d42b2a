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
    // A PEM file of certificate authorities trusted besides the system's for https ("ca_file"),
    // made absolute against the folder the file was read from; empty when none is named.
    QString caFile;
};

// Reads the file on every call; a missing or malformed file gives the defaults.
AppConfig readAppConfig();
// The same from the file's bytes: what is missing, malformed or not text keeps its default. A
// relative "ca_file" is taken in `configFolder`.
AppConfig parseAppConfig(const QByteArray &json, const QString &configFolder = QString());

// The technician's switch for the diagnostic detail in the log: "debugLog": true in the same file.
bool readDebugLogSwitch();

// Language code for the translation files: "zh_CN" in the letter case found, or "en".
QString systemLanguage();
