#pragma once

// One whole-upgrade test case against the real dialog: the simulated robot, umockdev's USB
// testbed, the web service, the day's log and every modal box answered. Shared by the workflow
// suite and the fault matrix; each of their cases starts with begin() and ends with end().

#include "dialogharness.h"

#include "tarvo2_upgradetool.h"

#include <fileutils.h>
#include <logger.h>
#include <zeverror.h>

#include <QtTest>
#include <QtWidgets>

namespace dialogharness {

class UpgradeCase
{
public:
    // For initTestCase: an empty text when the machine has what the cases need.
    static QString prepare()
    {
        if (!QFile::exists(QStringLiteral("/usr/bin/adb")) || !QFile::exists(SimRobot::python()))
            return QStringLiteral("Debian's adb or python3 is not installed");
        qRegisterMetaType<AppPtr>("AppPtr");
        qRegisterMetaType<utils::ZEVErrorPtr>("utils::ZEVErrorPtr");
        qRegisterMetaType<RobotTarvo2Ptr>("RobotTarvo2Ptr");
        qRegisterMetaType<QList<AppPtr>>("QList<AppPtr>");
        return QString();
    }

    // For initTestCase, after prepare(): false with a reason in the test's log.
    static bool installProgram()
    {
        if (!QFile::exists(SimRobot::simctl())) {
            qWarning("no simulator at %s", qPrintable(SimRobot::simctl()));
            return false;
        }
        return installAdbWrapper() && QDir().mkpath(FileUtils::logDirPath());
    }

    bool begin()
    {
        dir = new QTemporaryDir;
        testbed = umockdev_testbed_new();
        FileUtils::removeTree(FileUtils::appDirPath() + QStringLiteral("/download"));
        // Reports an earlier case could not deliver (its web service is gone) would be sent first.
        QFile::remove(FileUtils::appDirPath() + QStringLiteral("/pending_reports.json"));
        boxes = new BoxAnswerer;
        todaysLog.mark();
        return dir->isValid() && testbed;
    }

    void end()
    {
        delete dialog;
        dialog = nullptr;
        delete boxes;
        boxes = nullptr;
        killAdbServer();
        sim.stop();
        for (const QString &fixture : qAsConst(plugged))
            usbfixture::unplug(testbed, fixture);
        plugged.clear();
        g_object_unref(testbed);
        testbed = nullptr;
        delete dir;
        dir = nullptr;
    }

    bool startSim(const QJsonObject &scenario) { return sim.start(scenario, dir->path()); }
    bool writeConfig(const QString &region = QString(), const QStringList &trustedKeys = {},
        const QString &caFile = QString())
    {
        return dialogharness::writeConfig(sim.webUrl(), region, trustedKeys, caFile);
    }

    bool plug(const QString &fixture)
    {
        if (!usbfixture::plug(testbed, fixture))
            return false;
        plugged << fixture;
        return true;
    }
    void unplug(const QString &fixture)
    {
        usbfixture::unplug(testbed, fixture);
        plugged.removeAll(fixture);
    }

    Tarvo2_UpgradeTool *makeDialog()
    {
        if (!dialog) {
            dialog = new Tarvo2_UpgradeTool;
            dialog->show();
        }
        return dialog;
    }

    // Makes the dialog on first use, then clicks its start button.
    bool pressStart()
    {
        makeDialog();
        auto *start = dialog->findChild<QPushButton *>(QStringLiteral("pbStartUpgrade"));
        if (!start || !start->isEnabled())
            return false;
        QTest::mouseClick(start, Qt::LeftButton);
        return true;
    }

    // Until `count` boxes have shown. A second finish would come from the same turn of the
    // dialog's queued answers, within milliseconds: 300 ms give it room on a busy machine.
    bool waitForBoxes(int count, int timeoutMs = 120000)
    {
        if (!QTest::qWaitFor([&] { return boxes->boxes.size() >= count; }, timeoutMs))
            return false;
        static_cast<void>(QTest::qWaitFor([&] { return boxes->boxes.size() > count; }, 300));
        return true;
    }

    QString newLog() const { return todaysLog.added(); }
    static QString messageText(int code) { return utils::ZEVError::messageTextForCode(code); }

    UMockdevTestbed *testbed = nullptr;
    QTemporaryDir *dir = nullptr;
    SimRobot sim;
    LogTail todaysLog;
    Tarvo2_UpgradeTool *dialog = nullptr;
    BoxAnswerer *boxes = nullptr;

private:
    QStringList plugged;
};

} // namespace dialogharness
