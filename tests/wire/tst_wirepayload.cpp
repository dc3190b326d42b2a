#include "libwireclass.h"
#include "wiretestutil.h"

#include <QtTest>

#include <memory>

using namespace wiretest;

namespace {

// Decodes hex into the record; true when msgpack's type error came out.
template <typename T> bool decodeThrows(T &record, const char *hexData)
{
    msgpack::object_handle handle = unpacked(bytes(hexData));
    try {
        record.msgpack_unpack(handle.get());
    } catch (const msgpack::type_error &) {
        return true;
    }
    return false;
}

QStringList toList(const std::vector<std::string> &names)
{
    QStringList list;
    for (const std::string &name : names)
        list << QString::fromStdString(name);
    return list;
}

} // namespace

class TestWirePayload : public QObject
{
    Q_OBJECT

private slots:
    void freshRecordsEncode_data()
    {
        QTest::addColumn<QByteArray>("encoded");
        QTest::addColumn<QByteArray>("expected");

        QTest::newRow("CLoginTarvo") << packed(CLoginTarvo()) << bytes("91 a6 6b6b6b6b6b6b");
        QTest::newRow("CSerialNum") << packed(CSerialNum()) << bytes("91 a0");
        QTest::newRow("CActionFile") << packed(CActionFile()) << bytes("91 a0");
        QTest::newRow("CDelActionFileInfo") << packed(CDelActionFileInfo()) << bytes("92 a0 ff");
        QTest::newRow("CGetActionFileList") << packed(CGetActionFileList()) << bytes("91 90");
        QTest::newRow("CWifiList") << packed(CWifiList()) << bytes("91 90");
        QTest::newRow("CAppEntrityList") << packed(CAppEntrityList()) << bytes("91 90");
        QTest::newRow("CFileInfo_DL") << packed(CFileInfo_DL()) << bytes("93 a0 a0 00");
        QTest::newRow("CTarvoServerInfo_DL")
            << packed(CTarvoServerInfo_DL())
            << bytes("93 cd 17 7a a5 312e7a6576 ac 3139322e3136382e34332e31");
        QTest::newRow("CGetInstallAppList") << packed(CGetInstallAppList()) << bytes("91 c3");
        QTest::newRow("AppEntrityInfo")
            << packed(AppEntrityInfo()) << bytes("9c a0 a0 a0 a0 a0 c2 a0 a0 c2 c2 c2 00");
        QTest::newRow("CZEVDevInfo") << packed(CZEVDevInfo()) << bytes("94 a0 a0 a0 a0");
    }

    void freshRecordsEncode()
    {
        QFETCH(QByteArray, encoded);
        QFETCH(QByteArray, expected);
        QCOMPARE(hex(encoded), hex(expected));
    }

