#include <fileutils.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

bool writeFile(const QString &path, const QByteArray &content = QByteArray("x"))
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// Paths below `root`, relative, for compact comparisons.
QStringList relative(const QString &root, const QFileInfoList &entries)
{
    QStringList result;
    for (const QFileInfo &entry : entries)
        result << QDir(root).relativeFilePath(entry.absoluteFilePath());
    return result;
}

QStringList treeOf(const QString &root)
{
    QStringList result;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext())
        result << QDir(root).relativeFilePath(it.next());
    result.sort();
    return result;
}

qint64 peakResidentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

} // namespace

// Has a folder of its own: prepareAppDirs and relative paths work beside the test program.
class TestFileUtils : public QObject
{
    Q_OBJECT

private slots:
    void joinPath_data();
    void joinPath();
    void folderPaths();
    void isWritableFolder_data();
    void isWritableFolder();
    void normalizePath_data();
    void normalizePath();
    void nameAndParent();
    void existsAndEnsureFolder();
    void prepareAppDirs();
    void removeTreeKeepsHiddenAndLinkedContent();
    void recreateFolder();
    void cleanFolderKeepZip();
    void cleanFolderWithoutZipRemovesIt();
    void listFilesRecursiveOrder();
    void findFileByNamePart_data();
    void findFileByNamePart();
    void copyTree();
    void copyTreeSkipListAndSelfNesting();
    void md5_data();
    void md5();
    void md5OfLargeFileStreams();
    void findFileByMd5();
};

void TestFileUtils::joinPath_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<QString>("expected");

    QTest::newRow("plain") << "/opt/tool"
                           << "Log"
                           << "/opt/tool/Log";
    QTest::newRow("first ends with separator") << "/opt/tool/"
                                               << "Log"
                                               << "/opt/tool/Log";
    QTest::newRow("second starts with separator") << "/opt/tool"
                                                  << "/Log"
                                                  << "/opt/tool/Log";
    QTest::newRow("both carry one") << "/opt/tool/"
                                    << "/Log"
                                    << "/opt/tool/Log";
    QTest::newRow("nested second part") << "/opt"
                                        << "download/2M"
                                        << "/opt/download/2M";
}

void TestFileUtils::joinPath()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(QString, expected);
    QCOMPARE(FileUtils::joinPath(a, b), QDir::toNativeSeparators(expected));
}

void TestFileUtils::folderPaths()
{
    const QString app = QDir::toNativeSeparators(QCoreApplication::applicationDirPath());
    const QString sep = QDir::separator();
    QCOMPARE(FileUtils::appDirPath(), app);
    QCOMPARE(FileUtils::writableHomePath(), app);
    QCOMPARE(FileUtils::configDirPath(), app + sep + "config");
    QCOMPARE(FileUtils::settingsDirPath(), app + sep + "Config");
    QCOMPARE(FileUtils::logDirPath(), app + sep + "Log");
    QCOMPARE(FileUtils::languagesDirPath(), app + sep + "languages");
    QCOMPARE(FileUtils::downloadDirPath(0), app + sep + "download" + sep + "2M" + sep);
    QCOMPARE(FileUtils::downloadDirPath(1), app + sep + "download" + sep + "5M" + sep);
    QCOMPARE(FileUtils::downloadDirPath(255), app + sep + "download" + sep);
    QCOMPARE(FileUtils::downloadDirPath(-1), app + sep + "download" + sep);
}

void TestFileUtils::isWritableFolder_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<bool>("writable");
    QTest::newRow("folder") << "." << true;
    QTest::newRow("missing folder") << "missing/deeper" << false;
    QTest::newRow("file") << "file.txt" << false;
}

void TestFileUtils::isWritableFolder()
{
    QFETCH(QString, entry);
    QFETCH(bool, writable);
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("file.txt")));
    QCOMPARE(FileUtils::isWritableFolder(dir.filePath(entry)), writable);
    // The probe leaves nothing behind.
    QCOMPARE(treeOf(dir.path()), QStringList { "file.txt" });
}

