#include "startup.h"
#include "tarvo2_upgradetool.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLibraryInfo>
#include <QLocale>
#include <QProcess>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

// Language selection through Config/settings.ini beside the program, with the .qm files the build
// put into the shipped folder (linked into this test's own program folder).
class TestLanguage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void translationsFollowSettings_data();
    void translationsFollowSettings();
    void everyEnglishSourceTranslated();
    void qtTranslatorOnlyWhenFound();

private:
    static QString appDir() { return QCoreApplication::applicationDirPath(); }
    static void writeLanguage(const QString &language);
};

void TestLanguage::initTestCase()
{
    const QString shipped = qEnvironmentVariable("ZEV_DIST_DIR") + QStringLiteral("/languages");
    QVERIFY2(QFile::exists(shipped + QStringLiteral("/tarvo2_upgradetool_zh_CN.qm")),
             qPrintable(shipped));
    const QString languages = appDir() + QStringLiteral("/languages");
    QFile::remove(languages);
    QDir(languages).removeRecursively();
    QVERIFY(QDir(appDir()).mkpath(QStringLiteral("languages")));
    for (const QString &name : QDir(shipped).entryList({QStringLiteral("*.qm")}, QDir::Files))
        QVERIFY(QFile::copy(shipped + QLatin1Char('/') + name, languages + QLatin1Char('/') + name));
    QVERIFY(QDir(appDir()).mkpath(QStringLiteral("Config")));
}

void TestLanguage::cleanupTestCase()
{
    QFile::remove(appDir() + QStringLiteral("/Config/settings.ini"));
    QDir(appDir() + QStringLiteral("/languages")).removeRecursively();
}

void TestLanguage::writeLanguage(const QString &language)
{
    QFile ini(appDir() + QStringLiteral("/Config/settings.ini"));
    QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ini.write("[LanguageSettingWidget]\nlanguage=" + language.toUtf8() + "\n");
}

void TestLanguage::translationsFollowSettings_data()
{
    QTest::addColumn<QString>("setting");
    QTest::addColumn<QString>("code");
    QTest::addColumn<bool>("chinese");

    QTest::newRow("zh_CN") << "zh_CN" << "zh_CN" << true;
    QTest::newRow("zh_CN in other letter case") << "ZH_cn" << "ZH_cn" << true;
    QTest::newRow("fr_FR") << "fr_FR" << "en" << false;
    QTest::newRow("zh_TW") << "zh_TW" << "en" << false;
    QTest::newRow("de_DE") << "de_DE" << "en" << false;
}

void TestLanguage::translationsFollowSettings()
{
    QFETCH(QString, setting);
    QFETCH(QString, code);
    QFETCH(bool, chinese);

    writeLanguage(setting);
    Translators translators;
    QCOMPARE(installTranslations(*qApp, translators), code);

    struct Text
    {
        const char *context;
        const char *source;
        QString chineseText;
    };
    const Text texts[] = {
        {"Tarvo2_UpgradeTool", "A task is running , end the operation and exit?",
         QStringLiteral("任务正在进行中，是否结束操作并退出？")},
        {"Tarvo2_UpgradeTool", "Read the robot serial number, please wait...",
         QStringLiteral("正在读取机器人序列号，请稍候...")},
        {"Tarvo2_UpgradeTool", "Installing:", QStringLiteral("正在安装:")},
        {"QObject", "The software instance is running now!", QStringLiteral("软件已经在运行中！")},
        {"QObject", "Warnning", QStringLiteral("警告")},
    };
    for (const Text &text : texts) {
        const QString expected = chinese ? text.chineseText : QString::fromLatin1(text.source);
        QCOMPARE(QCoreApplication::translate(text.context, text.source), expected);
    }

    // The dialog's own form picks up the installed translation.
    Tarvo2_UpgradeTool dialog;
    QCOMPARE(dialog.windowTitle(),
             chinese ? QStringLiteral("Tarvo2一键刷机工具") : QStringLiteral("Tarvo2_UpgradeTool"));
    // The form's own texts are Chinese in every language.
    QCOMPARE(dialog.findChild<QWidget *>(QStringLiteral("pbStartUpgrade"))->property("text"),
             QVariant(QStringLiteral("一键刷机")));
}

// Every English text the program's sources pass through the translator has a Chinese rendering;
// the form's own texts are Chinese already.
void TestLanguage::everyEnglishSourceTranslated()
{
    const QString lupdate = qEnvironmentVariable("ZEV_LUPDATE");
    if (lupdate.isEmpty() || !QFileInfo(lupdate).isExecutable())
        QSKIP("lupdate is not available");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString extracted = dir.filePath(QStringLiteral("sources.ts"));
    QProcess run;
    run.start(lupdate, {QStringLiteral("-silent"), QStringLiteral("-locations"),
                        QStringLiteral("none"),
                        qEnvironmentVariable("ZEV_SOURCE_DIR") + QStringLiteral("/app"),
                        QStringLiteral("-ts"), extracted});
    QVERIFY2(run.waitForFinished(60000), qPrintable(run.errorString()));
    QCOMPARE(run.exitCode(), 0);

    QTranslator translator;
    QVERIFY(translator.load(qEnvironmentVariable("ZEV_DIST_DIR")
                            + QStringLiteral("/languages/tarvo2_upgradetool_zh_CN.qm")));

    QFile file(extracted);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&file);
    QString context;
    QStringList untranslated;
    int english = 0;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == QLatin1String("name")) {
            context = xml.readElementText();
        } else if (xml.name() == QLatin1String("source")) {
            const QString source = xml.readElementText();
            bool ascii = true;
            for (const QChar c : source)
                ascii = ascii && c.unicode() < 0x80;
            if (!ascii || source.trimmed().isEmpty())
                continue;
            ++english;
            if (translator.translate(context.toUtf8().constData(), source.toUtf8().constData())
                    .isEmpty())
                untranslated << context + QStringLiteral(": ") + source;
        }
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    QVERIFY(english >= 5);
    QVERIFY2(untranslated.isEmpty(), qPrintable(untranslated.join(QLatin1Char('\n'))));
}

// Qt's own texts follow the system locale, not the setting, and are looked for beside the program
// when Qt's translations folder has none.
void TestLanguage::qtTranslatorOnlyWhenFound()
{
    const QString systemLocale = QLocale::system().name();
    const QString qtFile = QStringLiteral("qt_") + systemLocale;
    QTranslator probe;
    if (probe.load(qtFile, QLibraryInfo::location(QLibraryInfo::TranslationsPath)))
        QSKIP("Qt ships a translation for this locale; the fallback folder is not reached");

    writeLanguage(QStringLiteral("zh_CN"));
    qApp->setProperty("qtc_locale", QVariant());
    {
        Translators translators;
        installTranslations(*qApp, translators);
        QVERIFY(!qApp->property("qtc_locale").isValid());
        QVERIFY(translators.qt.isEmpty());
    }

    const QString beside = appDir() + QStringLiteral("/languages/") + qtFile + QStringLiteral(".qm");
    QVERIFY(QFile::copy(appDir() + QStringLiteral("/languages/zevbase_zh_CN.qm"), beside));
    {
        Translators translators;
        installTranslations(*qApp, translators);
        QCOMPARE(qApp->property("qtc_locale"), QVariant(systemLocale));
        QVERIFY(!translators.qt.isEmpty());
    }
    QFile::remove(beside);
    qApp->setProperty("qtc_locale", QVariant());
}

QTEST_MAIN(TestLanguage)
#include "tst_language.moc"
