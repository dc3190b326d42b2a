#include "tarvo2_upgradetool.h"
#include "windowsize.h"

#include "fileutils.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSet>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>

#include "../support/boxanswerer.h"

#ifdef Q_OS_WIN
#include "../support/devicebroadcast.h"
#endif

// One answer of a library to the dialog.
using Answer = std::function<void(Tarvo2_UpgradeTool &)>;
Q_DECLARE_METATYPE(Answer)

// The dialog shell under the offscreen platform. The test binary has a folder of its own, which
// the dialog treats as the program folder (work folders, Log/).
class TestDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void initialState();
    void escapeDoesNothing();
    void windowSize_data();
    void windowSize();
    void realSizeFollowsScreen();
    void dragging();
    void closeWhileIdle();
    void closeWhileTaskRunning_data();
    void closeWhileTaskRunning();
    void closeButtonCloses();
    void workFoldersCleanedAndPrepared();
    void adbPathLogged();
    void deletedDialogIsNotHandedOut();
    void progressCapBelowFull();
    void finishWithoutAnErrorObject_data();
    void finishWithoutAnErrorObject();
#ifdef Q_OS_WIN
    void hitTest_data();
    void hitTest();
    void deviceChangeReachesTheDialog();
#endif

private:
    static void setTaskRunning(Tarvo2_UpgradeTool &dialog, bool running)
    {
        dialog.taskRunning = running;
    }
    static QString appDir()
    {
        return QCoreApplication::applicationDirPath();
    }
    static void touch(const QString &path)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("x");
    }
};

void TestDialog::initTestCase()
{
    // The logger writes only into an existing folder; make it before the first line.
    QVERIFY(QDir(appDir()).mkpath(QStringLiteral("Log")));
}

void TestDialog::initialState()
{
    Tarvo2_UpgradeTool dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    auto *stack = dialog.findChild<QStackedWidget *>(QStringLiteral("stackedWidget"));
    QVERIFY(stack);
    QCOMPARE(stack->count(), 3);
    QCOMPARE(stack->widget(0)->objectName(), QStringLiteral("startWidget"));
    QCOMPARE(stack->widget(1)->objectName(), QStringLiteral("downloadWidget"));
    QCOMPARE(stack->widget(2)->objectName(), QStringLiteral("installAppWidget"));
    QCOMPARE(stack->currentIndex(), 0);

    QVERIFY(dialog.findChild<QLabel *>(QStringLiteral("versionLabel"))->isHidden());
    QVERIFY(dialog.findChild<QComboBox *>(QStringLiteral("versionComb"))->isHidden());
    QVERIFY(dialog.findChild<QPushButton *>(QStringLiteral("pbStartUpgrade"))->isVisible());

    for (const char *name : { "downloadProgressBar", "installProgressBar" })
        QCOMPARE(dialog.findChild<QProgressBar *>(QLatin1String(name))->value(), 0);
    // The notices are read-only text, not fields the user could type into.
    for (const char *name : { "textEdit", "textEdit_2", "textEdit_3" })
        QVERIFY2(!dialog.findChild<QTextEdit *>(QLatin1String(name))->isEnabled(), name);
    QCOMPARE(dialog.minimumSize(), QSize(400, 100));
    QCOMPARE(dialog.maximumSize(), QSize(700, 400));
}

void TestDialog::escapeDoesNothing()
{
    Tarvo2_UpgradeTool dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QSignalSpy rejected(&dialog, &QDialog::rejected);
    QSignalSpy finished(&dialog, &QDialog::finished);
    QVERIFY(rejected.isValid());
    QVERIFY(finished.isValid());

    QTest::keyClick(&dialog, Qt::Key_Escape);
    QCoreApplication::processEvents();

    QVERIFY(dialog.isVisible());
    QCOMPARE(rejected.count(), 0);
    QCOMPARE(finished.count(), 0);

    // A plain dialog in the same place does close on Escape.
    QDialog plain;
    plain.show();
    QVERIFY(QTest::qWaitForWindowExposed(&plain));
    QSignalSpy plainRejected(&plain, &QDialog::rejected);
    QTest::keyClick(&plain, Qt::Key_Escape);
    QCOMPARE(plainRejected.count(), 1);
}

