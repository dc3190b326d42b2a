#include <zeverror.h>

#include <QTextCodec>
#include <QtTest>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

#include <map>

using utils::ZEVError;

namespace {

// The table as the user must read it, written out here independently of the code under test.
const std::map<int, QString> &expectedTable()
{
    static const std::map<int, QString> table = {
        { 0, QString() },
        { 500, QStringLiteral("Http重定向错误!") },
        { 501, QStringLiteral("获取更新包版本信息失败，请检查网络!") },
        { 502, QStringLiteral("下载地址解析失败, 请联系售后:000-0000-000!") },
        { 503, QStringLiteral("下载更新包失败，请检查网络!") },
        { 20000, QStringLiteral("没有找到adb,请检查Adb路径!") },
        { 20001, QStringLiteral("未能读到机器人版本信息，请检查USB线是否连接正常！") },
        { 20002, QStringLiteral("USB连接断开，请重试!") },
        { 20003, QStringLiteral("初始化安装应用列表失败!") },
        { 20004, QStringLiteral("没有检测到actions文件,升级完成") },
        { 20005, QStringLiteral("机器人存储空间不足!") },
        { 20006, QStringLiteral("存储空间不足导致APK解码失败!") },
        { 20007, QStringLiteral("存储空间不足导致apk拷贝失败!") },
        { 20008, QStringLiteral("文件拷贝失败!") },
        { 20009, QStringLiteral("未检测到机器人!") },
        { 20010, QStringLiteral("机器人与电脑的连接断开!") },
        { 20011, QStringLiteral("更新不完整！") },
        { 20012, QStringLiteral("软件与机器人主服务版本冲突!") },
        { 20013, QStringLiteral("文件认证不一致!") },
        { 20014, QStringLiteral("目标已经存在!") },
        { 20015, QStringLiteral("非法的zip文件!") },
        { 20016, QStringLiteral("系统版本低于软件所需版本!") },
        { 20017, QStringLiteral("文件未通过认证!") },
        { 20018, QStringLiteral("容器错误!") },
        { 20019, QStringLiteral("未建立连接!") },
        { 20020, QStringLiteral("APP签名错误，请联系售后:000-0000-000!") },
        { 20021, QStringLiteral("版本冲突!") },
        { 20022, QStringLiteral("拷贝音乐文件或动作文件失败!") },
        { 20023, QStringLiteral("主服务安装失败，请重新刷机！") },
        { 20024, QStringLiteral("Adb安装协议失败!") },
        { 30000, QStringLiteral("升级包解压出错!") },
        { 30001, QStringLiteral("升级包下载错误!") },
        { 30002, QStringLiteral("MD5校验失败,请重新刷机!") },
        { 30003, QStringLiteral("下载更新包失败，可能是网络连接中断，请重试!") },
        // English without the program's translation (Chinese under Wine: upgrade_wine.py).
        { 30004, QStringLiteral("The upgrade package's signature could not be verified!") },
        { 40000, QStringLiteral("未检测到机器人版本,请检查USB连接是否正常!") },
        { 40001,
            QStringLiteral(
                "System version is too low, please call after-sale service:000-0000-000!") },
        { 40002, QStringLiteral("机器人版本号错误!") },
        { 40003, QStringLiteral("请拔掉其他Adb设备后重试!") },
        { 99999, QStringLiteral("未知错误!") },
    };
    return table;
}

const QString kNetwork = QStringLiteral("网络故障,请检查网络！");

QString shown(const std::string &message)
{
    return ZEVError::decodeMessage(message);
}

} // namespace

class TestZevError : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void messageText_data();
    void messageText();
    void localEncodingRoundTrip_data();
    void localEncodingRoundTrip();
    void constructionAndSetters();
    void classifier_data();
    void classifier();
    void makeErrorAndMetaType();
#ifndef Q_OS_WIN
    void readmeFailureTable_data();
    void readmeFailureTable();
#endif
#ifdef Q_OS_WIN
    void chineseWindowsSystemCodec_data();
    void chineseWindowsSystemCodec();
#endif

private:
    QTextCodec *m_originalLocaleCodec = nullptr;
};

