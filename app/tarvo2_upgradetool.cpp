#include "tarvo2_upgradetool.h"
#include "ui_tarvo2_upgradetool.h"

#include "adbconductor.h"
#include "fileutils.h"
#include "logger.h"
#include "platform.h"
#include "windowsize.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMouseEvent>
#include <QMutex>
#include <QMutexLocker>
#include <QPainter>
#include <QScreen>
#include <QStyleOption>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

constexpr int kUnknownRobotType = 255;
constexpr int kDragAreaHeight = 45;

} // namespace

Tarvo2_UpgradeTool::Tarvo2_UpgradeTool(QWidget *parent)
    : QDialog(parent)
    , ui(std::make_unique<Ui::Tarvo2_UpgradeToolClass>())
    , stateMutex(new QMutex(QMutex::Recursive))
    , robotMutex(new QMutex(QMutex::Recursive))
{
    ui->setupUi(this);
    applyStyleSheet();
    ui->stackedWidget->setCurrentIndex(currentPage);
    ui->pbStartUpgrade->setCursor(Qt::PointingHandCursor);
    ui->versionLabel->hide();
    ui->versionComb->hide();
    ui->btn_close->setFocusPolicy(Qt::NoFocus);
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        resize(mainWindowSize(screen->availableGeometry().size(), minimumSize(), maximumSize()));

    // The workflow makes the dialog the adb library's event sink here, before handing it the path:
    // AdbConductor::instance()->setEvent(this).
    const QString adbPath = QDir::toNativeSeparators(QCoreApplication::applicationDirPath()
                                                     + QLatin1Char('/')
                                                     + QLatin1String(platform::adbRelativePath()));
    Logger::instance()->info(QStringLiteral("adb path:%1.").arg(adbPath));
    AdbConductor::instance()->setSdk(QLatin1Char('"') + adbPath + QLatin1Char('"'));

    config = readAppConfig();

    {
        QMutexLocker locker(stateMutex);
        workDir = FileUtils::downloadDirPath(kUnknownRobotType);
        cleanWorkFolders();
        FileUtils::prepareAppDirs();
        workDir = FileUtils::downloadDirPath(kUnknownRobotType);
    }
}

Tarvo2_UpgradeTool::~Tarvo2_UpgradeTool()
{
    AdbConductor::release();
    delete stateMutex;
    stateMutex = nullptr;
    delete robotMutex;
    robotMutex = nullptr;
    cleanWorkFolders();
    FileUtils::ensureFolder(FileUtils::downloadDirPath(0));
    FileUtils::ensureFolder(FileUtils::downloadDirPath(1));
    // A dialog deleted directly, not through release(), must not stay registered.
    if (s_pInstance == this)
        s_pInstance = nullptr;
}

void Tarvo2_UpgradeTool::applyStyleSheet()
{
    QFile qss(QStringLiteral(":/Tarvo2_UpgradeTool/Resources/Tarvo2_default.qss"));
    if (qss.open(QIODevice::ReadOnly))
        setStyleSheet(QString::fromUtf8(qss.readAll()));
}

void Tarvo2_UpgradeTool::cleanWorkFolders()
{
    FileUtils::cleanFolderKeepZip(FileUtils::downloadDirPath(0));
    FileUtils::cleanFolderKeepZip(FileUtils::downloadDirPath(1));
}

void Tarvo2_UpgradeTool::on_btn_close_clicked()
{
    close();
}

void Tarvo2_UpgradeTool::mousePressEvent(QMouseEvent *event)
{
    if (rect().contains(event->pos()) && event->button() == Qt::LeftButton && !isMaximized()) {
        dragging = true;
        dragPressWindowPos = pos();
        dragPressGlobalPos = event->globalPos();
        event->accept();
        return;
    }
    QDialog::mousePressEvent(event);
}

void Tarvo2_UpgradeTool::mouseMoveEvent(QMouseEvent *event)
{
    if (dragging && event->pos().y() <= kDragAreaHeight) {
        move(dragPressWindowPos + event->globalPos() - dragPressGlobalPos);
        event->accept();
        return;
    }
    QDialog::mouseMoveEvent(event);
}

void Tarvo2_UpgradeTool::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        dragging = false;
    QDialog::mouseReleaseEvent(event);
}

void Tarvo2_UpgradeTool::keyPressEvent(QKeyEvent *event)
{
    // A plain dialog would close on Escape; this one only closes through its close button.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void Tarvo2_UpgradeTool::paintEvent(QPaintEvent *event)
{
    Q_UNUSED(event)
    QStyleOption option;
    option.initFrom(this);
    QPainter painter(this);
    style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);
}

void Tarvo2_UpgradeTool::closeEvent(QCloseEvent *event)
{
    if (!taskRunning) {
        event->accept();
        return;
    }
    const int answer = QMessageBox::question(nullptr, tr("Exit"),
                                             tr("A task is running , end the operation and exit?"),
                                             tr("Yes"), tr("No"), QString(), 0, -1);
    if (answer == 0)
        event->accept();
    else
        event->ignore();
}

bool Tarvo2_UpgradeTool::nativeEvent(const QByteArray &eventType, void *message, long *result)
{
    Q_UNUSED(eventType)
#ifdef Q_OS_WIN
    const MSG *msg = static_cast<const MSG *>(message);
    if (msg->message == WM_NCHITTEST) {
        const int x = static_cast<short>(LOWORD(msg->lParam));
        const int y = static_cast<short>(HIWORD(msg->lParam));
        const QPoint local = QPoint(x, y) - frameGeometry().topLeft();
        const QWidget *child = childAt(local);
        if (!child)
            return true;
        if (child == ui->titleBar) {
            *result = HTCAPTION;
            return true;
        }
        return false;
    }
#endif
    return QWidget::nativeEvent(QByteArray(), message, result);
}
