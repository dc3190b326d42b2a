#include "fileutils.h"

#include "robottypes.h"

#include "constants.h"

#include <platform.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>

namespace {

constexpr qint64 kMd5ChunkSize = 1024 * 1024;

const QDir::SortFlags kByName = QDir::Name | QDir::IgnoreCase;

bool endsWithSeparator(const QString &path)
{
    return path.endsWith(QLatin1Char('/')) || path.endsWith(QLatin1Char('\\'));
}

// A path that is only a root ("/", "C:\") keeps its separator.
bool isRoot(const QString &path)
{
    return QDir(path).isRoot() && QDir::isAbsolutePath(path);
}

bool makeFolder(const QString &path)
{
    return QDir().mkpath(path);
}

} // namespace

bool FileUtils::exists(QString fileName)
{
    if (fileName.isEmpty())
        return false;
    return fileExists(normalizePath(fileName));
}

QString FileUtils::appDirPath()
{
    return QDir::toNativeSeparators(QCoreApplication::applicationDirPath());
}

bool FileUtils::isWritableFolder(const QString &path)
{
    // Only trying tells: permission bits do not bind root, and say nothing of ACLs or a
    // read-only medium.
    QTemporaryFile probe(QDir(path).filePath(QStringLiteral(".write-probe-XXXXXX")));
    probe.setAutoRemove(false);
    if (!probe.open())
        return false;
    probe.close();
    return probe.remove();
}

QString FileUtils::writableHomePath()
{
    static const QString home = [] {
        const QString program = appDirPath();
        const QString data = QDir::toNativeSeparators(
            QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation));
        if (data.isEmpty() || isWritableFolder(program))
            return program;
        // The shipped folder has an empty Log/ so that the first start's lines land; the data
        // folder gets one too, as the logger opens its file before the work folders are made.
        makeFolder(joinPath(data, zev::kLogFolder));
        return data;
    }();
    return home;
}

QString FileUtils::readablePath(const QString &folder, const QString &file)
{
    const QString besideProgram = joinPath(joinPath(appDirPath(), folder), file);
    if (fileExists(besideProgram))
        return besideProgram;
    return joinPath(joinPath(writableHomePath(), folder), file);
}

QString FileUtils::joinPath(const QString &a, const QString &b)
{
    const QString first = QDir::toNativeSeparators(a);
    const QString second = QDir::toNativeSeparators(b);
    const QChar separator = QDir::separator();
    const bool firstEnds = first.endsWith(separator);
    const bool secondStarts = second.startsWith(separator);
    if (firstEnds && secondStarts)
        return first + second.mid(1);
    if (firstEnds || secondStarts)
        return first + second;
    return first + separator + second;
}

QString FileUtils::configDirPath()
{
    return joinPath(appDirPath(), zev::kConfigFolder);
}

QString FileUtils::settingsDirPath()
{
    return joinPath(appDirPath(), zev::kSettingsFolder);
}

QString FileUtils::logDirPath()
{
    return joinPath(writableHomePath(), zev::kLogFolder);
}

QString FileUtils::languagesDirPath()
{
    return joinPath(appDirPath(), zev::kLanguagesFolder);
}

QString FileUtils::downloadDirPath(int kind)
{
    const QChar separator = QDir::separator();
    QString path = joinPath(writableHomePath(), zev::kDownloadFolder) + separator;
    const QString folder = zev::workFolderName(kind);
    if (!folder.isEmpty())
        path += folder + separator;
    return path;
}

QString FileUtils::normalizePath(const QString &path)
{
    if (QDir::isRelativePath(path)) {
        const QString programFolder
            = QFileInfo(QCoreApplication::applicationFilePath()).canonicalPath();
        return programFolder + QLatin1Char('/') + path;
    }
    if (endsWithSeparator(path) && !isRoot(path))
        return path.left(path.size() - 1);
    return path;
}

QString FileUtils::parentFolder(const QString &path)
{
    const QFileInfo info(path);
    if (path.isEmpty() || !info.exists())
        return QString();
    return QDir::toNativeSeparators(info.absolutePath());
}

QString FileUtils::fileNameOf(const QString &path)
{
    return QFileInfo(QDir::fromNativeSeparators(path)).fileName();
}

bool FileUtils::fileExists(const QString &path)
{
    return !path.isEmpty() && QFileInfo::exists(path);
}

bool FileUtils::ensureFolder(const QString &path)
{
    const QString folder = normalizePath(path);
    if (fileExists(folder))
        return true;
    return makeFolder(folder);
}

void FileUtils::prepareAppDirs()
{
    const QString download = joinPath(writableHomePath(), zev::kDownloadFolder);
    for (const QString &folder : { download, joinPath(download, zev::kFolder2M),
             joinPath(download, zev::kFolder5M), joinPath(writableHomePath(), zev::kConfigFolder),
             logDirPath() }) {
        if (!fileExists(folder))
            makeFolder(folder);
    }
}

void FileUtils::removeTree(const QString &entry)
{
    const QFileInfo info(entry);
    // A link is removed as a link: following it would empty a folder outside the tree.
    if (info.isSymLink() || !info.isDir()) {
        QFile::remove(entry);
        return;
    }
    QDir folder(entry);
    const QFileInfoList children
        = folder.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, kByName);
    for (const QFileInfo &child : children)
        removeTree(child.absoluteFilePath());
    folder.rmdir(folder.absolutePath());
}

