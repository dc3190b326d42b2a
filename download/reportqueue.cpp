#include "reportqueue.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>

namespace {

constexpr qint64 kMaxFileBytes = 4 * 1024 * 1024;

} // namespace

ReportQueue::ReportQueue(const QString &filePath)
    : m_filePath(filePath)
{
}

void ReportQueue::setFilePath(const QString &filePath)
{
    m_filePath = filePath;
}

QList<ReportQueue::Entry> ReportQueue::load() const
{
    QList<Entry> entries;
    QFile file(m_filePath);
    if (m_filePath.isEmpty() || file.size() > kMaxFileBytes || !file.open(QIODevice::ReadOnly))
        return entries;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    const QJsonArray array = document.array();
    for (const QJsonValue &value : array) {
        const QJsonObject object = value.toObject();
        const QString url = object.value(QStringLiteral("url")).toString();
        const QJsonObject body = object.value(QStringLiteral("body")).toObject();
        if (url.isEmpty() || body.isEmpty())
            continue;
        const int attempts = std::max(0, object.value(QStringLiteral("attempts")).toInt());
        entries.append({ url, QJsonDocument(body).toJson(QJsonDocument::Compact), attempts });
    }
    return entries;
}

bool ReportQueue::append(const Entry &entry)
{
    QList<Entry> entries = load();
    entries.append(entry);
    while (entries.size() > kMaxEntries)
        entries.removeFirst();
    return save(entries);
}

bool ReportQueue::removeFirst()
{
    QList<Entry> entries = load();
    if (entries.isEmpty())
        return true;
    entries.removeFirst();
    if (entries.isEmpty())
        return !QFileInfo::exists(m_filePath) || QFile::remove(m_filePath);
    return save(entries);
}

bool ReportQueue::noteFailedAttempt()
{
    QList<Entry> entries = load();
    if (entries.isEmpty())
        return false;
    if (++entries.first().attempts < kMaxAttempts) {
        save(entries);
        return false;
    }
    removeFirst();
    return true;
}

bool ReportQueue::isEmpty() const
{
    return load().isEmpty();
}

bool ReportQueue::save(const QList<Entry> &entries) const
{
    if (m_filePath.isEmpty())
        return false;
    QJsonArray array;
    for (const Entry &entry : entries) {
        QJsonObject object;
        object.insert(QStringLiteral("url"), entry.url);
        object.insert(QStringLiteral("body"), QJsonDocument::fromJson(entry.body).object());
        if (entry.attempts > 0)
            object.insert(QStringLiteral("attempts"), entry.attempts);
        array.append(object);
    }
    QDir().mkpath(QFileInfo(m_filePath).absolutePath());
    // Written whole and renamed into place, so a crash never leaves half a queue.
    QSaveFile file(m_filePath);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QJsonDocument(array).toJson(QJsonDocument::Indented));
    return file.commit();
}
