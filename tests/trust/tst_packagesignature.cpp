// The signature parser and verifier against Debian's minisign: keys and signatures it makes at
// test time, changed one fault at a time, each judged by us and by `minisign -V` alike.
#include "../support/hostprocess.h"

#include <constants.h>
#include <packagesignature.h>

#include <QtTest>

using trust::Verdict;

Q_DECLARE_METATYPE(trust::Verdict)

namespace {

const QString kMinisign = QStringLiteral("/usr/bin/minisign");

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

// Line `index` of a signature file, decoded, changed by `change`, encoded again.
QByteArray changeDecodedLine(
    const QByteArray &text, int index, const std::function<void(QByteArray &)> &change)
{
    QList<QByteArray> lines = text.split('\n');
    QByteArray decoded = QByteArray::fromBase64(lines[index]);
    change(decoded);
    lines[index] = decoded.toBase64();
    return lines.join('\n');
}

} // namespace

class TestPackageSignature : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void publicKey_data();
    void publicKey();
    void keyIdAsMinisignPrintsIt();
    void verify_data();
    void verify();

private:
    bool minisign(const QStringList &arguments);
    QString path(const QString &name) const { return m_dir.filePath(name); }
    trust::PublicKey key(const QString &name) const;

    QTemporaryDir m_dir;
};

bool TestPackageSignature::minisign(const QStringList &arguments)
{
    HostProcess process;
    return process.start(kMinisign, arguments) && process.waitForFinished(30000)
        && process.succeeded();
}

trust::PublicKey TestPackageSignature::key(const QString &name) const
{
    return trust::parsePublicKey(readAll(path(name + QStringLiteral(".pub"))).split('\n').value(1))
        .value_or(trust::PublicKey {});
}

void TestPackageSignature::initTestCase()
{
#ifndef Q_OS_WIN
    if (!QFile::exists(kMinisign))
        QSKIP("Debian's minisign is not installed");
#endif
    QVERIFY(m_dir.isValid());
    // Over two of the hashing's 1 MiB windows, and not a whole number of them.
    QByteArray package(2621441, Qt::Uninitialized);
    for (int i = 0; i < package.size(); ++i)
        package[i] = static_cast<char>(i * 7 + i / 251);
    QVERIFY(writeAll(path("package.zip"), package));
    QVERIFY(writeAll(path("empty.zip"), QByteArray()));
    for (const char *name : { "A", "B" }) {
        QVERIFY(minisign({ "-G", "-W", "-p", HostProcess::hostPath(path(name + QString(".pub"))),
            "-s", HostProcess::hostPath(path(name + QString(".key"))) }));
    }
    // name, key, file, options
    const QList<QStringList> signatures {
        { "hashed", "A", "package.zip" },
        { "legacy", "A", "package.zip", "-l" },
        { "byB", "B", "package.zip" },
        { "empty", "A", "empty.zip", "-l" },
        { "long", "A", "package.zip", "-t", QString(4077, QLatin1Char('t')) },
    };
    for (const QStringList &s : signatures) {
        QVERIFY(minisign(QStringList { "-S", "-s", HostProcess::hostPath(path(s[1] + ".key")), "-m",
                             HostProcess::hostPath(path(s[2])), "-x",
                             HostProcess::hostPath(path(s[0] + ".minisig")) }
            + s.mid(3)));
    }
    QVERIFY(QFileInfo(path("long.minisig")).size() < zev::kMaxSignatureBytes);
}

void TestPackageSignature::publicKey_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("parses");

    const QByteArray pub = readAll(path("A.pub"));
    const QByteArray line = pub.split('\n').value(1);
    QTest::newRow("the .pub file's key line") << line << true;
    QTest::newRow("with blanks and CRLF around") << " " + line + "\r\n" << true;
    QTest::newRow("the whole .pub file") << pub << false;
    QTest::newRow("one byte short") << QByteArray::fromBase64(line).chopped(1).toBase64() << false;
    QTest::newRow("not Ed25519") << "Ec" + QByteArray::fromBase64(line).mid(2).toBase64() << false;
    QTest::newRow("not base64") << line.left(20) + "*" + line.mid(21) << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void TestPackageSignature::publicKey()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, parses);

    const std::optional<trust::PublicKey> parsed = trust::parsePublicKey(line);
    QCOMPARE(parsed.has_value(), parses);
    if (parses) {
        // The id as minisign prints it in the key's own comment line.
        QVERIFY(readAll(path("A.pub"))
                    .startsWith("untrusted comment: minisign public key "
                        + trust::keyIdText(parsed->id).toLatin1()));
        QCOMPARE(parsed->key.size(), 32);
    }
}

// Ids seen in minisign's own key comments: leading zeros are not printed.
void TestPackageSignature::keyIdAsMinisignPrintsIt()
{
    QCOMPARE(trust::keyIdText(QByteArray::fromHex("3e622555c7a6541a")),
        QStringLiteral("1A54A6C75525623E"));
    QCOMPARE(trust::keyIdText(QByteArray::fromHex("baddeb39e6e32106")),
        QStringLiteral("621E3E639EBDDBA"));
    QCOMPARE(trust::keyIdText(QByteArray(8, '\0')), QStringLiteral("0"));
}

