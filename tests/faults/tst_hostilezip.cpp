// Hostile packages through the unpacker as the dialog runs it: symbolic links that point out of
// the work folder, a truncated archive and one with ten thousand entries. Nothing may be written
// outside the work folder, and a package that cannot be unpacked whole is refused.
#include "../support/unpackrun.h"

#include "ziphandler.h"

#include <fileutils.h>
#include <zeverror.h>

#include <QtTest>
#include <quacrc32.h>

using unpackrun::Entry;
using unpackrun::Outcome;

namespace {

// A stored entry as written byte by byte: `declared` is the unpacked size the archive claims.
struct RawEntry
{
    QByteArray name;
    QByteArray data;
    quint64 declared = 0;
};

void put16(QByteArray &bytes, quint32 value)
{
    bytes.append(char(value & 0xff));
    bytes.append(char((value >> 8) & 0xff));
}

void put32(QByteArray &bytes, quint32 value)
{
    put16(bytes, value & 0xffff);
    put16(bytes, value >> 16);
}

void put64(QByteArray &bytes, quint64 value)
{
    put32(bytes, quint32(value & 0xffffffffu));
    put32(bytes, quint32(value >> 32));
}

// A zip archive of stored entries whose headers claim whatever unpacked size the entry says;
// sizes beyond 32 bits go into the zip64 extra field.
QByteArray rawZip(const QList<RawEntry> &entries)
{
    QByteArray archive;
    QByteArray central;
    for (const RawEntry &entry : entries) {
        const bool zip64 = entry.declared >= 0xffffffffu;
        QByteArray extra;
        if (zip64) {
            put16(extra, 0x0001);
            put16(extra, 16);
            put64(extra, entry.declared);
            put64(extra, quint64(entry.data.size()));
        }
        const quint32 crc = QuaCrc32().calculate(entry.data);
        const quint32 packed = zip64 ? 0xffffffffu : quint32(entry.data.size());
        const quint32 unpacked = zip64 ? 0xffffffffu : quint32(entry.declared);
        const quint32 offset = quint32(archive.size());

        put32(archive, 0x04034b50);
        put16(archive, 45);
        put16(archive, 0);
        put16(archive, 0); // stored
        put16(archive, 0);
        put16(archive, 0x21); // 1980-01-01
        put32(archive, crc);
        put32(archive, packed);
        put32(archive, unpacked);
        put16(archive, quint32(entry.name.size()));
        put16(archive, quint32(extra.size()));
        archive += entry.name + extra + entry.data;

        put32(central, 0x02014b50);
        put16(central, 45);
        put16(central, 45);
        put16(central, 0);
        put16(central, 0);
        put16(central, 0);
        put16(central, 0x21);
        put32(central, crc);
        put32(central, packed);
        put32(central, unpacked);
        put16(central, quint32(entry.name.size()));
        put16(central, quint32(extra.size()));
        put16(central, 0);
        put16(central, 0);
        put16(central, 0);
        put32(central, 0);
        put32(central, offset);
        central += entry.name + extra;
    }
    const quint32 centralAt = quint32(archive.size());
    archive += central;
    put32(archive, 0x06054b50);
    put16(archive, 0);
    put16(archive, 0);
    put16(archive, quint32(entries.size()));
    put16(archive, quint32(entries.size()));
    put32(archive, quint32(central.size()));
    put32(archive, centralAt);
    put16(archive, 0);
    return archive;
}

} // namespace

class TestHostileZip : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void symbolicLinks_data();
    void symbolicLinks();
    void truncatedArchive();
    void tenThousandEntries();
    void entryLargerThanTheFreeSpace();
    void entryLongerThanItsDeclaredSize();

private:
    QString makeZip(const QList<Entry> &entries);
    QString writeZip(const QByteArray &archive);
    QStringList unpackedFiles() const;
    Outcome run(const QString &zip);
    QStringList filesOutsideWork() const;

    QTemporaryDir *dir = nullptr;
};

void TestHostileZip::init()
{
    qRegisterMetaType<AppPtr>("AppPtr");
    qRegisterMetaType<utils::ZEVErrorPtr>("utils::ZEVErrorPtr");
    qRegisterMetaType<QList<AppPtr>>("QList<AppPtr>");
    dir = new QTemporaryDir;
    QVERIFY(dir->isValid());
    QVERIFY(QDir().mkpath(dir->filePath(QStringLiteral("work"))));
    QVERIFY(QDir().mkpath(dir->filePath(QStringLiteral("outside"))));
}

void TestHostileZip::cleanup()
{
    delete dir;
    dir = nullptr;
}

QString TestHostileZip::makeZip(const QList<Entry> &entries)
{
    return unpackrun::writeZip(dir->filePath(QStringLiteral("work/package.zip")), entries);
}

Outcome TestHostileZip::run(const QString &zip)
{
    return unpackrun::run(zip, FileUtils::fileMd5(zip), 300000);
}

QStringList TestHostileZip::filesOutsideWork() const
{
    QStringList found;
    QDirIterator it(dir->filePath(QStringLiteral("outside")),
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
        QDirIterator::Subdirectories);
    while (it.hasNext())
        found << it.next();
    return found;
}

void TestHostileZip::symbolicLinks_data()
{
    QTest::addColumn<bool>("folderLink");
    QTest::newRow("a link to a folder outside, then a file through it") << true;
    QTest::newRow("a link named like an APK, to a file outside") << false;
}

