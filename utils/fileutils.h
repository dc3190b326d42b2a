#pragma once

#include <QFileInfoList>
#include <QObject>
#include <QString>
#include <QStringList>

// Folder layout beside the program and the file helpers the program and the adb library share.
// Synchronous: results are bools or empty texts, nothing is logged. The one state is the
// writable home, decided once.
class FileUtils : public QObject
{
    Q_OBJECT
public:
    Q_INVOKABLE static bool exists(QString fileName);

    static QString appDirPath();
    // Where Log/, download/ and config/ are made: the program's folder when a file can be made
    // and removed there, else the user's application data folder (made, with its Log/). Decided
    // on the first call; the adb path and languages/ stay beside the program.
    static QString writableHomePath();
    static bool isWritableFolder(const QString &path);
    // "folder/file" beside the program when it exists there, else the same in the writable home.
    static QString readablePath(const QString &folder, const QString &file);
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
