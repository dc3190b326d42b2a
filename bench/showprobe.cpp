// Preloaded into the program (LD_PRELOAD) to time it from the inside, without changing it.
//  - ZEV_BENCH_PROBE unset or "shown": once the main dialog has been painted for the first time
//    the process ends at once, so its wall time is the start-up time. Any other window first
//    (the box of a copy already running) ends it with exit code 3.
//  - ZEV_BENCH_PROBE=upgrade: ZEV_BENCH_CLICK_DELAY_MS after the dialog is painted (time for the
//    USB watcher to see the robot) the start button is clicked; the finish box ends the process
//    after printing the time from the click. A "Success" box exits 0, a "Failure" box 4; the
//    battery warning box is answered.
#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QEvent>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <unistd.h>

namespace {

class Probe : public QObject
{
public:
    explicit Probe(bool upgrade)
        : m_upgrade(upgrade)
    {
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (!watched->isWidgetType())
            return false;
        auto *widget = static_cast<QWidget *>(watched);
        if (event->type() == QEvent::Paint && !m_painted) {
            m_painted = true;
            onFirstPaint(widget->window());
        } else if (event->type() == QEvent::Show && m_clicked && widget->isWindow()) {
            if (auto *box = qobject_cast<QMessageBox *>(widget))
                onBox(box);
        }
        return false;
    }

private:
    void onFirstPaint(QWidget *window)
    {
        const bool dialog = window->inherits("Tarvo2_UpgradeTool");
        const QByteArray name = window->metaObject()->className();
        if (!m_upgrade || !dialog) {
            // Let this paint finish, then leave without the program's own shutdown.
            QTimer::singleShot(0, [dialog, name] {
                std::fprintf(stderr, "shown: %s\n", name.constData());
                std::fflush(stderr);
                _exit(dialog ? 0 : 3);
            });
            return;
        }
        const int delay = qEnvironmentVariableIsSet("ZEV_BENCH_CLICK_DELAY_MS")
            ? qEnvironmentVariableIntValue("ZEV_BENCH_CLICK_DELAY_MS")
            : 1000;
        QTimer::singleShot(delay, window, [this, window] {
            auto *start = window->findChild<QAbstractButton *>(QStringLiteral("pbStartUpgrade"));
            if (!start) {
                std::fprintf(stderr, "no start button\n");
                _exit(5);
            }
            m_clicked = true;
            m_clock.start();
            std::fprintf(stderr, "clicked\n");
            start->click();
        });
    }

    void onBox(QMessageBox *box)
    {
        const QString title = box->windowTitle();
        if (title == QLatin1String("Success") || title == QLatin1String("Failure")) {
            std::fprintf(stderr, "finish box: %s after %.3f s: %s\n", qPrintable(title),
                m_clock.nsecsElapsed() / 1e9, qPrintable(box->text()));
            std::fflush(stderr);
            _exit(title == QLatin1String("Success") ? 0 : 4);
        }
        QTimer::singleShot(0, box, [box] {
            std::fprintf(stderr, "answered box: %s\n", qPrintable(box->windowTitle()));
            box->accept();
        });
    }

    bool m_upgrade;
    bool m_painted = false;
    bool m_clicked = false;
    QElapsedTimer m_clock;
};

void installProbe()
{
    // The programs the tool starts (adb, 470 times in an upgrade) must not load this module,
    // nor a preload the harness put in front of the tool.
    qunsetenv("LD_PRELOAD");
    const bool upgrade = qgetenv("ZEV_BENCH_PROBE") == "upgrade";
    QCoreApplication::instance()->installEventFilter(new Probe(upgrade));
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(installProbe)