void TestFileUtils::normalizePath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");

    const QString programFolder
        = QFileInfo(QCoreApplication::applicationFilePath()).canonicalPath();
    QTest::newRow("absolute with slash") << "/var/tmp/x/"
                                         << "/var/tmp/x";
    QTest::newRow("absolute with backslash") << "/var/tmp/x\\"
                                             << "/var/tmp/x";
    QTest::newRow("only one separator dropped") << "/var/tmp/x//"
                                                << "/var/tmp/x/";
    QTest::newRow("absolute without separator") << "/var/tmp/x"
                                                << "/var/tmp/x";
    QTest::newRow("root stays root") << "/"
                                     << "/";
    QTest::newRow("relative with backslash") << "data\\x" << programFolder + "/data\\x";
    QTest::newRow("relative nested") << "download/2M/" << programFolder + "/download/2M/";
}

void TestFileUtils::normalizePath()
{
    QFETCH(QString, path);
    QFETCH(QString, expected);
    QCOMPARE(FileUtils::normalizePath(path), expected);
}

void TestFileUtils::nameAndParent()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath("pkg/update.zip");
    QVERIFY(writeFile(file));

    QCOMPARE(FileUtils::fileNameOf(file), QStringLiteral("update.zip"));
    QCOMPARE(FileUtils::parentFolder(file), QDir::toNativeSeparators(dir.filePath("pkg")));
    QCOMPARE(FileUtils::parentFolder(dir.filePath("pkg")), QDir::toNativeSeparators(dir.path()));
    QCOMPARE(FileUtils::parentFolder(dir.filePath("pkg/missing.zip")), QString());
    QCOMPARE(FileUtils::parentFolder(QString()), QString());
}

void TestFileUtils::existsAndEnsureFolder()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath("a.txt");
    QVERIFY(writeFile(file));

    QVERIFY(!FileUtils::exists(QString()));
    QVERIFY(FileUtils::exists(file));
    QVERIFY(FileUtils::exists(dir.path() + "/"));
    QVERIFY(!FileUtils::exists(dir.filePath("b.txt")));
    QVERIFY(FileUtils::fileExists(dir.path()));
    QVERIFY(!FileUtils::fileExists(QString()));

    // Relative names are beside the program, not in the current folder.
    const QString besideProgram = QCoreApplication::applicationDirPath() + "/exists-probe.txt";
    QVERIFY(writeFile(besideProgram));
    const QString oldCurrent = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    const bool relativeFound = FileUtils::exists(QStringLiteral("exists-probe.txt"));
    const bool relativeMissing = FileUtils::exists(QStringLiteral("a.txt"));
    QDir::setCurrent(oldCurrent);
    QFile::remove(besideProgram);
    QVERIFY(relativeFound);
    QVERIFY(!relativeMissing);

    FileUtils utilities;
    bool invoked = false;
    QVERIFY(QMetaObject::invokeMethod(
        &utilities, "exists", Q_RETURN_ARG(bool, invoked), Q_ARG(QString, file)));
    QVERIFY(invoked);
    QCOMPARE(QByteArray(utilities.metaObject()->className()), QByteArray("FileUtils"));

    const QString nested = dir.filePath("one/two/three");
    QVERIFY(FileUtils::ensureFolder(nested + "/"));
    QVERIFY(QFileInfo(nested).isDir());
    QVERIFY(FileUtils::ensureFolder(nested));
}

void TestFileUtils::prepareAppDirs()
{
    const QString app = QCoreApplication::applicationDirPath();
    const QStringList made = { "download", "download/2M", "download/5M", "config", "Log" };
    for (const char *name : { "download", "config", "Log" })
        QDir(app + "/" + QLatin1String(name)).removeRecursively();
    QVERIFY(writeFile(app + "/config/config.json", "{}"));

    FileUtils::prepareAppDirs();
    for (const QString &name : made)
        QVERIFY2(QFileInfo(app + "/" + name).isDir(), qPrintable(name));
    QCOMPARE(readFile(app + "/config/config.json"), QByteArray("{}"));
    FileUtils::prepareAppDirs(); // again: nothing changes, nothing fails
    QVERIFY(QFileInfo(app + "/download/5M").isDir());

    for (const char *name : { "download", "config", "Log" })
        QVERIFY(QDir(app + "/" + QLatin1String(name)).removeRecursively());
}