void TestDialog::windowSize_data()
{
    QTest::addColumn<QSize>("available");
    QTest::addColumn<QSize>("expected");

    QTest::newRow("1920x1040 computes 1066x577, clipped") << QSize(1920, 1040) << QSize(700, 400);
    QTest::newRow("exactly the maximum") << QSize(1260, 720) << QSize(700, 400);
    QTest::newRow("width clipped, height kept") << QSize(1600, 700) << QSize(700, 388);
    QTest::newRow("800x600 truncated") << QSize(800, 600) << QSize(444, 333);
    QTest::newRow("1000x500 truncated") << QSize(1000, 500) << QSize(555, 277);
    QTest::newRow("tiny screen raised to the minimum") << QSize(500, 150) << QSize(400, 100);
}

void TestDialog::windowSize()
{
    QFETCH(QSize, available);
    QFETCH(QSize, expected);
    QCOMPARE(mainWindowSize(available, QSize(400, 100), QSize(700, 400)), expected);
}

void TestDialog::realSizeFollowsScreen()
{
    Tarvo2_UpgradeTool dialog;
    const QSize available = QGuiApplication::primaryScreen()->availableGeometry().size();
    QCOMPARE(dialog.size(), mainWindowSize(available, QSize(400, 100), QSize(700, 400)));
    // The offscreen screen is 800x600, so the rule (not the form's 700x400) decides here.
    if (available == QSize(800, 600))
        QCOMPARE(dialog.size(), QSize(444, 333));
}

void TestDialog::dragging()
{
    Tarvo2_UpgradeTool dialog;
    dialog.move(100, 100);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    const QPoint start = dialog.pos();

    auto send = [&dialog](QEvent::Type type, const QPoint &local, Qt::MouseButton button,
                    Qt::MouseButtons buttons) {
        QMouseEvent event(type, local, dialog.mapToGlobal(local), button, buttons, Qt::NoModifier);
        QCoreApplication::sendEvent(&dialog, &event);
    };
    // Global positions are taken at the press; later moves are relative to it.
    const QPoint pressLocal(10, 10);
    const QPoint pressGlobal = dialog.mapToGlobal(pressLocal);
    auto moveTo = [&dialog, &pressGlobal](const QPoint &local, const QPoint &globalDelta) {
        QMouseEvent event(QEvent::MouseMove, local, pressGlobal + globalDelta, Qt::NoButton,
            Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(&dialog, &event);
    };

    send(QEvent::MouseButtonPress, pressLocal, Qt::LeftButton, Qt::LeftButton);
    moveTo(QPoint(40, 30), QPoint(30, 20));
    QCOMPARE(dialog.pos(), start + QPoint(30, 20));

    // Below the title area the window stays, but the drag goes on.
    moveTo(QPoint(40, 46), QPoint(60, 60));
    QCOMPARE(dialog.pos(), start + QPoint(30, 20));
    moveTo(QPoint(40, 45), QPoint(50, 35));
    QCOMPARE(dialog.pos(), start + QPoint(50, 35));

    send(QEvent::MouseButtonRelease, QPoint(40, 45), Qt::LeftButton, Qt::NoButton);
    moveTo(QPoint(40, 20), QPoint(90, 90));
    QCOMPARE(dialog.pos(), start + QPoint(50, 35));

    // Only the left button starts a drag.
    const QPoint before = dialog.pos();
    send(QEvent::MouseButtonPress, pressLocal, Qt::RightButton, Qt::RightButton);
    moveTo(QPoint(20, 20), QPoint(15, 15));
    QCOMPARE(dialog.pos(), before);
}

void TestDialog::closeWhileIdle()
{
    Tarvo2_UpgradeTool dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QVERIFY(dialog.close());
    QVERIFY(!dialog.isVisible());
}

void TestDialog::closeWhileTaskRunning_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<bool>("closes");
    QTest::newRow("No keeps the dialog") << "No" << false;
    QTest::newRow("Yes closes it") << "Yes" << true;
}

void TestDialog::closeWhileTaskRunning()
{
    QFETCH(QString, answer);
    QFETCH(bool, closes);

    Tarvo2_UpgradeTool dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    setTaskRunning(dialog, true);

    dialogharness::BoxAnswerer boxes;
    boxes.answers[QStringLiteral("Exit")] << answer;
    const bool closed = dialog.close();

    QCOMPARE(boxes.boxes.size(), 1);
    const dialogharness::BoxRecord &box = boxes.boxes.first();
    QCOMPARE(box.title, QStringLiteral("Exit"));
    QCOMPARE(box.text, QStringLiteral("A task is running , end the operation and exit?"));
    QCOMPARE(box.answer, answer);
    QCOMPARE(QSet<QString>(box.buttons.begin(), box.buttons.end()),
        (QSet<QString> { QStringLiteral("No"), QStringLiteral("Yes") }));
    QCOMPARE(closed, closes);
    QCOMPARE(dialog.isVisible(), !closes);
}

