// The package unpacker on real zip files made with QuaZIP, run on a thread of its own as the
// dialog runs it.
#include "../support/unpackrun.h"

#include "ziphandler.h"

#include <fileutils.h>
#include <zeverror.h>

#include <JlCompress.h>

#include <QtTest>

namespace {

const QString kMainService = QStringLiteral("com.norvikinc.tarvo2services");

} // namespace

using unpackrun::Outcome;

class TestZipHandler : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void installPlan_data();
    void installPlan();
    void apkFolderCopiedUp();
    void digest_data();
    void digest();
    void brokenPackages_data();
    void brokenPackages();
    void entriesLeavingTheFolder_data();
    void entriesLeavingTheFolder();

private:
    QString makePackage(const QStringList &files);
    QString makeRawPackage(const QStringList &entryNames);
    Outcome run(const QString &zip, const QString &md5);
    void writeRegion(const QString &region);

    QTemporaryDir *dir = nullptr;
};

void TestZipHandler::initTestCase()
{
    qRegisterMetaType<AppPtr>("AppPtr");
    qRegisterMetaType<utils::ZEVErrorPtr>("utils::ZEVErrorPtr");
    qRegisterMetaType<QList<AppPtr>>("QList<AppPtr>");
}

void TestZipHandler::init()
{
    dir = new QTemporaryDir;
    QVERIFY(dir->isValid());
    writeRegion(QString());
}

void TestZipHandler::cleanup()
{
    delete dir;
    dir = nullptr;
    QFile::remove(FileUtils::configDirPath() + QStringLiteral("/config.json"));
}

void TestZipHandler::writeRegion(const QString &region)
{
    const QString path = FileUtils::configDirPath() + QStringLiteral("/config.json");
    QFile::remove(path);
    if (region.isEmpty())
        return;
    QVERIFY(QDir().mkpath(FileUtils::configDirPath()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral("{\"systemLanguage\": \"%1\"}").arg(region).toUtf8());
}

// A zip of the given files (each holding its own name) in a folder of its own, the way the
// download leaves a package in the work folder.
QString TestZipHandler::makePackage(const QStringList &files)
{
    const QString source = dir->filePath(QStringLiteral("source"));
    for (const QString &name : files) {
        const QString path = source + QLatin1Char('/') + name;
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return QString();
        file.write(name.toUtf8());
    }
    QDir().mkpath(source);
    const QString work = dir->filePath(QStringLiteral("work"));
    QDir().mkpath(work);
    const QString zip = work + QStringLiteral("/package.zip");
    if (!JlCompress::compressDir(zip, source, true))
        return QString();
    return zip;
}

// Entry names written as given, including ones a well-behaved archiver would never make.
QString TestZipHandler::makeRawPackage(const QStringList &entryNames)
{
    const QString work = dir->filePath(QStringLiteral("work/inner"));
    QDir().mkpath(work);
    QList<unpackrun::Entry> entries;
    for (const QString &name : entryNames)
        entries.append({ name, "payload", false });
    return unpackrun::writeZip(work + QStringLiteral("/package.zip"), entries);
}

Outcome TestZipHandler::run(const QString &zip, const QString &md5)
{
    return unpackrun::run(zip, md5, 10000);
}

void TestZipHandler::installPlan_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("region");
    // "name kind package" per application, in install order.
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("camera and language first, reversed; then the rest in order")
        << QStringList { "xService.apk", "yCamera.apk", "iflytekZ.apk", "other.apk", "notes.txt" }
        << QString()
        << QStringList { "yCamera.apk 2 com.norvik.smartcamera",
               "iflytekZ.apk 3 com.norvik.iflytekmix", "other.apk 4 ",
               "xService.apk 1 " + kMainService };
    QTest::newRow("region en: EnglishChat is the language app, iflytek an ordinary one")
        << QStringList { "EnglishChat.apk", "iflytekZ.apk" } << QStringLiteral("EN")
        << QStringList { "EnglishChat.apk 3 com.norvikinc.tarvoenglishchat", "iflytekZ.apk 4 " };
    QTest::newRow("region cn: EnglishChat is an ordinary app")
        << QStringList { "EnglishChat.apk", "iflytekZ.apk" } << QStringLiteral("cn")
        << QStringList { "iflytekZ.apk 3 com.norvik.iflytekmix", "EnglishChat.apk 4 " };
    QTest::newRow(".APK is not taken, .apk is") << QStringList { "Camera.APK",
        "Camera.apk" } << QString() << QStringList { "Camera.apk 2 com.norvik.smartcamera" };
    QTest::newRow("Service before camera") << QStringList { "ServiceCamera.apk" } << QString()
                                           << QStringList { "ServiceCamera.apk 1 " + kMainService };
    QTest::newRow("blanks, quotes and non-ASCII text in names")
        << QStringList { "my \"quoted\" game.apk", "it's $(x);y.apk", "\"\"\"x.apk",
               QString::fromUtf8("机器人 app.apk") }
        << QString()
        << QStringList { "\"\"\"x.apk 4 ", "it's $(x);y.apk 4 ", "my \"quoted\" game.apk 4 ",
               QString::fromUtf8("机器人 app.apk 4 ") };
    QTest::newRow("special duplicates once, ordinary duplicates twice")
        << QStringList { "pkg/top.apk", "pkg/a/xService.apk", "pkg/b/xService.apk",
               "pkg/a/game.apk", "pkg/b/game.apk" }
        << QString()
        << QStringList { "top.apk 4 ", "game.apk 4 ", "xService.apk 1 " + kMainService,
               "game.apk 4 " };
}