void TestPackageSignature::verify_data()
{
    // As minisign made it ("hashed", "legacy", "byB", "empty", "long"), then "/change".
    QTest::addColumn<QString>("signature");
    QTest::addColumn<bool>("packageChanged");
    QTest::addColumn<QStringList>("trusted");
    QTest::addColumn<Verdict>("verdict");
    QTest::addColumn<bool>("minisignAccepts"); // with the key whose id the signature names

    const QStringList a { "A" };
    QTest::newRow("prehashed") << "hashed" << false << a << Verdict::Verified << true;
    QTest::newRow("legacy") << "legacy" << false << a << Verdict::Verified << true;
    QTest::newRow("legacy, empty package") << "empty" << false << a << Verdict::Verified << true;
    QTest::newRow("second of two trusted keys")
        << "byB" << false << QStringList { "A", "B" } << Verdict::Verified << true;
    QTest::newRow("longest trusted comment minisign writes")
        << "long" << false << a << Verdict::Verified << true;
    QTest::newRow("CRLF line ends") << "hashed/crlf" << false << a << Verdict::Verified << true;
    QTest::newRow("lines after the fourth")
        << "hashed/trailing" << false << a << Verdict::Verified << true;
    QTest::newRow("untrusted key") << "byB" << false << a << Verdict::UnknownKey << true;
    QTest::newRow("no trusted key")
        << "hashed" << false << QStringList() << Verdict::UnknownKey << true;
    QTest::newRow("prehashed, package changed")
        << "hashed" << true << a << Verdict::BadSignature << false;
    QTest::newRow("legacy, package changed")
        << "legacy" << true << a << Verdict::BadSignature << false;
    QTest::newRow("signature changed")
        << "hashed/signature" << false << a << Verdict::BadSignature << false;
    QTest::newRow("prehashed taken for legacy")
        << "hashed/algorithm" << false << a << Verdict::BadSignature << false;
    QTest::newRow("trusted comment changed")
        << "hashed/comment" << false << a << Verdict::BadTrustedComment << false;
    QTest::newRow("truncated") << "hashed/truncate" << false << a << Verdict::Malformed << false;
    QTest::newRow("no untrusted comment prefix")
        << "hashed/prefix" << false << a << Verdict::Malformed << false;
    QTest::newRow("unknown algorithm") << "hashed/Ex" << false << a << Verdict::Malformed << false;
    // minisign reads the first four lines of any file; we refuse to read that much.
    QTest::newRow("padded past the limit")
        << "hashed/pad" << false << a << Verdict::TooLarge << true;
    QTest::newRow("no signature file") << "none" << false << a << Verdict::NoSignature << false;
}

void TestPackageSignature::verify()
{
    QFETCH(QString, signature);
    QFETCH(bool, packageChanged);
    QFETCH(QStringList, trusted);
    QFETCH(Verdict, verdict);
    QFETCH(bool, minisignAccepts);

    const QString change = signature.section('/', 1);
    signature = signature.section('/', 0, 0);
    QByteArray text = readAll(path(signature + ".minisig"));
    if (change == "crlf")
        text.replace("\n", "\r\n");
    else if (change == "trailing")
        text += "untrusted comment: more\nanything\n";
    else if (change == "signature")
        text = changeDecodedLine(text, 1, [](QByteArray &d) { d[20] = char(d[20] ^ 1); });
    else if (change == "algorithm")
        text = changeDecodedLine(text, 1, [](QByteArray &d) { d[1] = 'd'; });
    else if (change == "Ex")
        text = changeDecodedLine(text, 1, [](QByteArray &d) { d[1] = 'x'; });
    else if (change == "comment")
        text.replace("trusted comment: timestamp:", "trusted comment: timestamp:1");
    else if (change == "truncate")
        text = text.left(text.indexOf("trusted comment: "));
    else if (change == "prefix")
        text.remove(0, int(qstrlen("untrusted comment: ")));
    else if (change == "pad")
        text += QByteArray(int(zev::kMaxSignatureBytes), '\n');
    const QString signaturePath = path("checked.minisig");
    QFile::remove(signaturePath);
    if (signature != "none")
        QVERIFY(writeAll(signaturePath, text));
    QString package = signature == "empty" ? "empty.zip" : "package.zip";
    QByteArray content = readAll(path(package));
    if (packageChanged) {
        content[2200000] = char(content[2200000] ^ 0x40);
        package = "changed.zip";
        QVERIFY(writeAll(path(package), content));
    }
    QList<trust::PublicKey> keys;
    for (const QString &name : trusted)
        keys << key(name);

    const trust::Result fromFile = trust::verifyFile(path(package), signaturePath, keys);
    QCOMPARE(trust::verdictText(fromFile.verdict), trust::verdictText(verdict));
    if (signature != "none") {
        QCOMPARE(trust::verdictText(trust::verify(content, text, keys).verdict),
            trust::verdictText(verdict));
    }
    const QString signer = signature == "byB" ? "B" : "A";
    const bool read = verdict != Verdict::Malformed && verdict != Verdict::TooLarge
        && verdict != Verdict::NoSignature;
    QCOMPARE(fromFile.keyId, read ? trust::keyIdText(key(signer).id) : QString());
    if (verdict == Verdict::Verified) {
        QVERIFY(signature == "long" ? fromFile.trustedComment == QByteArray(4077, 't')
                                    : fromFile.trustedComment.startsWith("timestamp:"));
    }

    const bool accepted = minisign({ "-V", "-p", HostProcess::hostPath(path(signer + ".pub")), "-m",
        HostProcess::hostPath(path(package)), "-x", HostProcess::hostPath(signaturePath) });
    QCOMPARE(accepted, minisignAccepts);
}

QTEST_MAIN(TestPackageSignature)
#include "tst_packagesignature.moc"