void TestDialog::closeButtonCloses()
{
    Tarvo2_UpgradeTool dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::mouseClick(dialog.findChild<QPushButton *>(QStringLiteral("btn_close")), Qt::LeftButton);
    QTRY_VERIFY(!dialog.isVisible());
}

void TestDialog::workFoldersCleanedAndPrepared()
{
    const QString folder2M = FileUtils::downloadDirPath(0);
    const QString folder5M = FileUtils::downloadDirPath(1);
    QDir(FileUtils::joinPath(appDir(), QStringLiteral("download"))).removeRecursively();
    QDir(FileUtils::joinPath(appDir(), QStringLiteral("config"))).removeRecursively();

    touch(folder2M + QStringLiteral("package.zip"));
    touch(folder2M + QStringLiteral("left-over.txt"));
    touch(folder5M + QStringLiteral("unpacked/app.apk"));
    touch(FileUtils::downloadDirPath(255) + QStringLiteral("kept.bin"));

    {
        Tarvo2_UpgradeTool dialog;
        QVERIFY(QFile::exists(folder2M + QStringLiteral("package.zip")));
        QVERIFY(!QFile::exists(folder2M + QStringLiteral("left-over.txt")));
        QVERIFY(!QFile::exists(folder5M + QStringLiteral("unpacked")));
        // A folder left empty by the cleaning is made again.
        QVERIFY(QFileInfo(folder5M).isDir());
        QVERIFY(QFile::exists(FileUtils::downloadDirPath(255) + QStringLiteral("kept.bin")));
        QVERIFY(QFileInfo(FileUtils::joinPath(appDir(), QStringLiteral("config"))).isDir());
        QVERIFY(QFileInfo(FileUtils::joinPath(appDir(), QStringLiteral("Log"))).isDir());

        touch(folder5M + QStringLiteral("during-run.txt"));
    }
    // The destructor cleans again and leaves both folders in place.
    QVERIFY(!QFile::exists(folder5M + QStringLiteral("during-run.txt")));
    QVERIFY(QFileInfo(folder5M).isDir());
    QVERIFY(QFileInfo(folder2M).isDir());
    QVERIFY(QFile::exists(folder2M + QStringLiteral("package.zip")));
}

void TestDialog::adbPathLogged()
{
    const QString logPath = FileUtils::joinPath(FileUtils::logDirPath(),
        QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral(".log"));
    QFile log(logPath);
    const qint64 before = log.exists() ? log.size() : 0;
    {
        Tarvo2_UpgradeTool dialog;
    }
    QVERIFY2(log.open(QIODevice::ReadOnly), qPrintable(logPath));
    log.seek(before);
    const QString written = QString::fromLocal8Bit(log.readAll());
#ifdef Q_OS_WIN
    const QString adb
        = QDir::toNativeSeparators(appDir() + QStringLiteral("/fastbootfile/adb.exe"));
#else
    const QString adb = QDir::toNativeSeparators(appDir() + QStringLiteral("/fastbootfile/adb"));
#endif
    const QRegularExpression line(
        QStringLiteral(
            "^\\[TarvoRobot::Info \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\] adb path:")
            + QRegularExpression::escape(adb) + QStringLiteral("\\.\\r?$"),
        QRegularExpression::MultilineOption);
    QVERIFY2(line.match(written).hasMatch(), qPrintable(written));
}

// Deleted directly rather than released (the life cycle itself is the singleton's, tested with
// it), the dialog must not be handed out again.
void TestDialog::deletedDialogIsNotHandedOut()
{
    delete Tarvo2_UpgradeTool::instance();
    QVERIFY(!Tarvo2_UpgradeTool::s_pInstance);
}

// The simulated bar stops short of 100 whatever second of the day drew its cap.
void TestDialog::progressCapBelowFull()
{
    for (quint32 seconds : { 0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 43200u, 86399u }) {
        const int cap = Tarvo2_UpgradeTool::progressCapForSeed(seconds);
        QVERIFY2(cap >= 95 && cap <= 99, qPrintable(QString::number(seconds)));
    }
}

