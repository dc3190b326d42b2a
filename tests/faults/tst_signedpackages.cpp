// Signed packages against the real dialog, the simulated robot and its web service, with keys
// and signatures made by Debian's minisign at test time. A package whose signature cannot be
// verified ends the run with 30004 before anything reaches the robot: no adb command after the
// base information, the report carries 30004, and neither package nor signature stays cached.

// GLib first: its headers use "signals" as a plain name, which Qt's headers define away.
#include "../support/usbfixture.h"

#include "../support/upgradecase.h"

#include <constants.h>
#include <logger.h>
#include <packagesignature.h>
#include <zeverror.h>

#include <QtTest>
#include <QtWidgets>

#include <cstdlib>

Q_DECLARE_METATYPE(trust::Verdict)

using trust::Verdict;

namespace {

const QString kRobot = QStringLiteral("tarvo2-18d1-4e26.umockdev");
// The commands of the base information: the web step comes after them.
const int kBaseInformationCommands = 7;

bool minisign(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("minisign"), arguments);
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

// The changes a signature file meets on its way, as a fault table names them.
bool change(const QString &path, const QString &how)
{
    QByteArray text = readAll(path);
    if (how == QLatin1String("comment"))
        text.replace("trusted comment: timestamp:", "trusted comment: timestamp:9");
    else if (how == QLatin1String("truncate"))
        text.truncate(text.indexOf("trusted comment: "));
    else if (how == QLatin1String("pad"))
        text += QByteArray(int(zev::kMaxSignatureBytes), ' ');
    return writeAll(path, text);
}

} // namespace

class TestSignedPackages : public QObject, private dialogharness::UpgradeCase
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init() { QVERIFY(begin()); }
    void cleanup() { end(); }
    void refusals_data();
    void refusals();

private:
    QString keyFile(const QString &name, const char *suffix) const
    {
        return m_keys.filePath(name + QLatin1String(suffix));
    }
    QString keyLine(const QString &name) const
    {
        return QString::fromLatin1(readAll(keyFile(name, ".pub")).split('\n').value(1));
    }
    QString keyId(const QString &name) const
    {
        return QString::fromLatin1(
            readAll(keyFile(name, ".pub")).split('\n').value(0).split(' ').last());
    }

    QTemporaryDir m_keys;
};

void TestSignedPackages::initTestCase()
{
    const QString missing = prepare();
    if (!missing.isEmpty())
        QSKIP(qPrintable(missing));
    if (QStandardPaths::findExecutable(QStringLiteral("minisign")).isEmpty())
        QSKIP("Debian's minisign is not installed");
    QVERIFY(installProgram());
    // The refusal's reason and key id are read from the diagnostic line.
    Logger::routeDiagnostics(true);
    for (const QString &name : { QStringLiteral("A"), QStringLiteral("B") })
        QVERIFY(minisign({ "-G", "-W", "-p", keyFile(name, ".pub"), "-s", keyFile(name, ".key") }));
}

void TestSignedPackages::refusals_data()
{
    QTest::addColumn<QStringList>("trusted");
    QTest::addColumn<QString>("signer"); // empty: no signature served
    QTest::addColumn<QString>("changed"); // "package": the signer signed another package
    QTest::addColumn<bool>("cached"); // a signed run first; the change is made to its cache
    QTest::addColumn<Verdict>("verdict");

    const QStringList a { "A" };
    QTest::newRow("unsigned") << a << ""
                              << "" << false << Verdict::NoSignature;
    QTest::newRow("untrusted key") << a << "B"
                                   << "" << false << Verdict::UnknownKey;
    QTest::newRow("tampered package with matching MD5")
        << a << "A"
        << "package" << false << Verdict::BadSignature;
    QTest::newRow("tampered trusted comment") << a << "A"
                                              << "comment" << false << Verdict::BadTrustedComment;
    QTest::newRow("truncated signature") << a << "A"
                                         << "truncate" << false << Verdict::Malformed;
    QTest::newRow("oversized signature") << a << "A"
                                         << "pad" << false << Verdict::TooLarge;
    QTest::newRow("second of two trusted keys") << QStringList { "B", "A" } << "A"
                                                << "" << false << Verdict::Verified;
    QTest::newRow("cached package whose signature no longer verifies")
        << a << "A"
        << "comment" << true << Verdict::BadTrustedComment;
}

