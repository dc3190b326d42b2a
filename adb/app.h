#pragma once

#include <QList>
#include <QMetaType>
#include <QString>

#include <memory>

// What an application of the package is (App::id), told by its file name. The main service is
// installed even after a stop request and restarted afterwards.
enum AppKind : int {
    AppKindMainService = 1,
    AppKindCamera = 2,
    AppKindLanguage = 3,
    AppKindOther = 4,
};

// One Android application of the upgrade package, or one package found on the robot.
class App
{
public:
    int id = AppKindOther;
    QString name;
    QString version;
    QString lastVersion;
    QString location;
    QString updateDate;
    QString apkPath; // full local path in double quotes, as it goes on the install command line
    QString packageName;
    QString mainActivity;
    int number = 0;
    bool keepData = false;
};

using AppPtr = std::shared_ptr<App>;

Q_DECLARE_METATYPE(AppPtr)