void TestDialog::finishWithoutAnErrorObject_data()
{
    QTest::addColumn<Answer>("answer");
    QTest::newRow("base information without its record")
        << Answer([](Tarvo2_UpgradeTool &d) { d.onGetRobotBaseInfo(nullptr, utils::makeError()); });
    QTest::newRow("newest package") << Answer([](Tarvo2_UpgradeTool &d) {
        const auto answer = std::make_shared<UpgRespData>();
        answer->valid = true;
        answer->downloadUrl = QStringLiteral("http://127.0.0.1:1/p.zip");
        d.onUpgradeInfo(answer, nullptr);
    });
    QTest::newRow("download") << Answer(
        [](Tarvo2_UpgradeTool &d) { d.onTaskFinished(10, 10, "p.zip", nullptr); });
    QTest::newRow("push") << Answer([](Tarvo2_UpgradeTool &d) { d.onPushFilesFinished(nullptr); });
}

// A step's answer without an error object, or base information with code 0 but no record, ends
// in one failure with 99999: never "Success", nor a code that would name a cause.
void TestDialog::finishWithoutAnErrorObject()
{
    QFETCH(Answer, answer);
    Tarvo2_UpgradeTool dialog;
    dialogharness::BoxAnswerer boxes;
    answer(dialog);
    QCOMPARE(boxes.boxes.size(), 1);
    QCOMPARE(boxes.boxes.first().title, QStringLiteral("Failure"));
    QCOMPARE(boxes.boxes.first().text, utils::ZEVError::messageTextForCode(utils::kUnknownError));
}

#ifdef Q_OS_WIN
// The messages Windows itself sends to the dialog's window, through the real platform plugin (the
// test program's second run; the first is offscreen).
static bool windowsPlatform()
{
    return QGuiApplication::platformName() == QLatin1String("windows");
}

void TestDialog::hitTest_data()
{
    QTest::addColumn<QString>("widget");
    QTest::addColumn<qint64>("expected");
    // The title bar moves the window; over a button the system's own answer stands.
    QTest::newRow("title bar") << QStringLiteral("titleBar") << qint64(HTCAPTION);
    QTest::newRow("start button") << QStringLiteral("pbStartUpgrade") << qint64(HTCLIENT);
}

void TestDialog::hitTest()
{
    QFETCH(QString, widget);
    QFETCH(qint64, expected);
    if (!windowsPlatform())
        QSKIP("runs with the Windows platform plugin");
    Tarvo2_UpgradeTool dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    auto *target = dialog.findChild<QWidget *>(widget);
    QVERIFY(target);
    // A point where the widget itself is the topmost child, not a label on it.
    QPoint local(-1, -1);
    for (int y = 0; y < target->height() && local.x() < 0; y += 2) {
        for (int x = 0; x < target->width(); x += 2) {
            if (dialog.childAt(target->mapTo(&dialog, QPoint(x, y))) == target) {
                local = QPoint(x, y);
                break;
            }
        }
    }
    QVERIFY(local.x() >= 0);
    const QPoint screen = target->mapToGlobal(local);
    const LRESULT result = SendMessageW(reinterpret_cast<HWND>(dialog.winId()), WM_NCHITTEST, 0,
        MAKELPARAM(screen.x(), screen.y()));
    QCOMPARE(qint64(result), expected);
}

void TestDialog::deviceChangeReachesTheDialog()
{
    if (!windowsPlatform())
        QSKIP("runs with the Windows platform plugin");
    Tarvo2_UpgradeTool dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    std::vector<char> bytes = deviceBroadcast(QStringLiteral(
        "\\\\?\\USB#VID_2207&PID_0011#0123456789#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"));
    const HWND window = reinterpret_cast<HWND>(dialog.winId());
    const LPARAM data = reinterpret_cast<LPARAM>(bytes.data());

    SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, data);
    QVERIFY(dialog.isUsbConnected());
    QCOMPARE(dialog.currentRobotType(), 1);
    QVERIFY(dialog.currentWorkDir().endsWith(QStringLiteral("5M") + QDir::separator()));

    // Pulled during a step that shows progress: the workflow's removal path stops the progress.
    dialog.stepState = StepState::PushingFiles;
    dialog.progressTimer.start(1000);
    SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, data);
    QVERIFY(!dialog.isUsbConnected());
    QVERIFY(!dialog.progressTimer.isActive());
    dialog.stepState = StepState::Idle;
}
#endif

QTEST_MAIN(TestDialog)
#include "tst_dialog.moc"