void TestFileUtils::removeTreeKeepsHiddenAndLinkedContent()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString root = dir.filePath("work");
    const QString outside = dir.filePath("outside");
    QVERIFY(writeFile(root + "/a.txt"));
    QVERIFY(writeFile(root + "/sub/deep/b.apk"));
    QVERIFY(writeFile(root + "/keep/.hidden"));
    QVERIFY(writeFile(outside + "/precious.txt"));
    QVERIFY(QFile::link(outside, root + "/link-to-outside"));

    FileUtils::removeTree(root);
    QCOMPARE(treeOf(dir.path()),
        QStringList(
            { "outside", "outside/precious.txt", "work", "work/keep", "work/keep/.hidden" }));

    FileUtils::removeTree(outside + "/precious.txt");
    QVERIFY(!QFileInfo::exists(outside + "/precious.txt"));
    FileUtils::removeTree(dir.filePath("never-there")); // nothing to do, nothing reported
}

void TestFileUtils::recreateFolder()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString folder = dir.filePath("unzip");
    QVERIFY(writeFile(folder + "/old/file.txt"));

    FileUtils::recreateFolder(folder + "/", true);
    QVERIFY(QFileInfo(folder).isDir());
    QVERIFY(QDir(folder).isEmpty());

    FileUtils::recreateFolder(folder, false);
    QVERIFY(!QFileInfo::exists(folder));
}

void TestFileUtils::cleanFolderKeepZip()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString work = dir.filePath("download/2M");
    QVERIFY(writeFile(work + "/a.zip"));
    QVERIFY(writeFile(work + "/b.ZIP"));
    QVERIFY(writeFile(work + "/c.txt"));
    QVERIFY(writeFile(work + "/zip"));
    QVERIFY(writeFile(work + "/a.zip.part"));
    QVERIFY(writeFile(work + "/unpacked/inner.zip"));
    QVERIFY(writeFile(work + "/unpacked/app.apk"));
    // Signatures stay beside the packages they sign, and only there.
    QVERIFY(writeFile(work + "/a.zip.minisig"));
    QVERIFY(writeFile(work + "/b.ZIP.minisig"));
    QVERIFY(writeFile(work + "/gone.zip.minisig"));
    QVERIFY(writeFile(work + "/c.txt.minisig"));

    FileUtils::cleanFolderKeepZip(work + "/");
    QCOMPARE(treeOf(work), QStringList({ "a.zip", "a.zip.minisig", "b.ZIP", "b.ZIP.minisig" }));

    // A file given instead of a folder is deleted.
    FileUtils::cleanFolderKeepZip(work + "/a.zip");
    QCOMPARE(treeOf(work), QStringList({ "a.zip.minisig", "b.ZIP", "b.ZIP.minisig" }));
}

void TestFileUtils::cleanFolderWithoutZipRemovesIt()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString work = dir.filePath("download/5M");
    QVERIFY(writeFile(work + "/c.txt"));
    QVERIFY(writeFile(work + "/sub/d.bin"));
    FileUtils::cleanFolderKeepZip(work);
    QVERIFY(!QFileInfo::exists(work));
    QVERIFY(QFileInfo(dir.filePath("download")).isDir());

    // Hidden entries are not listed, so they and their folder stay.
    const QString hidden = dir.filePath("download/hidden");
    QVERIFY(writeFile(hidden + "/.state"));
    QVERIFY(writeFile(hidden + "/e.txt"));
    FileUtils::cleanFolderKeepZip(hidden);
    QCOMPARE(treeOf(hidden), QStringList({ ".state" }));
}

void TestFileUtils::listFilesRecursiveOrder()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString root = dir.filePath("pkg");
    for (const char *name : { "b.txt", "A.txt", ".hidden", "c/x.txt", "Zeta/z2.bin", "Zeta/Z1.bin",
             "alpha/one.apk", "alpha/Beta/two.apk", ".git/config" })
        QVERIFY(writeFile(root + "/" + name));
#ifndef Q_OS_WIN
    // Windows' QFile::link makes .lnk shortcut files, which are plain files to a listing.
    QVERIFY(QFile::link(root + "/A.txt", root + "/link.txt"));
    QVERIFY(QFile::link(root, root + "/alpha/loop"));
#endif

    QCOMPARE(relative(root, FileUtils::listFilesRecursive(root)),
        QStringList({ ".hidden", "A.txt", "b.txt", "alpha/one.apk", "alpha/Beta/two.apk", "c/x.txt",
            "Zeta/Z1.bin", "Zeta/z2.bin" }));
    for (const QFileInfo &info : FileUtils::listFilesRecursive(root))
        QVERIFY(info.isAbsolute());
    QVERIFY(FileUtils::listFilesRecursive(dir.filePath("missing")).isEmpty());
}

