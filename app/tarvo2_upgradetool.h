#pragma once

#include "appconfig.h"
#include "singleton.h"

#include <QDialog>
#include <QPoint>
#include <QString>

#include <memory>

class QMutex;

namespace Ui {
class Tarvo2_UpgradeToolClass;
}

// The main dialog: a frameless window with three pages (start, check and download, install).
// One process-wide instance, made by main() through instance() and freed by release().
class Tarvo2_UpgradeTool : public QDialog, public utils::SingletonT<Tarvo2_UpgradeTool>
{
    Q_OBJECT

public:
    explicit Tarvo2_UpgradeTool(QWidget *parent = nullptr);
    ~Tarvo2_UpgradeTool() override;

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    bool nativeEvent(const QByteArray &eventType, void *message, long *result) override;

protected slots:
    void on_btn_close_clicked();

private:
    friend class TestDialog;

    void applyStyleSheet();
    static void cleanWorkFolders();

    std::unique_ptr<Ui::Tarvo2_UpgradeToolClass> ui;

    AppConfig config;
    bool dragging = false;
    QPoint dragPressGlobalPos;
    QPoint dragPressWindowPos;
    int currentPage = 0;
    QMutex *stateMutex;
    QString workDir;
    QMutex *robotMutex;
    bool taskRunning = false;
};
