#pragma once

#include <QFileInfoList>
#include <QObject>
#include <QString>
#include <QStringList>

// Folder layout beside the program and the file helpers the program and the adb library share.
// Stateless and synchronous: results are bools or empty texts, nothing is logged.
class FileUtils : public QObject
{
    Q_OBJECT
public:
    Q_INVOKABLE static bool exists(QString fileName);

    static QString appDirPath();
    static QString joinPath(const QString &a, const QString &b);
    static QString configDirPath();
    static QString settingsDirPath();
    static QString logDirPath();
    static QString languagesDirPath();
    // Ends with a separator: download/, download/2M/ (kind 0), download/5M/ (kind 1).
    static QString downloadDirPath(int kind);
    static QString normalizePath(const QString &path);
    static QString parentFolder(const QString &path);
    static QString fileNameOf(const QString &path);

    static bool fileExists(const QString &path);
    static bool ensureFolder(const QString &path);
    static void prepareAppDirs();
    static void removeTree(const QString &entry);
    static void recreateFolder(const QString &path, bool makeAgain);
    static void cleanFolderKeepZip(const QString &path);
    static QFileInfoList listFilesRecursive(const QString &folder);
    static QString findFileByNamePart(const QString &folder, const QString &part);
    static void copyTree(const QString &src, const QString &dst, const QFileInfoList &skipList);
    // Lower-case hex MD5 of the whole file, read in chunks; empty when it cannot be opened.
    static QString fileMd5(const QString &path);
    static bool fileMatchesMd5(const QString &path, const QString &md5Hex);
    static bool findFileByMd5(const QString &folder, const QString &md5Hex, QString &out);
    // Ends every process with that executable name (ignoring case) except the caller.
    static bool killProcessesByName(const QString &name);
};