void TestZevError::initTestCase()
{
    m_originalLocaleCodec = QTextCodec::codecForLocale();
    ZEVError::buildMessageTable();
    ZEVError::buildMessageTable(); // a second build changes nothing
}

void TestZevError::cleanup()
{
    QTextCodec::setCodecForLocale(m_originalLocaleCodec);
}

void TestZevError::messageText_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("expected");

    for (const auto &entry : expectedTable())
        QTest::addRow("table %d", entry.first) << entry.first << entry.second;
    QTest::newRow("network low edge 1") << 1 << kNetwork;
    QTest::newRow("network 404") << 404 << kNetwork;
    QTest::newRow("network high edge 499") << 499 << kNetwork;
    QTest::newRow("not in table 1000") << 1000 << QString();
    QTest::newRow("not in table 20025") << 20025 << QString();
    QTest::newRow("negative -1") << -1 << QString();
    QTest::newRow("most negative") << std::numeric_limits<int>::min() << QString();
    QTest::newRow("largest") << std::numeric_limits<int>::max() << QString();
}

void TestZevError::messageText()
{
    QFETCH(int, code);
    QFETCH(QString, expected);
    QCOMPARE(ZEVError::messageTextForCode(code), expected);
    QCOMPARE(shown(ZEVError(code).errorMessage()), expected);
}

void TestZevError::localEncodingRoundTrip_data()
{
    QTest::addColumn<QByteArray>("codecName");
    QTest::addColumn<int>("code");

    // GBK is the code page of a Chinese Windows; UTF-8 that of a Debian desktop.
    for (const QByteArray &codecName : { QByteArray("UTF-8"), QByteArray("GBK") }) {
        for (const auto &entry : expectedTable())
            QTest::addRow("%s %d", codecName.constData(), entry.first) << codecName << entry.first;
        QTest::addRow("%s network", codecName.constData()) << codecName << 1;
    }
}

void TestZevError::localEncodingRoundTrip()
{
    QFETCH(QByteArray, codecName);
    QFETCH(int, code);

    QTextCodec *codec = QTextCodec::codecForName(codecName);
    QVERIFY(codec);
    QTextCodec::setCodecForLocale(codec);

    const QString expected = code == 1 ? kNetwork : expectedTable().at(code);
    const std::string bytes = ZEVError::messageForCode(code);
    QCOMPARE(QByteArray::fromStdString(bytes), codec->fromUnicode(expected));
#ifdef Q_OS_WIN
    // There "System" is the ANSI code page, whatever the locale codec is set to: the finish box
    // reads back only the rows in the system's own encoding.
    QTextCodec *ansi = QTextCodec::codecForName("System");
    QVERIFY(ansi);
    if (ansi->fromUnicode(expected) != codec->fromUnicode(expected))
        return;
#endif
    QCOMPARE(shown(bytes), expected);
    if (QTextCodec *system = QTextCodec::codecForName("System"))
        QCOMPARE(system->toUnicode(QByteArray::fromStdString(bytes)), expected);

    ZEVError error;
    error.setErrorCode(code);
    QCOMPARE(shown(error.errorMessage()), expected);
}

void TestZevError::constructionAndSetters()
{
    const ZEVError empty;
    QCOMPARE(empty.errorCode(), 0);
    QVERIFY(empty.errorMessage().empty());
    QCOMPARE(QByteArray(empty.metaObject()->className()), QByteArray("utils::ZEVError"));
    QVERIFY(!empty.parent());

    const ZEVError given(30002, "custom");
    QCOMPARE(given.errorCode(), 30002);
    QCOMPARE(given.errorMessage(), std::string("custom"));

    ZEVError error;
    error.setErrorCode(30002);
    QCOMPARE(error.errorCode(), 30002);
    QCOMPARE(shown(error.errorMessage()), QStringLiteral("MD5校验失败,请重新刷机!"));
    error.setErrorCode(0);
    QCOMPARE(error.errorCode(), 0);
    QVERIFY(error.errorMessage().empty());

    // The install worker puts the application's name in front of the table text.
    error.setErrorCode(20023);
    error.setErrorMessage(QStringLiteral("Tarvo2Services ").toStdString() + error.errorMessage());
    QCOMPARE(error.errorCode(), 20023);
    QCOMPARE(
        shown(error.errorMessage()), QStringLiteral("Tarvo2Services 主服务安装失败，请重新刷机！"));
}