void FileUtils::recreateFolder(const QString &path, bool makeAgain)
{
    const QString folder = normalizePath(path);
    removeTree(folder);
    if (makeAgain)
        makeFolder(folder);
}

void FileUtils::cleanFolderKeepZip(const QString &path)
{
    const QString target = normalizePath(path);
    const QFileInfo info(target);
    if (info.isSymLink() || !info.isDir()) {
        QFile::remove(target);
        return;
    }
    QDir folder(target);
    const QFileInfoList children
        = folder.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, kByName);
    const auto isZip = [](const QFileInfo &entry) {
        return entry.suffix().compare(QLatin1String("zip"), Qt::CaseInsensitive) == 0;
    };
    for (const QFileInfo &child : children) {
        if (isZip(child))
            continue;
        // A kept package keeps its signature, "<package>.minisig": reused without it, it would
        // be downloaded again.
        const QString name = child.fileName();
        if (name.endsWith(zev::kSignatureSuffix)) {
            const QFileInfo package(folder, name.chopped(zev::kSignatureSuffix.size()));
            if (isZip(package) && package.exists())
                continue;
        }
        removeTree(child.absoluteFilePath());
    }
    folder.rmdir(folder.absolutePath());
}

QFileInfoList FileUtils::listFilesRecursive(const QString &folder)
{
    QDir dir(folder);
    QFileInfoList result
        = dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::NoSymLinks, kByName);
    // Linked folders are not followed: a link back up the tree would never end.
    const QFileInfoList subFolders
        = dir.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, kByName);
    for (const QFileInfo &sub : subFolders)
        result += listFilesRecursive(sub.absoluteFilePath());
    return result;
}

QString FileUtils::findFileByNamePart(const QString &folder, const QString &part)
{
    QDir dir(folder);
    const QFileInfoList files = dir.entryInfoList(QDir::Files, kByName);
    for (const QFileInfo &file : files) {
        if (file.fileName().contains(part, Qt::CaseSensitive))
            return file.absoluteFilePath();
    }
    const QFileInfoList subFolders
        = dir.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, kByName);
    for (const QFileInfo &sub : subFolders) {
        const QString found = findFileByNamePart(sub.absoluteFilePath(), part);
        if (!found.isEmpty())
            return found;
    }
    return QString();
}

namespace {

bool inSkipList(const QString &bareName, const QFileInfoList &skipList)
{
    const QFileInfo candidate(bareName);
    for (const QFileInfo &entry : skipList) {
        if (candidate == entry)
            return true;
    }
    return false;
}

} // namespace

void FileUtils::copyTree(const QString &src, const QString &dst, const QFileInfoList &skipList)
{
    if (skipList.isEmpty() || src.isEmpty() || dst.isEmpty())
        return;

    QDir source(src);
    const QFileInfoList files = source.entryInfoList(QDir::Files, kByName);
    for (const QFileInfo &file : files) {
        const QString name = file.fileName();
        if (inSkipList(name, skipList))
            continue;
        if (!fileExists(dst))
            makeFolder(dst);
        QFile::copy(src + QLatin1Char('/') + name, dst + QLatin1Char('/') + name);
    }

    // A destination inside the source would otherwise be copied into itself without end.
    const QString destination = QFileInfo(dst).canonicalFilePath();
    const QFileInfoList subFolders
        = source.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, kByName);
    for (const QFileInfo &sub : subFolders) {
        const QString name = sub.fileName();
        if (inSkipList(name, skipList))
            continue;
        if (!destination.isEmpty() && sub.canonicalFilePath() == destination)
            continue;
        const QString subSource = src + QLatin1Char('/') + name;
        copyTree(subSource, dst + QLatin1Char('/') + name, listFilesRecursive(subSource));
    }
}

QString FileUtils::fileMd5(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return QString();
    QCryptographicHash hash(QCryptographicHash::Md5);
    // One buffer for the whole file keeps memory flat however large the package is.
    QByteArray buffer(int(kMd5ChunkSize), Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(buffer.data(), buffer.size());
        if (n < 0)
            return QString();
        if (n == 0)
            break;
        hash.addData(buffer.constData(), int(n));
    }
    return QString::fromLatin1(hash.result().toHex());
}

bool FileUtils::fileMatchesMd5(const QString &path, const QString &md5Hex)
{
    // An unreadable file gives no digest; it must never match an empty expected digest.
    const QString digest = fileMd5(path);
    if (digest.isEmpty() || md5Hex.isEmpty())
        return false;
    return digest.compare(md5Hex.trimmed(), Qt::CaseInsensitive) == 0;
}

bool FileUtils::findFileByMd5(const QString &folder, const QString &md5Hex, QString &out)
{
    for (const QFileInfo &file : listFilesRecursive(folder)) {
        out = file.absoluteFilePath();
        if (fileMatchesMd5(out, md5Hex))
            return true;
    }
    return false;
}

bool FileUtils::killProcessesByName(const QString &name)
{
    return platform::killProcessesByName(name.toStdString());
}
