#pragma once

#include <QList>
#include <QMetaType>
#include <QString>

#include <memory>

// One Android application of the upgrade package, or one package found on the robot.
class App
{
public:
    int id = 4; // 1 marks the robot's main service
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