    void fieldFormsAtTheirEdges_data()
    {
        QTest::addColumn<QByteArray>("encoded");
        QTest::addColumn<QByteArray>("expected");

        CEyeLedData eye;
        eye.SetLeftLed(200);
        eye.SetRightLed(255);
        eye.SetBright(127);
        eye.SetColor(128);
        eye.SetLightUpTime(100);
        eye.SetLightDownTime(200);
        eye.SetTotalTime(300);
        QTest::newRow("eye LEDs are signed bytes")
            << packed(eye) << bytes("97 d0 c8 ff 7f d0 80 64 cc c8 cd 01 2c");

        CTarvo2Version version;
        version.SetKind(200);
        QTest::newRow("version kind 200") << packed(version) << bytes("92 cc c8 a0");
        version.SetKind(127);
        version.SetStr("1.0.2");
        QTest::newRow("version kind 127") << packed(version) << bytes("92 7f a5 312e302e32");

        CFileInfo_DL file;
        file.setFileLen(65536);
        QTest::newRow("file length 65536") << packed(file) << bytes("93 a0 a0 ce 00 01 00 00");
        file.setFileLen(65535);
        QTest::newRow("file length 65535") << packed(file) << bytes("93 a0 a0 cd ff ff");
        file.setFileLen(-1);
        QTest::newRow("file length 0xffffffff") << packed(file) << bytes("93 a0 a0 ce ff ff ff ff");

        CLoginResponse login;
        login.SetResult(-32768);
        QTest::newRow("short -32768") << packed(login) << bytes("91 d1 80 00");
        login.SetResult(-33);
        QTest::newRow("short -33") << packed(login) << bytes("91 d0 df");
        login.SetResult(-32);
        QTest::newRow("short -32") << packed(login) << bytes("91 e0");
        login.SetResult(32767);
        QTest::newRow("short 32767") << packed(login) << bytes("91 cd 7f ff");

        CMotoAngle angle;
        angle.SetId(-129);
        angle.SetAngle(-2147483647 - 1);
        angle.setTime(2147483647);
        QTest::newRow("int limits")
            << packed(angle) << bytes("93 d1 ff 7f d2 80 00 00 00 ce 7f ff ff ff");
        angle.SetId(256);
        angle.SetAngle(-32769);
        angle.setTime(128);
        QTest::newRow("int 256, -32769, 128")
            << packed(angle) << bytes("93 cd 01 00 d2 ff ff 7f ff cc 80");

        CTarvoServerInfo_UL server;
        server.SetPort(1);
        server.SetFileLen(-5);
        server.SetFileName("a");
        server.SetIP("b");
        server.SetFileExistStatus(true);
        QTest::newRow("server info UL") << packed(server) << bytes("95 01 fb a1 61 a1 62 c3");

        CSerialNum serial;
        serial.SetSerialNum(std::string(31, 's'));
        QTest::newRow("text 31") << packed(serial) << bytes("91 bf") + QByteArray(31, 's');
        serial.SetSerialNum(std::string(32, 's'));
        QTest::newRow("text 32 is never d9")
            << packed(serial) << bytes("91 da 00 20") + QByteArray(32, 's');
        serial.SetSerialNum(std::string(65536, 's'));
        QTest::newRow("text 65536")
            << packed(serial) << bytes("91 db 00 01 00 00") + QByteArray(65536, 's');

        CGetActionFileList files;
        files.SetNameList({ "a", "b" });
        QTest::newRow("list of two names") << packed(files) << bytes("91 92 a1 61 a1 62");
        files.SetNameList(std::vector<std::string>(16));
        QTest::newRow("list of 16 names")
            << packed(files) << bytes("91 dc 00 10") + QByteArray(16, '\xa0');

        CWifiInfo wifi;
        wifi.SetText1("n");
        wifi.SetValue(-60);
        wifi.SetText2("k");
        wifi.SetFlag(true);
        CWifiList wifiList;
        wifiList.SetEntries({ wifi, CWifiInfo() });
        QTest::newRow("wifi list")
            << packed(wifiList) << bytes("91 92 94 a1 6e d0 c4 a1 6b c3 94 a0 00 a0 c2");

        CSetWifiToConnect connect;
        connect.SetText1("s");
        connect.SetText3("p");
        connect.SetFlag(true);
        QTest::newRow("set wifi") << packed(connect) << bytes("94 a1 73 a0 a1 70 c3");

        CActionFile action;
        action.SetFileName(QStringLiteral("动作.zev"));
        QTest::newRow("action file name in UTF-8")
            << packed(action) << bytes("91 aa e58aa8e4bd9c 2e7a6576");
    }

    void fieldFormsAtTheirEdges()
    {
        QFETCH(QByteArray, encoded);
        QFETCH(QByteArray, expected);
        QCOMPARE(hex(encoded), hex(expected));
    }

    void allMotorAnglesUseArray16()
    {
        int angles[20];
        for (int i = 0; i < 20; ++i)
            angles[i] = i * 10;
        CAllMotoAngle all;
        // The count is not consulted: all 20 values are taken.
        all.SetAllAngle(angles, 3);
        all.setTime(1000);
        QByteArray expected = bytes("dc 00 15 00 0a 14 1e 28 32 3c 46 50 5a 64 6e 78 cc 82 cc 8c "
                                    "cc 96 cc a0 cc aa cc b4 cc be cd 03 e8");
        QCOMPARE(hex(packed(all)), hex(expected));
        QCOMPARE(all.getAngle4(), 30);
        QCOMPARE(all.getAngle20(), 190);
        QCOMPARE(all.getTime(), 1000);

        CAllMotoAngle decoded;
        msgpack::object_handle handle = unpacked(expected);
        decoded.msgpack_unpack(handle.get());
        QCOMPARE(decoded.getAngle1(), 0);
        QCOMPARE(decoded.getAngle13(), 120);
        QCOMPARE(decoded.getAngle20(), 190);
        QCOMPARE(decoded.getTime(), 1000);
    }

