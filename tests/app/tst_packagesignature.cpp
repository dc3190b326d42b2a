// The signature parser and verifier against Debian's minisign: keys and signatures it makes at
// test time, changed one fault at a time, each judged by us and by `minisign -V` alike.
#include "../support/hostprocess.h"

#include <constants.h>
#include <packagesignature.h>

#include <QtTest>

using trust::Verdict;

Q_DECLARE_METATYPE(trust::Verdict)

class TestPackageSignature : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void publicKey_data();
    void publicKey();
    void verify_data();
    void verify();

private:
    QString path(const QString &name) const { return HostProcess::hostPath(m_dir.filePath(name)); }
    QByteArray read(const QString &name) const
    {
        QFile file(m_dir.filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    bool write(const QString &name, const QByteArray &data) const
    {
        QFile file(m_dir.filePath(name));
        return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
    }
    trust::PublicKey key(const QString &name) const
    {
        return trust::parsePublicKey(read(name + ".pub").split('\n').value(1))
            .value_or(trust::PublicKey {});
    }
    static bool minisign(const QStringList &arguments)
    {
        HostProcess process;
        return process.start(QStringLiteral("/usr/bin/minisign"), arguments)
            && process.waitForFinished(30000) && process.succeeded();
    }

    QTemporaryDir m_dir;
};

void TestPackageSignature::initTestCase()
{
#ifndef Q_OS_WIN
    if (!QFile::exists(QStringLiteral("/usr/bin/minisign")))
        QSKIP("Debian's minisign is not installed");
#endif
    // Over two of the hashing's 1 MiB windows, and not a whole number of them.
    QByteArray package = QByteArray("0123456789abcdef").repeated(163840) + 'x';
    QVERIFY(write("package.zip", package));
    package[2200000] = char(package[2200000] ^ 0x40);
    QVERIFY(write("changed.zip", package));
    for (const QString name : { "A", "B" })
        QVERIFY(minisign({ "-G", "-W", "-p", path(name + ".pub"), "-s", path(name + ".key") }));
    // signature, key, file, options
    const QList<QStringList> signatures { { "hashed", "A", "package.zip" },
        { "legacy", "A", "package.zip", "-l" }, { "byB", "B", "package.zip" },
        { "long", "A", "package.zip", "-t", QString(4077, QLatin1Char('t')) } };
    for (const QStringList &s : signatures) {
        QVERIFY(minisign(QStringList { "-S", "-s", path(s[1] + ".key"), "-m", path(s[2]), "-x",
                             path(s[0] + ".minisig") }
            + s.mid(3)));
    }
}

void TestPackageSignature::publicKey_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("parses");

    const QByteArray pub = read("A.pub");
    const QByteArray line = pub.split('\n').value(1);
    QTest::newRow("the .pub file's key line") << line << true;
    QTest::newRow("with blanks and CRLF around") << " " + line + "\r\n" << true;
    QTest::newRow("the whole .pub file") << pub << false;
    QTest::newRow("one byte short") << QByteArray::fromBase64(line).chopped(1).toBase64() << false;
    QTest::newRow("not Ed25519") << "Ec" + QByteArray::fromBase64(line).mid(2).toBase64() << false;
    QTest::newRow("not base64") << line.left(20) + "*" + line.mid(21) << false;
}

void TestPackageSignature::publicKey()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, parses);

    const std::optional<trust::PublicKey> parsed = trust::parsePublicKey(line);
    QCOMPARE(parsed.has_value(), parses);
    // Ids as minisign prints them: in the key's own comment line, without leading zeros.
    QCOMPARE(trust::keyIdText(QByteArray::fromHex("baddeb39e6e32106")), "621E3E639EBDDBA");
    if (parses) {
        QVERIFY(read("A.pub").startsWith("untrusted comment: minisign public key "
            + trust::keyIdText(parsed->id).toLatin1() + '\n'));
    }
}