void TestZevError::classifier_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<int>("code");

    const struct
    {
        const char *key;
        int code;
    } singleKeys[] = {
        { "INSTALL_FAILED_VERSION_DOWNGRADE", 20019 },
        { "INSTALL_FAILED_INSUFFICIENT_STORAGE", 20005 },
        { "INSTALL_FAILED_DEXOPT", 20006 },
        { "INSTALL_FAILED_DEVICE_NOSPACE", 20007 },
        { "INSTALL_FAILED_DEVICE_COPY_FAILED", 20008 },
        { "INSTALL_DEVICES_NOT_FOUND", 20009 },
        { "INSTALL_FAILED_DEVICE_OFFLINE", 20010 },
        { "INSTALL_FAILED_UPDATE_INCOMPATIBLE", 20011 },
        { "INSTALL_FAILED_CONFLICTING_PROVIDER", 20012 },
        { "INSTALL_PARSE_FAILED_INCONSISTENT_CERTIFICATES", 20013 },
        { "INSTALL_FAILED_ALREADY_EXISTS", 20014 },
        { "INSTALL_FAILED_INVALID_ZIP_FILE", 20015 },
        { "INSTALL_FAILED_OLDER_SDK", 20016 },
        { "INSTALL_FAILED_CONTAINER_ERROR", 20017 },
        { "INSTALL_FAILED_UID_CHANGED", 20021 },
        { "not found", 20009 },
        { "more than one device", 40003 },
        { "INSTALL_FAILED_SHARED_USER_INCOMPATIBLE", 20020 },
    };
    for (const auto &row : singleKeys) {
        QTest::addRow("%s", row.key)
            << ("\tpkg: /data/local/tmp/a.apk\r\nFailure [" + QByteArray(row.key) + "]\r\n")
            << row.code;
    }

    QTest::newRow("empty") << QByteArray() << 99999;
    QTest::newRow("unknown failure") << QByteArray("Failure [INSTALL_FAILED_ABORTED]\n") << 99999;
    QTest::newRow("keys are case-sensitive")
        << QByteArray("install_failed_dexopt, NOT FOUND") << 99999;
    QTest::newRow("protocol failure alone") << QByteArray("adb: protocol failure\n") << 99999;
    QTest::newRow("rm failed alone") << QByteArray("rm failed for /data/local/tmp/x.apk") << 99999;
    QTest::newRow("protocol failure and rm failed")
        << QByteArray("rm failed for /data/local/tmp/x.apk\nprotocol failure\n") << 20024;
    QTest::newRow("earlier key wins over a later one")
        << QByteArray("error: more than one device\nFailure [INSTALL_FAILED_INSUFFICIENT_STORAGE]")
        << 20005;
    QTest::newRow("downgrade never gives the container code")
        << QByteArray("INSTALL_FAILED_CONTAINER_ERROR INSTALL_FAILED_VERSION_DOWNGRADE") << 20019;
    QTest::newRow("device not found beats more than one device")
        << QByteArray("more than one device; error: device not found") << 20009;
    QTest::newRow("more than one device beats signature")
        << QByteArray("INSTALL_FAILED_SHARED_USER_INCOMPATIBLE more than one device") << 40003;
    QTest::newRow("specific keys beat the protocol pair")
        << QByteArray("protocol failure rm failed INSTALL_FAILED_UID_CHANGED") << 20021;
    QTest::newRow("embedded NUL does not end the search")
        << QByteArray("noise\0INSTALL_FAILED_OLDER_SDK", 30) << 20016;
}

void TestZevError::classifier()
{
    QFETCH(QByteArray, output);
    QFETCH(int, code);
    QCOMPARE(ZEVError::errorCodeFromAdbOutput(output), code);
    QVERIFY(code != 20018);
}