    void serverInfoPrefixDecodes()
    {
        CTarvoServerInfo_DL info;
        QVERIFY(!decodeThrows(info, "91 05"));
        QCOMPARE(info.GetPort(), 5);
        QCOMPARE(info.GetFileName(), std::string("1.zev"));
        QCOMPARE(info.GetIP(), CTarvoServerInfo_DL().GetIP());

        QVERIFY(!decodeThrows(info, "90"));
        QCOMPARE(info.GetPort(), 5);

        QVERIFY(!decodeThrows(info, "94 cd 17 70 a1 66 a4 31 2e 32 33 c3"));
        QCOMPARE(info.GetPort(), 6000);
        QCOMPARE(info.GetFileName(), std::string("f"));
        QCOMPARE(info.GetIP(), std::string("1.23"));
    }

    void decodingStopsAtFirstBadElement()
    {
        CTarvoServerInfo_UL info;
        QVERIFY(decodeThrows(info, "95 07 cd 01 00 05 a1 61 c3"));
        QCOMPARE(info.GetPort(), 7);
        QCOMPARE(info.GetFileLen(), 256L);
        QCOMPARE(info.GetFileName(), std::string("1.zev"));
        QVERIFY(!info.GetFileExistStatus());

        QVERIFY(!decodeThrows(info, "95 07 d0 80 a1 61 a1 62 c3"));
        QCOMPARE(info.GetFileLen(), -128L);
        QCOMPARE(info.GetIP(), std::string("b"));
        QVERIFY(info.GetFileExistStatus());
    }

    void fieldTypeChecks_data()
    {
        QTest::addColumn<QString>("record");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("throws");

        auto row = [](const char *name, const char *record, const char *hexData, bool throws) {
            QTest::newRow(name) << QString::fromLatin1(record) << bytes(hexData) << throws;
        };
        row("not an array", "CSerialNum", "a1 61", true);
        row("nil", "CSerialNum", "c0", true);
        row("map", "CMotoAngle", "80", true);
        row("text from bin", "CSerialNum", "91 c4 02 41 42", false);
        row("text from str8", "CSerialNum", "91 d9 02 41 42", false);
        row("text from int", "CSerialNum", "91 05", true);
        row("text from nil", "CSerialNum", "91 c0", true);
        row("int from text", "CMotoAngle", "91 a1 31", true);
        row("int from bool", "CMotoAngle", "91 c3", true);
        row("int from float", "CMotoAngle", "91 ca 3f 80 00 00", true);
        row("int 2147483647", "CMotoAngle", "91 ce 7f ff ff ff", false);
        row("int 2147483648", "CMotoAngle", "91 ce 80 00 00 00", true);
        row("int -2147483648", "CMotoAngle", "91 d2 80 00 00 00", false);
        row("int -2147483649", "CMotoAngle", "91 d3 ff ff ff ff 7f ff ff ff", true);
        row("int from uint64 form", "CMotoAngle", "91 cf 00 00 00 00 00 00 00 05", false);
        row("short 32767", "CLoginResponse", "91 cd 7f ff", false);
        row("short 32768", "CLoginResponse", "91 cd 80 00", true);
        row("short -32769", "CLoginResponse", "91 d2 ff ff 7f ff", true);
        row("unsigned byte 255", "CTarvo2Version", "91 cc ff", false);
        row("unsigned byte 256", "CTarvo2Version", "91 cd 01 00", true);
        row("unsigned byte -1", "CTarvo2Version", "91 ff", true);
        row("signed byte 127", "CEyeLedData", "91 7f", false);
        row("signed byte 128", "CEyeLedData", "91 cc 80", true);
        row("signed byte -128", "CEyeLedData", "91 d0 80", false);
        row("signed byte -129", "CEyeLedData", "91 d1 ff 7f", true);
        row("unsigned int 4294967295", "CFileInfo_DL", "93 a0 a0 ce ff ff ff ff", false);
        row("unsigned int 4294967296", "CFileInfo_DL", "93 a0 a0 cf 00 00 00 01 00 00 00 00", true);
        row("unsigned int -1", "CFileInfo_DL", "93 a0 a0 ff", true);
        row("bool from 1", "CGetInstallAppList", "91 01", true);
        row("bool from false", "CGetInstallAppList", "91 c2", false);
        row("list from text", "CGetActionFileList", "91 a1 61", true);
        row("list entry from int", "CGetActionFileList", "91 92 a1 61 05", true);
        row("byte block from int", "AppEntrityInfo", "98 a0 a0 a0 a0 a0 c2 a0 05", true);
        row("byte block from bin", "AppEntrityInfo", "98 a0 a0 a0 a0 a0 c2 a0 c4 01 00", false);
        row("wifi entry not an array", "CWifiList", "91 91 05", true);
        row("surplus elements", "CMotoAngle", "95 01 02 03 a1 78 c0", false);
    }

