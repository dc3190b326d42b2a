#include "ziphandler.h"

#include "applog.h"

#include <appconfig.h>
#include <constants.h>
#include <fileutils.h>
#include <packagesignature.h>

#include <JlCompress.h>
#include <quazip.h>

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QStorageInfo>

#include <limits>

namespace {

using utils::kPackageBroken;
using utils::kPackageMd5Mismatch;
using utils::kPackageSignatureBad;

const QString kApkPart = QStringLiteral(".apk");

// Names compared as the unpacking sees them: a zip made on Windows may use backslashes.
bool entryNameIsSafe(const QString &entryName)
{
    QString name = entryName;
    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')))
        return false;
    if (name.size() >= 2 && name.at(1) == QLatin1Char(':'))
        return false;
    const QStringList parts = name.split(QLatin1Char('/'));
    for (const QString &part : parts) {
        if (part == QLatin1String(".."))
            return false;
    }
    return true;
}

bool isInside(const QString &path, const QString &folder)
{
    const QString root = QDir::cleanPath(QFileInfo(folder).absoluteFilePath()) + QLatin1Char('/');
    const QString target = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    return target.startsWith(root);
}

// A package that cannot fit is refused before anything is written: a full disk would break the
// log, the report queue and the next download too.
bool fitsOnDisk(const QString &archive, const QString &folder)
{
    const qint64 needed = ZipHandler::declaredUnpackedSize(archive);
    if (needed < 0)
        return false;
    const qint64 available = QStorageInfo(folder).bytesAvailable();
    if (available < 0 || needed <= available)
        return true;
    qCDebug(lcApp, "The upgrade package needs %lld bytes unpacked, the disk has %lld bytes free.",
        static_cast<long long>(needed), static_cast<long long>(available));
    return false;
}

// A refused package and its signature leave the work folder, so that the next run fetches both
// again instead of finding them by the package's digest.
bool signatureVerified(const QString &package, const QStringList &trustedKeys)
{
    QList<trust::PublicKey> keys;
    for (const QString &text : trustedKeys) {
        if (const std::optional<trust::PublicKey> key = trust::parsePublicKey(text.toLatin1()))
            keys << *key;
        else
            qCDebug(
                lcApp, "A trusted key is no minisign public key: \"%s\".", qUtf8Printable(text));
    }
    const QString signature = package + zev::kSignatureSuffix;
    const trust::Result result = trust::verifyFile(package, signature, keys);
    const QString keyId = result.keyId.isEmpty() ? QStringLiteral("none") : result.keyId;
    if (result.verdict == trust::Verdict::Verified) {
        qCDebug(lcApp, "Package signature verified, key id %s, trusted comment: %s",
            qUtf8Printable(keyId), result.trustedComment.constData());
        return true;
    }
    qCDebug(lcApp, "Package refused: %s, key id %s: %s", trust::verdictText(result.verdict),
        qUtf8Printable(keyId), qUtf8Printable(package));
    QFile::remove(package);
    QFile::remove(signature);
    return false;
}

} // namespace

ZipHandler::ZipHandler(QObject *parent)
    : QObject(parent)
{
}

bool ZipHandler::archiveStaysInside(const QString &archive)
{
    QuaZip zip(archive);
    if (!zip.open(QuaZip::mdUnzip))
        return false;
    const QList<QuaZipFileInfo64> entries = zip.getFileInfoList64();
    const bool readable = zip.getZipError() == UNZ_OK;
    zip.close();
    if (!readable)
        return false;
    for (const QuaZipFileInfo64 &entry : entries) {
        // The archive library recreates link entries as links: a file unpacked through one
        // would land wherever the link points. A package has no use for links.
        if (!entryNameIsSafe(entry.name) || entry.isSymbolicLink())
            return false;
    }
    return true;
}

qint64 ZipHandler::declaredUnpackedSize(const QString &archive)
{
    QuaZip zip(archive);
    if (!zip.open(QuaZip::mdUnzip))
        return -1;
    const QList<QuaZipFileInfo64> entries = zip.getFileInfoList64();
    const bool readable = zip.getZipError() == UNZ_OK;
    zip.close();
    if (!readable)
        return -1;
    constexpr quint64 most = std::numeric_limits<qint64>::max();
    quint64 total = 0;
    for (const QuaZipFileInfo64 &entry : entries) {
        if (entry.uncompressedSize > most - total)
            return static_cast<qint64>(most);
        total += entry.uncompressedSize;
    }
    return static_cast<qint64>(total);
}

