#include <appconfig.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const char kMissing[] = "<no file>";

QStringList fieldsOf(const AppConfig &c)
{
    return { c.manifestName, c.buildVersionKey, c.kernelVersionKey, c.findInstallApkUrl,
        c.addInstallStatUrl, c.mainServicePackage, c.mainServiceActivity, c.systemVersionLowLimit,
        c.kernelVersionLowLimit, c.region,
        QString::number(c.trustedKeys.size()) + QLatin1Char(':') + c.trustedKeys.join('|') };
}

const QStringList kFieldNames = { QStringLiteral("manifestName"), QStringLiteral("buildVersionKey"),
    QStringLiteral("kernelVersionKey"), QStringLiteral("findInstallApkUrl"),
    QStringLiteral("addInstallStatUrl"), QStringLiteral("mainServicePackage"),
    QStringLiteral("mainServiceActivity"), QStringLiteral("systemVersionLowLimit"),
    QStringLiteral("kernelVersionLowLimit"), QStringLiteral("region"),
    QStringLiteral("trustedKeys") };

const QStringList kDefaults = { QStringLiteral("app.xml"),
    QStringLiteral("ro.build.version.incremental="), QStringLiteral("ro.build.date.utc="),
    QStringLiteral("http://127.0.0.1:8080/zev/version/findPcInstallApk"),
    QStringLiteral("http://127.0.0.1:8080/zev/version/addPcInstallStat"),
    QStringLiteral("com.norvikinc.tarvo2services"),
    QStringLiteral("com.norvikinc.tarvo2services.MainActivity"),
    QStringLiteral("2016-07-21 19:59:46"), QStringLiteral("2016-07-20 18:31:33"),
    QStringLiteral("cn"), QStringLiteral("0:") };

} // namespace

// This test binary has a folder of its own, so the files it writes beside itself race with no
// other test.
class TestAppConfig : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void readConfig_data();
    void readConfig();
    void language_data();
    void language();

private:
    QString m_configFolder;
};

void TestAppConfig::initTestCase()
{
    m_configFolder = QCoreApplication::applicationDirPath() + QStringLiteral("/config");
    QDir(m_configFolder).removeRecursively();
}

void TestAppConfig::cleanup()
{
    QDir(m_configFolder).removeRecursively();
}

