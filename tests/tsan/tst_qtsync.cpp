// The annotations that make Qt's synchronisation visible to ThreadSanitizer: hand-offs that Qt
// orders are reported clean, and races stay reported. Each case runs tsanprobe under TSan with
// the project's suppressions.
#include <QProcess>
#include <QtTest>

class TestQtSync : public QObject
{
    Q_OBJECT
private slots:
    void handOff_data();
    void handOff();
};

void TestQtSync::handOff_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("racy");
    QTest::newRow("queued signal") << QStringLiteral("queued-signal") << false;
    QTest::newRow("queued functor") << QStringLiteral("queued-invoke") << false;
    QTest::newRow("blocking queued functor") << QStringLiteral("blocking-invoke") << false;
    QTest::newRow("thread joined by wait()") << QStringLiteral("thread-wait") << false;
    QTest::newRow("QMutex") << QStringLiteral("mutex") << false;
    QTest::newRow("two unsynchronised writers") << QStringLiteral("race") << true;
    QTest::newRow("write after the signal") << QStringLiteral("write-after-signal") << true;
}

void TestQtSync::handOff()
{
    QFETCH(QString, mode);
    QFETCH(bool, racy);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TSAN_OPTIONS"),
        QStringLiteral("halt_on_error=0 exitcode=66 suppressions=")
            + qEnvironmentVariable("ZEV_SOURCE_DIR") + QStringLiteral("/tests/tsan.supp"));
    QProcess probe;
    probe.setProcessEnvironment(environment);
    probe.start(QStringLiteral(ZEV_TSAN_PROBE), { mode });
    QVERIFY2(probe.waitForFinished(60000), qPrintable(probe.errorString()));
    const QByteArray errors = probe.readAllStandardError();
    QCOMPARE(probe.exitStatus(), QProcess::NormalExit);

    const bool reported = errors.contains("WARNING: ThreadSanitizer: data race");
    QVERIFY2(reported == racy, errors.constData());
    // Only the racy cases end with TSan's exit code; the others check their own result.
    QCOMPARE(probe.exitCode(), racy ? 66 : 0);
}

QTEST_GUILESS_MAIN(TestQtSync)
#include "tst_qtsync.moc"
