#pragma once

// Every modal box of a test answered as a person would, and recorded.

#include <QAbstractButton>
#include <QApplication>
#include <QList>
#include <QMap>
#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

namespace dialogharness {

struct BoxRecord
{
    QString title;
    QString text;
    QString answer;
    QStringList buttons;
};

// Answers every visible message box as soon as it shows: with the button named by the next
// answer queued for its title, "Ok" when none is queued, the first button when it has no button
// of that name. Records title, text, buttons and answer in order.
class BoxAnswerer : public QObject
{
public:
    BoxAnswerer()
    {
        connect(&timer, &QTimer::timeout, this, [this] { poll(); });
        timer.start(20);
    }

    QList<BoxRecord> boxes;
    QMap<QString, QStringList> answers;
    std::function<void(const QString &title)> onShown;

private:
    void poll()
    {
        const QWidgetList widgets = QApplication::topLevelWidgets();
        for (QWidget *widget : widgets) {
            auto *box = qobject_cast<QMessageBox *>(widget);
            if (!box || !box->isVisible() || box->property("zevAnswered").toBool())
                continue;
            box->setProperty("zevAnswered", true);
            BoxRecord record { box->windowTitle(), box->text(), QStringLiteral("Ok"), {} };
            QStringList &queue = answers[record.title];
            if (!queue.isEmpty())
                record.answer = queue.takeFirst();
            const QList<QAbstractButton *> buttons = box->buttons();
            for (QAbstractButton *button : buttons)
                record.buttons << button->text().remove(QLatin1Char('&'));
            boxes << record;
            if (onShown)
                onShown(record.title);
            QAbstractButton *chosen = buttons.value(0);
            for (QAbstractButton *button : buttons) {
                if (button->text().remove(QLatin1Char('&')) == record.answer) {
                    chosen = button;
                    break;
                }
            }
            if (chosen)
                QTimer::singleShot(0, chosen, &QAbstractButton::click);
        }
    }

    QTimer timer;
};

} // namespace dialogharness