void TestPackageSignature::verify_data()
{
    QTest::addColumn<QString>("signature"); // as minisign made it, then "/change"
    QTest::addColumn<QString>("package");
    QTest::addColumn<QStringList>("trusted");
    QTest::addColumn<Verdict>("verdict");
    QTest::addColumn<bool>("minisignAccepts"); // with the key whose id the signature names

    const QString p("package.zip"), changed("changed.zip");
    const QStringList a { "A" };
    QTest::newRow("prehashed") << "hashed" << p << a << Verdict::Verified << true;
    QTest::newRow("legacy") << "legacy" << p << a << Verdict::Verified << true;
    QTest::newRow("second of two trusted keys")
        << "byB" << p << QStringList { "A", "B" } << Verdict::Verified << true;
    QTest::newRow("longest trusted comment minisign writes")
        << "long" << p << a << Verdict::Verified << true;
    QTest::newRow("CRLF line ends") << "hashed/crlf" << p << a << Verdict::Verified << true;
    QTest::newRow("lines after the fourth")
        << "hashed/trailing" << p << a << Verdict::Verified << true;
    QTest::newRow("untrusted key") << "byB" << p << a << Verdict::UnknownKey << true;
    QTest::newRow("prehashed, package changed")
        << "hashed" << changed << a << Verdict::BadSignature << false;
    QTest::newRow("legacy, package changed")
        << "legacy" << changed << a << Verdict::BadSignature << false;
    QTest::newRow("signature changed")
        << "hashed/signature" << p << a << Verdict::BadSignature << false;
    QTest::newRow("prehashed taken for legacy")
        << "hashed/algorithm" << p << a << Verdict::BadSignature << false;
    QTest::newRow("trusted comment changed")
        << "hashed/comment" << p << a << Verdict::BadTrustedComment << false;
    QTest::newRow("truncated") << "hashed/truncate" << p << a << Verdict::Malformed << false;
    QTest::newRow("unknown algorithm") << "hashed/Ex" << p << a << Verdict::Malformed << false;
    // minisign reads the first four lines of any file; we refuse to read that much.
    QTest::newRow("padded past the limit") << "hashed/pad" << p << a << Verdict::TooLarge << true;
    QTest::newRow("no signature file") << "none" << p << a << Verdict::NoSignature << false;
}

void TestPackageSignature::verify()
{
    QFETCH(QString, signature);
    QFETCH(QString, package);
    QFETCH(QStringList, trusted);
    QFETCH(Verdict, verdict);
    QFETCH(bool, minisignAccepts);

    const QString change = signature.section('/', 1);
    signature = signature.section('/', 0, 0);
    QByteArray text = read(signature + ".minisig");
    QList<QByteArray> lines = text.split('\n');
    QByteArray signatureLine = QByteArray::fromBase64(lines.value(1));
    if (change == "crlf")
        text.replace("\n", "\r\n");
    else if (change == "trailing")
        text += "untrusted comment: more\nanything\n";
    else if (change == "comment")
        text.replace("trusted comment: timestamp:", "trusted comment: timestamp:1");
    else if (change == "truncate")
        text = text.left(text.indexOf("trusted comment: "));
    else if (change == "pad")
        text += QByteArray(int(zev::kMaxSignatureBytes), '\n');
    else if (!change.isEmpty()) {
        if (change == "signature")
            signatureLine[20] = char(signatureLine[20] ^ 1);
        else // the algorithm: "Ed" is legacy, "ED" prehashed
            signatureLine[1] = change == "algorithm" ? 'd' : 'x';
        lines[1] = signatureLine.toBase64();
        text = lines.join('\n');
    }
    QFile::remove(m_dir.filePath("checked.minisig"));
    QVERIFY(signature == "none" || write("checked.minisig", text));
    QList<trust::PublicKey> keys;
    for (const QString &name : trusted)
        keys << key(name);

    const trust::Result result
        = trust::verifyFile(m_dir.filePath(package), m_dir.filePath("checked.minisig"), keys);
    QCOMPARE(trust::verdictText(result.verdict), trust::verdictText(verdict));
    const QString signer = signature == "byB" ? "B" : "A";
    const bool keyRead = verdict != Verdict::Malformed && verdict != Verdict::TooLarge
        && verdict != Verdict::NoSignature;
    QCOMPARE(result.keyId, keyRead ? trust::keyIdText(key(signer).id) : QString());
    if (verdict == Verdict::Verified)
        QVERIFY(text.contains(
            "trusted comment: " + result.trustedComment + (change == "crlf" ? "\r\n" : "\n")));
    QCOMPARE(minisign({ "-V", "-p", path(signer + ".pub"), "-m", path(package), "-x",
                 path("checked.minisig") }),
        minisignAccepts);
}

QTEST_MAIN(TestPackageSignature)
#include "tst_packagesignature.moc"