void ZipHandler::slotExtractZip(QString fileName, QString qsMD5, int type)
{
    Q_UNUSED(type)
    utils::ZEVErrorPtr error = utils::makeError();
    QList<AppPtr> apps;

    if (!FileUtils::fileMatchesMd5(fileName, qsMD5)) {
        error->setErrorCode(kPackageMd5Mismatch);
        emit sigExtractZipDone(apps, error);
        return;
    }

    const AppConfig config = readAppConfig();
    if (!config.trustedKeys.isEmpty() && !signatureVerified(fileName, config.trustedKeys)) {
        error->setErrorCode(kPackageSignatureBad);
        emit sigExtractZipDone(apps, error);
        return;
    }
    const bool english = config.region.compare(QLatin1String("en"), Qt::CaseInsensitive) == 0;
    const QString languageKey = english ? QStringLiteral("EnglishChat") : QStringLiteral("iflytek");

    const QString unpackFolder = FileUtils::parentFolder(fileName);
    QStringList unpacked;
    if (!unpackFolder.isEmpty() && archiveStaysInside(fileName)
        && fitsOnDisk(fileName, unpackFolder))
        unpacked = JlCompress::extractDir(fileName, unpackFolder);
    for (const QString &path : qAsConst(unpacked)) {
        // Whatever the archive library made of a name, nothing may have landed elsewhere.
        if (!isInside(path, unpackFolder)) {
            unpacked.clear();
            break;
        }
    }
    if (unpacked.isEmpty()) {
        error->setErrorCode(kPackageBroken);
        emit sigExtractZipDone(apps, error);
        return;
    }

    const QString firstApk = FileUtils::findFileByNamePart(unpackFolder, kApkPart);
    if (firstApk.isEmpty())
        error->setErrorCode(kPackageBroken);
    const QString apkFolder = QFileInfo(firstApk).absolutePath();
    const QFileInfoList files
        = firstApk.isEmpty() ? QFileInfoList() : FileUtils::listFilesRecursive(apkFolder);
    if (!firstApk.isEmpty())
        FileUtils::copyTree(apkFolder, unpackFolder, files);

    QSet<QString> specialNames;
    for (const QFileInfo &file : files) {
        const QString name = file.fileName();
        if (!name.endsWith(kApkPart, Qt::CaseSensitive) || specialNames.contains(name))
            continue;
        auto app = std::make_shared<App>();
        app->name = name;
        const QString path = file.filePath();
        // QProcess splits the install command line: a double quote inside the name is written
        // as three, or it would end the quoted path early.
        const auto quoted = [](QString text) {
            text.replace(QLatin1Char('"'), QLatin1String("\"\"\""));
            return QLatin1Char('"') + text + QLatin1Char('"');
        };
        if (name.contains(QLatin1String("Service"), Qt::CaseInsensitive)) {
            app->id = AppKindMainService;
            app->packageName = config.mainServicePackage;
            app->mainActivity = config.mainServiceActivity;
            app->number = 1;
            app->apkPath = quoted(path);
            specialNames.insert(name);
            apps.append(app);
        } else if (name.contains(QLatin1String("camera"), Qt::CaseInsensitive)) {
            app->id = AppKindCamera;
            app->packageName = QStringLiteral("com.norvik.smartcamera");
            app->number = 1;
            app->apkPath = quoted(path);
            specialNames.insert(name);
            apps.prepend(app);
        } else if (name.contains(languageKey, Qt::CaseInsensitive)) {
            app->id = AppKindLanguage;
            app->packageName = english ? QStringLiteral("com.norvikinc.tarvoenglishchat")
                                       : QStringLiteral("com.norvik.iflytekmix");
            app->number = 1;
            app->apkPath = quoted(QDir::toNativeSeparators(path));
            specialNames.insert(name);
            apps.prepend(app);
        } else {
            app->id = AppKindOther;
            app->apkPath = quoted(path);
            apps.append(app);
        }
    }
    emit sigExtractZipDone(apps, error);
}