    void fieldTypeChecks()
    {
        QFETCH(QString, record);
        QFETCH(QByteArray, data);
        QFETCH(bool, throws);
        msgpack::object_handle handle = unpacked(data);
        auto decode = [&](auto &&r) {
            try {
                r.msgpack_unpack(handle.get());
            } catch (const msgpack::type_error &) {
                return true;
            }
            return false;
        };
        bool thrown = false;
        if (record == "CSerialNum")
            thrown = decode(CSerialNum());
        else if (record == "CMotoAngle")
            thrown = decode(CMotoAngle());
        else if (record == "CLoginResponse")
            thrown = decode(CLoginResponse());
        else if (record == "CTarvo2Version")
            thrown = decode(CTarvo2Version());
        else if (record == "CEyeLedData")
            thrown = decode(CEyeLedData());
        else if (record == "CFileInfo_DL")
            thrown = decode(CFileInfo_DL());
        else if (record == "CGetInstallAppList")
            thrown = decode(CGetInstallAppList());
        else if (record == "CGetActionFileList")
            thrown = decode(CGetActionFileList());
        else if (record == "AppEntrityInfo")
            thrown = decode(AppEntrityInfo());
        else if (record == "CWifiList")
            thrown = decode(CWifiList());
        else
            QFAIL("unknown record");
        QCOMPARE(thrown, throws);
    }

    void eyeLedBytesComeBackUnsigned()
    {
        CEyeLedData eye;
        eye.SetRightLed(9);
        QVERIFY(decodeThrows(eye, "93 d0 c8 ff cc 80"));
        QCOMPARE(int(eye.GetLeftLed()), 200);
        QCOMPARE(int(eye.GetRightLed()), 255);
        QCOMPARE(int(eye.GetBright()), 0);

        CEyeLedData first;
        QVERIFY(decodeThrows(first, "91 cc 80"));
        QCOMPARE(int(first.GetLeftLed()), 0);
    }

    void nameListsResize()
    {
        CGetActionFileList list;
        QVERIFY(!decodeThrows(list, "91 92 a1 61 a1 62"));
        QCOMPARE(toList(list.GetNameList()), QStringList({ "a", "b" }));
        QVERIFY(!decodeThrows(list, "90"));
        QCOMPARE(toList(list.GetNameList()), QStringList({ "a", "b" }));
        QVERIFY(!decodeThrows(list, "91 90"));
        QVERIFY(list.GetNameList().empty());

        // A bad entry stops the list where it is: earlier entries are new, later ones old.
        list.SetNameList({ "w", "x", "y", "z" });
        QVERIFY(decodeThrows(list, "91 93 a1 61 05 a1 63"));
        QCOMPARE(toList(list.GetNameList()), QStringList({ "a", "x", "y" }));
        QVERIFY(decodeThrows(list, "91 95 a1 61 a1 62 a1 63 a1 64 c3"));
        QCOMPARE(toList(list.GetNameList()), QStringList({ "a", "b", "c", "d", "" }));

        CGetActionResourceList resources;
        QVERIFY(!decodeThrows(resources, "92 93 a1 61 a1 62 a1 63 c0"));
        QCOMPARE(toList(resources.GetNameList()), QStringList({ "a", "b", "c" }));
    }