void TestZipHandler::installPlan()
{
    QFETCH(QStringList, files);
    QFETCH(QString, region);
    QFETCH(QStringList, expected);

    writeRegion(region);
    const QString zip = makePackage(files);
    QVERIFY(!zip.isEmpty());
    const Outcome outcome = run(zip, FileUtils::fileMd5(zip));
    QCOMPARE(outcome.answers, 1);
    QCOMPARE(outcome.code, 0);

    QStringList actual;
    for (const AppPtr &app : outcome.apps) {
        actual << QStringLiteral("%1 %2 %3").arg(app->name).arg(app->id).arg(app->packageName);
        QVERIFY2(
            app->apkPath.startsWith(QLatin1Char('"')) && app->apkPath.endsWith(QLatin1Char('"')),
            qPrintable(app->apkPath));
        // The install command line is split by QProcess: the path must come back whole.
        const QStringList words = QProcess::splitCommand(app->apkPath);
        QCOMPARE(words.size(), 1);
        const QString path = words.first();
        QVERIFY2(QFileInfo(path).isFile(), qPrintable(path));
        QCOMPARE(QFileInfo(path).fileName(), app->name);
        QCOMPARE(app->number, app->id == 4 ? 0 : 1);
        QCOMPARE(app->mainActivity.isEmpty(), app->id != 1);
    }
    QCOMPARE(actual, expected);
}

void TestZipHandler::apkFolderCopiedUp()
{
    const QString zip = makePackage({ "pkg/one.apk", "pkg/actions/dance/x.hts", "pkg/readme.txt" });
    QVERIFY(!zip.isEmpty());
    const Outcome outcome = run(zip, FileUtils::fileMd5(zip));
    QCOMPARE(outcome.code, 0);
    const QString work = QFileInfo(zip).absolutePath();
    for (const char *name : { "one.apk", "actions/dance/x.hts", "readme.txt" })
        QVERIFY2(QFileInfo(work + QLatin1Char('/') + QLatin1String(name)).isFile(), name);
    QVERIFY(QFile::exists(zip));
    QCOMPARE(outcome.apps.size(), 1);
    QCOMPARE(outcome.apps.first()->apkPath, QStringLiteral("\"%1/pkg/one.apk\"").arg(work));
}