void TestFileUtils::findFileByNamePart_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("part");
    QTest::addColumn<QString>("expected");

    QTest::newRow("own file before a sub-folder that sorts first")
        << QStringList({ "a_first/update_app.apk", "z_update.apk" }) << "update"
        << "z_update.apk";
    QTest::newRow("first sub-folder in name order")
        << QStringList({ "Beta/x.xml", "alpha/y.xml", "readme.txt" }) << ".xml"
        << "alpha/y.xml";
    QTest::newRow("first file in name order") << QStringList({ "b_app.xml", "A_app.xml" }) << "app"
                                              << "A_app.xml";
    QTest::newRow("case-sensitive") << QStringList({ "APP.XML", "sub/app.xml" }) << "app"
                                    << "sub/app.xml";
    QTest::newRow("hidden files are not looked at")
        << QStringList({ ".app.xml", "d/app.xml" }) << "app"
        << "d/app.xml";
    QTest::newRow("nothing found") << QStringList({ "a.txt", "b/c.txt" }) << "apk" << QString();
}

void TestFileUtils::findFileByNamePart()
{
    QFETCH(QStringList, files);
    QFETCH(QString, part);
    QFETCH(QString, expected);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    for (const QString &file : files)
        QVERIFY(writeFile(dir.filePath(file)));
    const QString found = FileUtils::findFileByNamePart(dir.path(), part);
    QCOMPARE(found, expected.isEmpty() ? QString() : dir.filePath(expected));
}

void TestFileUtils::copyTree()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString src = dir.filePath("src");
    const QString dst = dir.filePath("dst/deeper");
    QVERIFY(writeFile(src + "/a.txt", "new a"));
    QVERIFY(writeFile(src + "/b.txt", "new b"));
    QVERIFY(writeFile(src + "/.hidden", "h"));
    QVERIFY(writeFile(src + "/actions/walk/walk.hts", "walk"));
    QVERIFY(writeFile(src + "/actions/wave.mp3", "wave"));
    QVERIFY(QDir().mkpath(src + "/empty"));

    FileUtils::copyTree(src, dst, {});
    QVERIFY(!QFileInfo::exists(dst));
    FileUtils::copyTree(QString(), dst, FileUtils::listFilesRecursive(src));
    FileUtils::copyTree(src, QString(), FileUtils::listFilesRecursive(src));
    QVERIFY(!QFileInfo::exists(dst));

    QVERIFY(writeFile(dst + "/b.txt", "old b"));
    FileUtils::copyTree(src, dst, FileUtils::listFilesRecursive(src));
    QCOMPARE(treeOf(dst),
        QStringList({ "a.txt", "actions", "actions/walk", "actions/walk/walk.hts",
            "actions/wave.mp3", "b.txt" }));
    QCOMPARE(readFile(dst + "/a.txt"), QByteArray("new a"));
    QCOMPARE(readFile(dst + "/b.txt"), QByteArray("old b"));
    QCOMPARE(readFile(dst + "/actions/walk/walk.hts"), QByteArray("walk"));

    // Onto itself nothing changes.
    const QStringList before = treeOf(src);
    FileUtils::copyTree(src, src, FileUtils::listFilesRecursive(src));
    QCOMPARE(treeOf(src), before);
}

void TestFileUtils::copyTreeSkipListAndSelfNesting()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString src = dir.filePath("pkg");
    QVERIFY(writeFile(src + "/a.txt"));
    QVERIFY(writeFile(src + "/b.txt"));
    QVERIFY(writeFile(src + "/sub/c.txt"));

    // Bare names resolve against the current folder: only there do skip-list entries match.
    const QFileInfoList skip = { QFileInfo(src + "/a.txt"), QFileInfo(src + "/sub") };
    FileUtils::copyTree(src, dir.filePath("elsewhere"), skip);
    QCOMPARE(
        treeOf(dir.filePath("elsewhere")), QStringList({ "a.txt", "b.txt", "sub", "sub/c.txt" }));

    const QString oldCurrent = QDir::currentPath();
    QVERIFY(QDir::setCurrent(src));
    FileUtils::copyTree(src, dir.filePath("skipped"), skip);
    QDir::setCurrent(oldCurrent);
    QCOMPARE(treeOf(dir.filePath("skipped")), QStringList({ "b.txt" }));

    // A destination inside the source is not copied into itself.
    FileUtils::copyTree(src, src + "/sub", FileUtils::listFilesRecursive(src));
    QCOMPARE(treeOf(src + "/sub"), QStringList({ "a.txt", "b.txt", "c.txt" }));
}