    void wifiListFillsShowWifi()
    {
        CWifiList list;
        const QByteArray longName(200, 'n');
        const QByteArray data = bytes("91 92 94 a4 686f6d65 d0 c4 a3 777061 c3 94 da 00 c8")
            + longName + bytes("05 a0 c2");
        msgpack::object_handle handle = unpacked(data);
        list.msgpack_unpack(handle.get());
        QCOMPARE(int(list.GetEntries().size()), 2);

        std::vector<ShowWifi> rows(1);
        rows[0].Value = 42;
        QCOMPARE(list.GetWifiList(rows), 3);
        QCOMPARE(rows[0].Value, 42);
        QCOMPARE(rows[1].Value, -60);
        QVERIFY(rows[1].Flag);
        QCOMPARE(QByteArray(rows[1].Text1), QByteArray("home"));
        QCOMPARE(QByteArray(rows[1].Text2), QByteArray("wpa"));
        QCOMPARE(rows[2].Value, 5);
        QVERIFY(!rows[2].Flag);
        QCOMPARE(QByteArray(rows[2].Text1), longName.left(ShowWifi::kTextSize - 1));
        QCOMPARE(QByteArray(rows[2].Text2), QByteArray());
    }

    void devInfoGettersReportEmptyFields()
    {
        CZEVDevInfo info;
        std::string out = "untouched";
        QVERIFY(!info.getMacAddress(out));
        QVERIFY(!info.getDevName(out));
        QVERIFY(!info.getOsVersion(out));
        QVERIFY(!info.getIpAddress(out));
        QCOMPARE(out, std::string("untouched"));
        info.setMacAddress("00:11:22:33:44:55");
        QVERIFY(info.getMacAddress(out));
        QCOMPARE(out, std::string("00:11:22:33:44:55"));
        info.setMacAddress("");
        QVERIFY(!info.getMacAddress(out));

        QVERIFY(!decodeThrows(info, "93 a1 64 a0 a2 3130"));
        QVERIFY(info.getDevName(out));
        QCOMPARE(out, std::string("d"));
        QVERIFY(!info.getOsVersion(out));
        QVERIFY(info.getIpAddress(out));
        QCOMPARE(out, std::string("10"));
    }

    void accessorsOfRepliesAndRequests()
    {
        CDelActionFileInfo del;
        std::string name;
        int status = 0;
        del.GetDelActFileInfo(name, status);
        QCOMPARE(status, -1);
        QVERIFY(!decodeThrows(del, "92 a3 616263 00"));
        del.GetDelActFileInfo(name, status);
        QCOMPARE(name, std::string("abc"));
        QCOMPARE(status, 0);

        CTarvo2Version version;
        QVERIFY(!decodeThrows(version, "92 03 a5 312e302e32"));
        unsigned char kind = 0;
        version.GetStr(name, kind);
        QCOMPARE(name, std::string("1.0.2"));
        QCOMPARE(int(kind), 3);

        CMotoAngle angle;
        QVERIFY(!decodeThrows(angle, "93 07 cd 01 2c 00"));
        QCOMPARE(angle.GetId(), 7);
        QCOMPARE(angle.GetAngle(), 300);

        CLoginResponse login;
        QVERIFY(!decodeThrows(login, "91 ff"));
        QCOMPARE(login.GetResult(), short(-1));

        CSerialNum serial;
        QVERIFY(!decodeThrows(serial, "91 aa 4142433132332378797a"));
        QCOMPARE(serial.GetSerialNum(), std::string("ABC123#xyz"));

        CLoginTarvo loginText;
        QCOMPARE(loginText.GetLoginText(), std::string("kkkkkk"));
    }

