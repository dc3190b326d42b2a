#include "adbpushfileworker.h"

#include "adblog.h"
#include "adbparsers.h"
#include "adbsteplimit.h"

#include <fileutils.h>
#include <logger.h>

#include <QDir>
#include <QFileInfo>

namespace {

const QString remoteRoot = QStringLiteral("/sdcard/actions/");

} // namespace

AdbPushFileWorker::AdbPushFileWorker(QObject *parent)
    : AdbWorker(parent)
{
}

void AdbPushFileWorker::collectFiles(const QString &folder, QStringList &files) const
{
    const QDir dir(folder);
    const QDir::SortFlags order = QDir::Name | QDir::IgnoreCase;
    const QFileInfoList own
        = dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::NoSymLinks, order);
    for (const QFileInfo &file : own)
        files.append(QDir::toNativeSeparators(file.absoluteFilePath()));
    // Linked folders are left out: a link back up the tree would never end.
    const QFileInfoList subfolders
        = dir.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, order);
    for (const QFileInfo &subfolder : subfolders)
        collectFiles(subfolder.absoluteFilePath(), files);
}

void AdbPushFileWorker::prepareCommands()
{
    totalFiles = 0;
    commands.clear();
    folders.clear();

    const QString source = rootPath + QStringLiteral("actions") + QDir::separator();
    if (FileUtils::exists(source))
        folders.append(source);
    else
        Logger::instance()->error(QStringLiteral("Didn't find actions folder!"));

    for (const QString &folder : qAsConst(folders)) {
        commands.append(sdk + QStringLiteral(" shell mkdir ") + remoteRoot);
        QStringList files;
        collectFiles(folder, files);
        for (const QString &path : qAsConst(files)) {
            const QString parent = QFileInfo(path).absoluteDir().dirName();
            const QString quotedPath = adbparse::commandLineQuoted(path);
            QString command;
            if (parent.contains(QLatin1String("actions"), Qt::CaseInsensitive)) {
                command = sdk + QStringLiteral(" push ") + quotedPath + QStringLiteral("  ")
                    + remoteRoot;
            } else {
                // The folder name goes to the robot's shell in mkdir; push takes it verbatim.
                commands.append(sdk + QStringLiteral(" shell mkdir ")
                    + adbparse::commandLineWord(adbparse::robotShellPath(remoteRoot, parent)));
                command = sdk + QStringLiteral(" push ") + quotedPath + QStringLiteral("  ")
                    + adbparse::commandLineWord(remoteRoot + parent);
            }
            pushTargets[command] = path;
            commands.append(command);
            ++totalFiles;
        }
    }
}

void AdbPushFileWorker::slotPushFiles(QString folder)
{
    Logger *log = Logger::instance();
    utils::ZEVErrorPtr error = utils::makeError();
    if (!stillRunning(*error)) {
        emit sigPushFilesFinished(error);
        return;
    }

    rootPath = folder;
    prepareCommands();
    if (commands.isEmpty()) {
        log->error(QStringLiteral("adb push actions failure, please check the actions folder!"));
        error->setErrorCode(utils::kNoActionFiles);
        emit sigPushFilesFinished(error);
        return;
    }

    int done = 0;
    int failed = 0;
    bool stopped = false;
    while (!commands.isEmpty()) {
        const QString command = commands.takeFirst();
        const auto target = pushTargets.constFind(command);
        const bool isPush = target != pushTargets.cend();
        const QString name = isPush ? QFileInfo(target.value()).fileName() : QString();
        const adblimit::StepClock clock(
            isPush ? adblimit::pushMs(QFileInfo(target.value()).size()) : adblimit::kShellMs);
        const QString out = runCommand(command, clock.limit(), Channels::Merged);
        // A robot that lets one command run out of time would let every later one do the same.
        if (clock.ranOut(command)) {
            qCDebug(lcAdb, "adb push actions stopped, return str: [ %s ]",
                qUtf8Printable(removeCrLf(out)));
            ++failed;
            stopped = !isRunning();
            break;
        }
        if (!isPush)
            continue;
        if (adbparse::pushArrived(out)) {
            ++done;
            emit sigPushOneFileFinished(name, utils::makeError(), done, totalFiles);
        } else {
            qCDebug(lcAdb, "adb push [ %s ] failed, return str: [ %s ]", qUtf8Printable(name),
                qUtf8Printable(removeCrLf(out)));
            ++failed;
            if (!command.contains(QLatin1String("mkdir")) && !isRunning()) {
                stopped = true;
                break;
            }
        }
    }
    log->warning(QStringLiteral("adb push actions finished files total: [ %1 ] successed : [ %2 ]")
                     .arg(totalFiles)
                     .arg(done));
    // A file that did not arrive is a failed copy, not a success to be found by counting.
    if (stopped)
        error->setErrorCode(utils::kUsbDisconnected);
    else if (failed > 0)
        error->setErrorCode(utils::kActionPushFailed);
    emit sigPushFilesFinished(error);
}
