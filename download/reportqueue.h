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
        // Failed attempts while the current requests went to another address.
        int attempts = 0;
    };

    // Beyond this many, the oldest reports are dropped.
    static constexpr int kMaxEntries = 100;
    // A report for an address that is no longer asked for anything else is dropped after this
    // many failed attempts, so that it does not cost every later run a wait.
    static constexpr int kMaxAttempts = 10;

    explicit ReportQueue(const QString &filePath = QString());

    void setFilePath(const QString &filePath);
    QString filePath() const { return m_filePath; }

    // Entries as stored in the file; a missing or damaged file holds none.
    QList<Entry> load() const;
    bool append(const Entry &entry);
    // Drops the oldest entry after it was delivered.
    bool removeFirst();
    // Counts a failed attempt for the oldest entry; returns true when that dropped it.
    bool noteFailedAttempt();
    bool isEmpty() const;

private:
    bool save(const QList<Entry> &entries) const;

    QString m_filePath;
};