void TestZevError::makeErrorAndMetaType()
{
    const utils::ZEVErrorPtr success = utils::makeError();
    QVERIFY(success);
    QCOMPARE(success->errorCode(), 0);

    const utils::ZEVErrorPtr failure = utils::makeError(40003);
    QCOMPARE(failure->errorCode(), 40003);
    QCOMPARE(shown(failure->errorMessage()), QStringLiteral("请拔掉其他Adb设备后重试!"));
    QVERIFY(failure != utils::makeError(40003)); // a fresh object for every report

    const QVariant carried = QVariant::fromValue(failure);
    QCOMPARE(carried.value<utils::ZEVErrorPtr>(), failure);
    QCOMPARE(failure.use_count(), 2L);
}

#ifndef Q_OS_WIN
namespace {

QString sourceText(const char *relativePath)
{
    QFile file(qEnvironmentVariable("ZEV_SOURCE_DIR") + QLatin1Char('/')
        + QLatin1String(relativePath));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// Code -> message column of the README's failure table ("| 20002 | USB连接断开，请重试! | ...").
QMultiMap<QString, QString> readmeFailureRows()
{
    static const QRegularExpression row(QStringLiteral("^\\| ([0-9–]+) \\| ([^|]+) \\|"),
        QRegularExpression::MultilineOption);
    // Only the failure table's section: other tables (exit statuses) have numbered rows too.
    const QString readme = sourceText("README.md");
    const int start = readme.indexOf(QStringLiteral("\n## When an upgrade fails\n"));
    const QString section = readme.mid(start, readme.indexOf(QStringLiteral("\n## "), start + 1) - start);
    QMultiMap<QString, QString> rows;
    auto it = row.globalMatch(section);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        rows.insert(match.captured(1), match.captured(2).trimmed());
    }
    return rows;
}

} // namespace

// Every code of the enum, read from its header, has exactly one row in the users' failure table,
// with the very message the finish box shows.
void TestZevError::readmeFailureTable_data()
{
    QTest::addColumn<QString>("code");
    static const QRegularExpression enumerator(
        QStringLiteral("^\\s+k\\w+ = (\\d+),$"), QRegularExpression::MultilineOption);
    auto it = enumerator.globalMatch(sourceText("utils/zeverror.h"));
    QVERIFY(it.hasNext());
    int codes = 1;
    QTest::newRow("network band") << QStringLiteral("1–499");
    while (it.hasNext()) {
        const QString code = it.next().captured(1);
        if (code != QLatin1String("0")) {
            QTest::newRow(qPrintable(code)) << code;
            ++codes;
        }
    }
    // No row for a code the enum does not have.
    QCOMPARE(readmeFailureRows().size(), codes);
}

void TestZevError::readmeFailureTable()
{
    QFETCH(QString, code);
    const QMultiMap<QString, QString> rows = readmeFailureRows();
    QCOMPARE(rows.count(code), 1);
    const int first = code.section(QStringLiteral("–"), 0, 0).toInt();
    QCOMPARE(rows.value(code), ZEVError::messageTextForCode(first));
}
#endif

#ifdef Q_OS_WIN
void TestZevError::chineseWindowsSystemCodec_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("gbk");
    // Written by python3's own GBK codec.
    QTest::newRow("500") << 500 << QByteArray("Http\xd6\xd8\xb6\xa8\xcf\xf2\xb4\xed\xce\xf3!");
    QTest::newRow("99999") << 99999 << QByteArray("\xce\xb4\xd6\xaa\xb4\xed\xce\xf3!");
}

// Code page 936 (the test prefix's, as on a simplified Chinese Windows): the untouched locale
// codec gives the GBK bytes, and the "System" codec reads them back.
void TestZevError::chineseWindowsSystemCodec()
{
    QFETCH(int, code);
    QFETCH(QByteArray, gbk);
    if (GetACP() != 936)
        QSKIP("the ANSI code page is not 936 here");
    QTextCodec *system = QTextCodec::codecForName("System");
    QVERIFY(system);
    QCOMPARE(QByteArray::fromStdString(ZEVError(code).errorMessage()), gbk);
    QCOMPARE(system->toUnicode(gbk), expectedTable().at(code));
}
#endif

QTEST_GUILESS_MAIN(TestZevError)
#include "tst_zeverror.moc"