void TestAppConfig::readConfig_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QVariantMap>("changed");

    QTest::newRow("no file") << QByteArray(kMissing) << QVariantMap();
    QTest::newRow("empty file") << QByteArray() << QVariantMap();
    QTest::newRow("not JSON") << QByteArray("{\"systemLanguage\": \"en\",") << QVariantMap();
    QTest::newRow("top level array")
        << QByteArray("[{\"systemLanguage\": \"en\"}]") << QVariantMap();
    QTest::newRow("top level string") << QByteArray("\"en\"") << QVariantMap();
    QTest::newRow("empty object") << QByteArray("{}") << QVariantMap();
    QTest::newRow("region only") << QByteArray("{\"systemLanguage\": \"en\"}")
                                 << QVariantMap { { QStringLiteral("region"),
                                        QStringLiteral("en") } };
    QTest::newRow("wrong value types keep defaults") << QByteArray(
        "{\"systemLanguage\": 7, \"appconfig\": null, \"build_version_name\": true,"
        " \"kernel_version_name\": [\"x\"], \"default_request_url\": {\"a\": 1},"
        " \"system_version_low_limit\": 2017}") << QVariantMap();
    QTest::newRow("every plain key")
        << QByteArray("{\"appconfig\": \"pkg.xml\", \"build_version_name\": \"ro.a=\","
                      " \"kernel_version_name\": \"ro.b=\", \"system_version_low_limit\": "
                      "\"2017-01-01 00:00:00\", \"kernal_version_low_limit\": \"2017-02-02 "
                      "00:00:00\", \"systemLanguage\": \"en\"}")
        << QVariantMap { { QStringLiteral("manifestName"), QStringLiteral("pkg.xml") },
               { QStringLiteral("buildVersionKey"), QStringLiteral("ro.a=") },
               { QStringLiteral("kernelVersionKey"), QStringLiteral("ro.b=") },
               { QStringLiteral("systemVersionLowLimit"), QStringLiteral("2017-01-01 00:00:00") },
               { QStringLiteral("kernelVersionLowLimit"), QStringLiteral("2017-02-02 00:00:00") },
               { QStringLiteral("region"), QStringLiteral("en") } };
    QTest::newRow("kernel limit under the correct spelling is not read")
        << QByteArray("{\"kernel_version_low_limit\": \"2020-01-01 00:00:00\"}") << QVariantMap();
    QTest::newRow("request url")
        << QByteArray("{\"default_request_url\": \"https://upgrade.example.org:9443\"}")
        << QVariantMap { { QStringLiteral("findInstallApkUrl"),
                             QStringLiteral(
                                 "https://upgrade.example.org:9443/zev/version/findPcInstallApk") },
               { QStringLiteral("addInstallStatUrl"),
                   QStringLiteral(
                       "https://upgrade.example.org:9443/zev/version/addPcInstallStat") } };
    QTest::newRow("request url with trailing slash")
        << QByteArray("{\"default_request_url\": \"http://h/\"}")
        << QVariantMap { { QStringLiteral("findInstallApkUrl"),
                             QStringLiteral("http://h//zev/version/findPcInstallApk") },
               { QStringLiteral("addInstallStatUrl"),
                   QStringLiteral("http://h//zev/version/addPcInstallStat") } };
    QTest::newRow("main service value without its companion key") << QByteArray(
        "{\"main_services_name\": \"com.x.svc\","
        " \"mian_services_name_activity\": \"com.x.svc.Main\"}") << QVariantMap();
    QTest::newRow("main service companion key alone")
        << QByteArray("{\"main_service_name\": \"com.x.svc\","
                      " \"mian_service_name_activity\": \"com.x.svc.Main\"}")
        << QVariantMap();
    QTest::newRow("main service with both keys takes the second")
        << QByteArray("{\"main_service_name\": \"first\", \"main_services_name\": \"com.x.svc\","
                      " \"mian_service_name_activity\": \"first\","
                      " \"mian_services_name_activity\": \"com.x.svc.Main\"}")
        << QVariantMap { { QStringLiteral("mainServicePackage"), QStringLiteral("com.x.svc") },
               { QStringLiteral("mainServiceActivity"), QStringLiteral("com.x.svc.Main") } };
    QTest::newRow("main service value of the wrong type")
        << QByteArray("{\"main_service_name\": \"a\", \"main_services_name\": 5}") << QVariantMap();
    QTest::newRow("trusted keys") << QByteArray("{\"trusted_keys\": [\"RWQa\", \"RWQb\"]}")
                                  << QVariantMap { { "trustedKeys", "2:RWQa|RWQb" } };
    QTest::newRow("trusted keys not an array")
        << QByteArray("{\"trusted_keys\": \"RWQa\"}") << QVariantMap();
    QTest::newRow("trusted keys empty") << QByteArray("{\"trusted_keys\": []}") << QVariantMap();
    // A key that is no text still asks for signatures: it matches no signature.
    QTest::newRow("trusted key that is no text")
        << QByteArray("{\"trusted_keys\": [5]}") << QVariantMap { { "trustedKeys", "1:" } };
    QTest::newRow("non-ASCII text")
        << QByteArray("{\"systemLanguage\": \"中文\"}")
        << QVariantMap { { QStringLiteral("region"), QStringLiteral("中文") } };
}