void TestFileUtils::md5_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("md5");

    QTest::newRow("empty file") << QByteArray() << "d41d8cd98f00b204e9800998ecf8427e";
    QTest::newRow("abc") << QByteArray("abc") << "900150983cd24fb0d6963f7d28e17f72";
    QTest::newRow("abc upper-case digest")
        << QByteArray("abc") << "900150983CD24FB0D6963F7D28E17F72";
    QByteArray chunky(3 * 1024 * 1024 + 17, '\0');
    for (int i = 0; i < chunky.size(); ++i)
        chunky[i] = char((i * 31 + i / 4096) & 0xff);
    QTest::newRow("several chunks")
        << chunky
        << QString::fromLatin1(QCryptographicHash::hash(chunky, QCryptographicHash::Md5).toHex());
}

void TestFileUtils::md5()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, md5);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath("package.zip");
    QVERIFY(writeFile(file, content));

    QCOMPARE(FileUtils::fileMd5(file), md5.toLower());
    QVERIFY(FileUtils::fileMatchesMd5(file, md5));
    QVERIFY(!FileUtils::fileMatchesMd5(file, "00000000000000000000000000000000"));
    QVERIFY(!FileUtils::fileMatchesMd5(file, QString()));
    QCOMPARE(FileUtils::fileMd5(dir.filePath("missing.zip")), QString());
    // A file that cannot be read never matches, not even an empty expected digest.
    QVERIFY(!FileUtils::fileMatchesMd5(dir.filePath("missing.zip"), QString()));
    QVERIFY(!FileUtils::fileMatchesMd5(dir.path(), QString()));
}

void TestFileUtils::md5OfLargeFileStreams()
{
#ifdef Q_OS_WIN
    QSKIP("needs md5sum and /proc/self/status; the digest itself is checked by findFileByMd5");
#endif
    const qint64 size = 512LL * 1024 * 1024;
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("big.zip");
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write("head") == 4);
        QVERIFY(file.resize(size)); // sparse: cheap to make, still read in full
        QVERIFY(file.seek(size - 4));
        QVERIFY(file.write("tail") == 4);
    }

    QProcess md5sum;
    md5sum.start(QStringLiteral("md5sum"), { path });
    QVERIFY2(md5sum.waitForStarted(5000), qPrintable(md5sum.errorString()));
    QVERIFY(md5sum.waitForFinished(60000));
    const QString expected = QString::fromLatin1(md5sum.readAllStandardOutput().left(32));

    const qint64 peakBefore = peakResidentKiB();
    QElapsedTimer timer;
    timer.start();
    const QString digest = FileUtils::fileMd5(path);
    const qint64 ms = timer.elapsed();
    const qint64 peakAfter = peakResidentKiB();

    QCOMPARE(digest, expected);
    qInfo("MD5 of %lld MiB in %lld ms, peak resident growth %lld KiB", size >> 20, ms,
        peakAfter - peakBefore);
    QVERIFY(peakBefore > 0);
    QVERIFY2(peakAfter - peakBefore < 32 * 1024, "memory grew with the file");
}

void TestFileUtils::findFileByMd5()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.filePath("a.txt"), "not it"));
    QVERIFY(writeFile(dir.filePath("sub/old.zip"), "old package"));
    QVERIFY(writeFile(dir.filePath("sub/new.zip"), "abc"));
    QVERIFY(writeFile(dir.filePath("z/copy.zip"), "abc"));

    QString found;
    QVERIFY(FileUtils::findFileByMd5(dir.path(), "900150983cd24fb0d6963f7d28e17f72", found));
    QCOMPARE(found, dir.filePath("sub/new.zip"));

    QVERIFY(!FileUtils::findFileByMd5(dir.path(), "d41d8cd98f00b204e9800998ecf8427e", found));
    QVERIFY(!FileUtils::findFileByMd5(
        dir.filePath("missing"), "900150983cd24fb0d6963f7d28e17f72", found));
}

QTEST_GUILESS_MAIN(TestFileUtils)
#include "tst_fileutils.moc"
