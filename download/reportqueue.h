#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Reports that could not be delivered, kept in a small JSON file until they are.
// Only used from one thread at a time.
class ReportQueue
{
public:
    struct Entry
    {
        QString url;
        QByteArray body;
    };

    // Beyond this many, the oldest reports are dropped.
    static constexpr int kMaxEntries = 100;

    explicit ReportQueue(const QString &filePath = QString());

    void setFilePath(const QString &filePath);
    QString filePath() const { return m_filePath; }

    // Entries as stored in the file; a missing or damaged file holds none.
    QList<Entry> load() const;
    bool append(const Entry &entry);
    // Drops the oldest entry after it was delivered.
    bool removeFirst();
    bool isEmpty() const;

private:
    bool save(const QList<Entry> &entries) const;

    QString m_filePath;
};