void TestAppConfig::readConfig()
{
    QFETCH(QByteArray, json);
    QFETCH(QVariantMap, changed);

    if (json != kMissing) {
        QVERIFY(QDir().mkpath(m_configFolder));
        QFile file(m_configFolder + QStringLiteral("/config.json"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(json), qint64(json.size()));
    }

    QStringList expected = kDefaults;
    for (auto it = changed.cbegin(); it != changed.cend(); ++it) {
        const int index = kFieldNames.indexOf(it.key());
        QVERIFY2(index >= 0, qPrintable(it.key()));
        expected[index] = it.value().toString();
    }
    const QStringList actual = fieldsOf(readAppConfig());
    for (int i = 0; i < kFieldNames.size(); ++i)
        QVERIFY2(actual.at(i) == expected.at(i),
            qPrintable(kFieldNames.at(i) + QStringLiteral(": ") + actual.at(i)));
}

void TestAppConfig::language_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QByteArray>("systemLocale");
    QTest::addColumn<QString>("expected");

    QTest::newRow("zh_CN set") << QByteArray("[LanguageSettingWidget]\nlanguage=zh_CN\n")
                               << QByteArray("en_US.UTF-8") << QStringLiteral("zh_CN");
    QTest::newRow("other letter case kept")
        << QByteArray("[LanguageSettingWidget]\nlanguage=ZH_cn\n") << QByteArray("en_US.UTF-8")
        << QStringLiteral("ZH_cn");
    QTest::newRow("fr_FR becomes en") << QByteArray("[LanguageSettingWidget]\nlanguage=fr_FR\n")
                                      << QByteArray("zh_CN.UTF-8") << QStringLiteral("en");
    QTest::newRow("zh_TW becomes en") << QByteArray("[LanguageSettingWidget]\nlanguage=zh_TW\n")
                                      << QByteArray("zh_CN.UTF-8") << QStringLiteral("en");
    QTest::newRow("no file, Chinese system")
        << QByteArray(kMissing) << QByteArray("zh_CN.UTF-8") << QStringLiteral("zh_CN");
    QTest::newRow("no file, English system")
        << QByteArray(kMissing) << QByteArray("en_US.UTF-8") << QStringLiteral("en");
    QTest::newRow("empty value falls back to the system")
        << QByteArray("[LanguageSettingWidget]\nlanguage=\n") << QByteArray("zh_CN.UTF-8")
        << QStringLiteral("zh_CN");
    QTest::newRow("key in another group is not read")
        << QByteArray("[General]\nlanguage=zh_CN\n") << QByteArray("de_DE.UTF-8")
        << QStringLiteral("en");
}

// The system locale is read once per process, so each case runs the probe in a folder of its own
// with the locale in its environment.
void TestAppConfig::language()
{
    QFETCH(QByteArray, ini);
    QFETCH(QByteArray, systemLocale);
    QFETCH(QString, expected);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString probe = dir.filePath(QStringLiteral("utilsprobe"));
    QVERIFY(QFile::copy(QStringLiteral(ZEV_UTILS_PROBE), probe));
    if (ini != kMissing) {
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("Config")));
        QFile file(dir.filePath(QStringLiteral("Config/settings.ini")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(ini), qint64(ini.size()));
    }

    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &name :
        { QStringLiteral("LANGUAGE"), QStringLiteral("LC_MESSAGES"), QStringLiteral("LC_NUMERIC") })
        env.remove(name);
    env.insert(QStringLiteral("LC_ALL"), QString::fromLatin1(systemLocale));
    env.insert(QStringLiteral("LANG"), QString::fromLatin1(systemLocale));
    process.setProcessEnvironment(env);
    process.start(probe, { QStringLiteral("language") });
    QVERIFY2(process.waitForStarted(5000), qPrintable(process.errorString()));
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(QString::fromUtf8(process.readAllStandardOutput()), expected);
    QVERIFY2(!QFileInfo::exists(dir.filePath(QStringLiteral("Config/settings.ini")))
            || QFile(dir.filePath(QStringLiteral("Config/settings.ini"))).size() == ini.size(),
        "the settings file is never written");
}

QTEST_GUILESS_MAIN(TestAppConfig)
#include "tst_appconfig.moc"