    void appEntryOwnsOrRefersToMsgData()
    {
        const QByteArray data = bytes("010203");
        AppEntrityInfo app;
        app.SetMsgData(ubytes(data), data.size());
        QVERIFY(app.GetMsgData() != ubytes(data));
        QCOMPARE(app.GetMsgLen(), 3);

        auto copy = std::make_unique<AppEntrityInfo>(app);
        QVERIFY(copy->GetMsgData() != app.GetMsgData());
        AppEntrityInfo assigned;
        assigned = *copy;
        copy.reset();
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(assigned.GetMsgData()), 3), data);

        app.SetMsgData(nullptr, 5);
        QVERIFY(!app.GetMsgData());
        QCOMPARE(app.GetMsgLen(), 0);

        // After decoding, MsgData points into the decoded object; the owned copy is gone.
        AppEntrityInfo decoded;
        decoded.SetMsgData(ubytes(data), data.size());
        msgpack::object_handle handle
            = unpacked(bytes("9c a1 70 a0 a0 a0 a0 c3 a1 75 a2 4142 c3 c2 c3 05"));
        decoded.msgpack_unpack(handle.get());
        QCOMPARE(reinterpret_cast<const char *>(decoded.GetMsgData()),
            handle.get().via.array.ptr[7].via.str.ptr);
        QCOMPARE(decoded.GetMsgLen(), 2);
        QCOMPARE(decoded.GetApkPackName(), std::string("p"));
        QCOMPARE(decoded.GetDownloadUrl(), std::string("u"));
        QVERIFY(decoded.GetFlag1());
        QVERIFY(decoded.GetFlag2());
        QVERIFY(!decoded.GetFlag3());
        QVERIFY(decoded.GetFlag4());
        QCOMPARE(decoded.GetApkInstallState(), 5);

        // The decoded reference is taken even when a later field fails.
        AppEntrityInfo partial;
        partial.SetMsgData(ubytes(data), data.size());
        msgpack::object_handle bad = unpacked(bytes("9c a0 a0 a0 a0 a0 c2 a0 a1 5a 01 c2 c2 00"));
        QVERIFY_EXCEPTION_THROWN(partial.msgpack_unpack(bad.get()), msgpack::type_error);
        QCOMPARE(partial.GetMsgLen(), 1);
        QCOMPARE(reinterpret_cast<const char *>(partial.GetMsgData()),
            bad.get().via.array.ptr[7].via.str.ptr);

        // A copy of a decoded record owns its bytes and outlives the decoded data.
        CAppEntrityList list;
        list.SetEntries({ decoded, decoded });
        handle = msgpack::object_handle();
        QCOMPARE(hex(packed(list)),
            hex(bytes("91 92")
                + bytes("9c a1 70 a0 a0 a0 a0 c3 a1 75 a2 4142 c3 c2 c3 05").repeated(2)));
    }

    void appListDecodesEntries()
    {
        CAppEntrityList list;
        msgpack::object_handle handle = unpacked(bytes("91 92 92 a3 636f6d a1 78 93 a0 a0 c0"));
        QVERIFY_EXCEPTION_THROWN(list.msgpack_unpack(handle.get()), msgpack::type_error);
        QCOMPARE(int(list.GetEntries().size()), 2);
        QCOMPARE(list.GetEntries()[0].GetApkPackName(), std::string("com"));
        QCOMPARE(list.GetEntries()[0].GetText2(), std::string("x"));

        handle = unpacked(bytes("91 91 91 a1 71"));
        list.msgpack_unpack(handle.get());
        QCOMPARE(int(list.GetEntries().size()), 1);
        QCOMPARE(list.GetEntries()[0].GetApkPackName(), std::string("q"));
    }

    void convertsThroughMsgpackAdaptors()
    {
        msgpack::object_handle handle = unpacked(bytes("91 a3 534e31"));
        CSerialNum serial;
        handle.get().convert(serial);
        QCOMPARE(serial.GetSerialNum(), std::string("SN1"));
        QCOMPARE(handle.get().as<CSerialNum>().GetSerialNum(), std::string("SN1"));
    }
};

QTEST_GUILESS_MAIN(TestWirePayload)
#include "tst_wirepayload.moc"
