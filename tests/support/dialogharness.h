#pragma once

// The main dialog in process against the simulated robot: the simulator started and stopped
// (simrobot.h), the adb program beside the dialog, the web service's address in its
// config.json, the day's log, every modal box answered and recorded, and the start-up under
// umockdev's preload library.

#include "boxanswerer.h"
#include "simrobot.h"
#include "usbfixture.h"

#include <fileutils.h>

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

namespace dialogharness {

// The dialog finds the web service through config.json; `region` sets its systemLanguage.
inline bool writeConfig(const QString &webUrl, const QString &region = QString(),
    const QStringList &trustedKeys = {}, const QString &caFile = QString())
{
    if (!QDir().mkpath(FileUtils::configDirPath()))
        return false;
    QJsonObject config { { QStringLiteral("default_request_url"), webUrl } };
    if (!caFile.isEmpty())
        config.insert(QStringLiteral("ca_file"), caFile);
    if (!region.isEmpty())
        config.insert(QStringLiteral("systemLanguage"), region);
    if (!trustedKeys.isEmpty())
        config.insert(QStringLiteral("trusted_keys"), QJsonArray::fromStringList(trustedKeys));
    QFile file(FileUtils::configDirPath() + QStringLiteral("/config.json"));
    return file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(config).toJson()) > 0;
}

// What the day's log gains from a mark on.
class LogTail
{
public:
    static QString path()
    {
        return FileUtils::logDirPath() + QLatin1Char('/')
            + QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral(".log");
    }
    void mark()
    {
        const QFileInfo log(path());
        offset = log.exists() ? log.size() : 0;
    }
    QString added() const
    {
        QFile log(path());
        if (!log.open(QIODevice::ReadOnly) || !log.seek(offset))
            return QString();
        return QString::fromUtf8(log.readAll());
    }

private:
    qint64 offset = 0;
};

// libusb must see the testbed, so the test runs with umockdev's preload library: started without
// it, it starts itself again with it, with a HOME of its own and its own adb server port (unless
// one is set). Returns only when it is already under the preload (true) or could not start again.
inline bool underUmockdev(char **argv, const char *name, const char *adbServerPort)
{
    if (usbfixture::preloaded())
        return true;
    if (ownAdbServer(name, adbServerPort))
        usbfixture::restartPreloaded(argv);
    return false;
}

} // namespace dialogharness