void TestZipHandler::digest_data()
{
    QTest::addColumn<bool>("upperCase");
    QTest::addColumn<bool>("wrong");
    QTest::addColumn<int>("code");
    QTest::newRow("lower case") << false << false << 0;
    QTest::newRow("upper case matches") << true << false << 0;
    QTest::newRow("wrong digest") << false << true << 30002;
}

void TestZipHandler::digest()
{
    QFETCH(bool, upperCase);
    QFETCH(bool, wrong);
    QFETCH(int, code);

    const QString zip = makePackage({ "a.apk" });
    QString md5 = FileUtils::fileMd5(zip);
    if (upperCase)
        md5 = md5.toUpper();
    if (wrong)
        md5 = QStringLiteral("0123456789abcdef0123456789abcdef");
    const Outcome outcome = run(zip, md5);
    QCOMPARE(outcome.answers, 1);
    QCOMPARE(outcome.code, code);
    const QString unpacked = QFileInfo(zip).absolutePath() + QStringLiteral("/a.apk");
    QCOMPARE(QFile::exists(unpacked), code == 0);
    if (code != 0)
        QVERIFY(outcome.apps.isEmpty());
}

void TestZipHandler::brokenPackages_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("no apk inside") << QStringLiteral("noapk");
    QTest::newRow("not a zip") << QStringLiteral("garbage");
    QTest::newRow("missing file, empty digest") << QStringLiteral("missing");
}

void TestZipHandler::brokenPackages()
{
    QFETCH(QString, kind);
    QString zip;
    if (kind == QLatin1String("noapk")) {
        zip = makePackage({ "actions/a.hts", "readme.txt" });
    } else if (kind == QLatin1String("garbage")) {
        zip = dir->filePath(QStringLiteral("garbage.zip"));
        QFile file(zip);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(4096, 'x'));
    } else {
        zip = dir->filePath(QStringLiteral("nothing-here.zip"));
    }
    const QString md5 = FileUtils::fileMd5(zip);
    const Outcome outcome = run(zip, md5);
    QCOMPARE(outcome.answers, 1);
    // A missing file has no digest, and an empty announced digest never matches.
    QCOMPARE(outcome.code, kind == QLatin1String("missing") ? 30002 : 30001);
}

void TestZipHandler::entriesLeavingTheFolder_data()
{
    QTest::addColumn<QString>("entry");
    QTest::newRow("parent folder") << QStringLiteral("../evil.apk");
    QTest::newRow("parent inside a path") << QStringLiteral("pkg/../../evil.apk");
    QTest::newRow("backslashes") << QStringLiteral("..\\evil.apk");
    QTest::newRow("absolute") << QStringLiteral("ABSOLUTE");
}

void TestZipHandler::entriesLeavingTheFolder()
{
    QFETCH(QString, entry);
    if (entry == QLatin1String("ABSOLUTE"))
        entry = dir->filePath(QStringLiteral("evil.apk"));
    const QString zip = makeRawPackage({ QStringLiteral("good.apk"), entry });
    QVERIFY(!zip.isEmpty());
    const Outcome outcome = run(zip, FileUtils::fileMd5(zip));
    QCOMPARE(outcome.answers, 1);
    QCOMPARE(outcome.code, 30001);
    QVERIFY(outcome.apps.isEmpty());
    QVERIFY(!QFile::exists(dir->filePath(QStringLiteral("work/evil.apk"))));
    QVERIFY(!QFile::exists(dir->filePath(QStringLiteral("evil.apk"))));
    // Refused before anything is unpacked.
    QVERIFY(!QFile::exists(dir->filePath(QStringLiteral("work/inner/good.apk"))));
}

QTEST_GUILESS_MAIN(TestZipHandler)
#include "tst_ziphandler.moc"