void TestSignedPackages::refusals()
{
    QFETCH(QStringList, trusted);
    QFETCH(QString, signer);
    QFETCH(QString, changed);
    QFETCH(bool, cached);
    QFETCH(Verdict, verdict);

    const QString served = dir->filePath(QStringLiteral("served.minisig"));
    QVERIFY(startSim(
        { { "web", QJsonObject { { "signature", QJsonObject { { "file", served } } } } } }));
    QStringList keys;
    for (const QString &name : trusted)
        keys << keyLine(name);
    QVERIFY(writeConfig(QString(), keys));
    QVERIFY(plug(kRobot));

    QString package = sim.file(QStringLiteral("web/") + sim.packageFile());
    if (changed == QLatin1String("package")) {
        // What the publisher signed; the web service serves and announces another package.
        QByteArray content = readAll(package);
        content[content.size() / 2] = char(~content[content.size() / 2]);
        package = dir->filePath(QStringLiteral("signed.zip"));
        QVERIFY(writeAll(package, content));
    }
    if (!signer.isEmpty()) {
        QVERIFY(minisign({ "-S", "-s", keyFile(signer, ".key"), "-m", package, "-x", served }));
        if (!cached)
            QVERIFY(change(served, changed));
    }
    const QString work = FileUtils::appDirPath() + QStringLiteral("/download/2M/");
    const QString cachedPackage = work + sim.packageFile();
    if (cached) {
        QVERIFY(pressStart());
        QVERIFY(waitForBoxes(1));
        QCOMPARE(boxes->boxes.last().title, QStringLiteral("Success"));
        QVERIFY(change(cachedPackage + zev::kSignatureSuffix, changed));
    }
    const int downloads = sim.webRequests(QStringLiteral("/download/")).size();
    const dialogharness::AdbArgvLog adb(dir->filePath(QStringLiteral("argv.log")));
    todaysLog.mark();
    QVERIFY(pressStart());
    QVERIFY(waitForBoxes(cached ? 2 : 1));
    QCOMPARE(boxes->boxes.size(), cached ? 2 : 1);

    const bool verified = verdict == Verdict::Verified;
    const int code = verified ? utils::kSuccess : utils::kPackageSignatureBad;
    const bool keyRead
        = !signer.isEmpty() && verdict != Verdict::Malformed && verdict != Verdict::TooLarge;
    QVERIFY2(newLog().contains(QStringLiteral("%1, key id %2")
                                   .arg(QLatin1String(trust::verdictText(verdict)),
                                       keyRead ? keyId(signer) : QStringLiteral("none"))),
        qPrintable(newLog()));
    const dialogharness::BoxRecord &box = boxes->boxes.last();
    QCOMPARE(box.title, QLatin1String(verified ? "Success" : "Failure"));
    if (!verified)
        QCOMPARE(box.text, utils::ZEVError::messageTextForCode(code));
    QTRY_VERIFY_WITH_TIMEOUT(!sim.webRequests(zev::kAddInstallStatPath).isEmpty()
            && sim.webRequests(zev::kAddInstallStatPath)
                    .last()
                    .value(QStringLiteral("body"))
                    .toObject()
                    .value(QStringLiteral("code"))
                    .toInt(-1)
                == code,
        10000);

    const QList<QStringList> planned
        = dialogharness::plannedCommands(QStringLiteral("download/2M/"));
    QCOMPARE(adb.commands(), verified ? planned : planned.mid(0, kBaseInformationCommands));
    // Nothing was unpacked either (a cached package's first run left its own files).
    if (!verified && !cached)
        QCOMPARE(QDir(work).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    QCOMPARE(QFile::exists(cachedPackage), verified);
    QCOMPARE(QFile::exists(cachedPackage + zev::kSignatureSuffix), verified);
    // A cached package with its signature is taken from the cache, checked again.
    QCOMPARE(sim.webRequests(QStringLiteral("/download/")).size() - downloads, cached ? 0 : 2);
}

int main(int argc, char **argv)
{
    if (!dialogharness::underUmockdev(argv, "tst_signedpackages", "15147"))
        return 1;
    // A case may first wait up to five minutes for another simulator to leave the robot's ports.
    setenv("QTEST_FUNCTION_TIMEOUT", "900000", 0);
    QApplication app(argc, argv);
    TestSignedPackages test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_signedpackages.moc"