void TestHostileZip::symbolicLinks()
{
    QFETCH(bool, folderLink);
    const QString outside = dir->filePath(QStringLiteral("outside"));
    const QString target = dir->filePath(QStringLiteral("outside/secret.apk"));
    QFile secret(target);
    QVERIFY(secret.open(QIODevice::WriteOnly));
    secret.write("not an apk");
    secret.close();

    QList<Entry> entries { { QStringLiteral("good.apk"), "apk", false } };
    if (folderLink) {
        entries << Entry { QStringLiteral("actions"), outside.toUtf8(), true }
                << Entry { QStringLiteral("actions/evil.hts"), "written through a link", false };
    } else {
        entries << Entry { QStringLiteral("linked.apk"), target.toUtf8(), true };
    }
    const QString zip = makeZip(entries);
    QVERIFY(!zip.isEmpty());
    const Outcome outcome = run(zip);
    QCOMPARE(outcome.answers, 1);

    QCOMPARE(filesOutsideWork(), QStringList { target });
    QVERIFY(secret.open(QIODevice::ReadOnly));
    QCOMPARE(secret.readAll(), QByteArray("not an apk"));
    QDirIterator it(dir->filePath(QStringLiteral("work")),
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        QVERIFY2(!info.isSymLink()
                || !QFileInfo(info.symLinkTarget()).absoluteFilePath().startsWith(outside),
            qPrintable(info.filePath()));
    }
    // An APK entry that was a link is at most a file of its own now, never the file outside.
    for (const AppPtr &app : outcome.apps) {
        const QString path = QProcess::splitCommand(app->apkPath).value(0);
        QVERIFY2(!QFileInfo(path).isSymLink(), qPrintable(path));
    }
}

void TestHostileZip::truncatedArchive()
{
    const QString zip = makeZip({ { QStringLiteral("a.apk"), QByteArray(20000, 'a'), false },
        { QStringLiteral("b.apk"), QByteArray(20000, 'b'), false } });
    QVERIFY(!zip.isEmpty());
    QFile file(zip);
    QVERIFY(file.resize(file.size() / 2));
    const Outcome outcome = run(zip);
    QCOMPARE(outcome.answers, 1);
    QVERIFY(outcome.code != 0);
    QVERIFY(outcome.apps.isEmpty());
}

void TestHostileZip::tenThousandEntries()
{
    QList<Entry> entries { { QStringLiteral("good.apk"), "apk", false } };
    for (int i = 0; i < 10000; ++i)
        entries << Entry { QStringLiteral("actions/many/%1.hts").arg(i), "x", false };
    const QString zip = makeZip(entries);
    QVERIFY(!zip.isEmpty());
    QElapsedTimer elapsed;
    elapsed.start();
    const Outcome outcome = run(zip);
    QCOMPARE(outcome.answers, 1);
    QCOMPARE(outcome.code, 0);
    QCOMPARE(outcome.apps.size(), 1);
    QVERIFY(filesOutsideWork().isEmpty());
    qInfo("10 000 entries unpacked in %lld ms", elapsed.elapsed());
}

QString TestHostileZip::writeZip(const QByteArray &archive)
{
    const QString path = dir->filePath(QStringLiteral("work/package.zip"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(archive) != archive.size())
        return QString();
    return path;
}

// Every file in the work folder but the package itself.
QStringList TestHostileZip::unpackedFiles() const
{
    QStringList found;
    QDirIterator it(dir->filePath(QStringLiteral("work")), QDir::Files | QDir::Hidden,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (QFileInfo(path).fileName() != QLatin1String("package.zip"))
            found << path;
    }
    return found;
}

// An entry that claims a petabyte: refused before anything is written, not unpacked until the
// disk is full.
void TestHostileZip::entryLargerThanTheFreeSpace()
{
    const quint64 petabyte = quint64(1) << 50;
    const QString zip = writeZip(rawZip(
        { { "good.apk", "apk", 3 }, { "actions/huge.mp4", QByteArray(4096, 'v'), petabyte } }));
    QVERIFY(!zip.isEmpty());
    QCOMPARE(ZipHandler::declaredUnpackedSize(zip), qint64(petabyte + 3));

    QElapsedTimer elapsed;
    elapsed.start();
    const Outcome outcome = run(zip);
    QCOMPARE(outcome.answers, 1);
    QCOMPARE(outcome.code, 30001);
    QVERIFY(outcome.apps.isEmpty());
    QCOMPARE(unpackedFiles(), QStringList());
    QVERIFY(filesOutsideWork().isEmpty());
    QVERIFY(elapsed.elapsed() < 10000);
}

// An entry whose data runs on past the size its header declares: the unpacking stops writing at
// the declared size and the package is refused.
void TestHostileZip::entryLongerThanItsDeclaredSize()
{
    const QString zip = writeZip(rawZip(
        { { "good.apk", "apk", 3 }, { "actions/long.hts", QByteArray(100000, 'x'), 1000 } }));
    QVERIFY(!zip.isEmpty());
    QCOMPARE(ZipHandler::declaredUnpackedSize(zip), qint64(1003));
    const Outcome outcome = run(zip);
    QCOMPARE(outcome.answers, 1);
    QCOMPARE(outcome.code, 30001);
    QVERIFY(outcome.apps.isEmpty());
    for (const QString &path : unpackedFiles())
        QVERIFY2(QFileInfo(path).size() <= 1000, qPrintable(path));
}

QTEST_GUILESS_MAIN(TestHostileZip)
#include "tst_hostilezip.moc"
