#include "messagedispatch.h"

#include "libwireclass.h"
#include "sessionlog.h"
#include "zevmsgid.h"
#include "zevsocketsession.h"

#include <QStringList>

#include <exception>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kMaxDepth = 64;

QString fromWire(const std::string &text)
{
    return QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

QStringList fromWire(const std::vector<std::string> &names)
{
    QStringList list;
    list.reserve(static_cast<int>(names.size()));
    for (const std::string &name : names)
        list << fromWire(name);
    return list;
}

// Every element takes at least one byte, so no count in a well-formed object can exceed the
// bytes it came in; this keeps a lying array header from allocating gigabytes.
msgpack::unpack_limit limitFor(std::size_t size)
{
    return msgpack::unpack_limit(size, size, size, size, size, kMaxDepth);
}

msgpack::object_handle unpackOne(const char *data, std::size_t size)
{
    std::size_t offset = 0; // bytes after the first object are ignored
    return msgpack::unpack(data, size, offset, nullptr, nullptr, limitFor(size));
}

// Decodes obj into record and checks that the fields read unset-by-default are really there.
template <typename Record>
bool decode(const msgpack::object &obj, Record *record, uint32_t requiredFields, QString *error)
{
    if (obj.type != msgpack::type::ARRAY) {
        *error = QStringLiteral("payload is not an array");
        return false;
    }
    try {
        record->msgpack_unpack(obj);
    } catch (const std::exception &e) {
        *error
            = QStringLiteral("payload does not fit its class: %1").arg(QString::fromUtf8(e.what()));
        return false;
    }
    if (obj.via.array.size < requiredFields) {
        *error = QStringLiteral("payload has %1 field(s), %2 needed")
                     .arg(obj.via.array.size)
                     .arg(requiredFields);
        return false;
    }
    return true;
}

} // namespace

QString cleanSerialNumber(const QString &serial)
{
    const int mark = serial.indexOf(QLatin1Char('#'));
    return mark < 0 ? serial : serial.left(mark);
}

bool dispatchPayload(const char *data, int size, DispatchHost &host, QString *error)
{
    if (size <= 0) {
        *error = QStringLiteral("empty payload");
        return false;
    }
    msgpack::object_handle envelope;
    msgpack::object_handle payload;
    int id = 0;
    try {
        envelope = unpackOne(data, static_cast<std::size_t>(size));
        const msgpack::object &env = envelope.get();
        // An envelope without its second element would leave the id or the payload unset.
        if (env.type != msgpack::type::ARRAY || env.via.array.size < 2) {
            *error = QStringLiteral("envelope is not an array of id and payload");
            return false;
        }
        CHeaderCmd cmd;
        cmd.msgpack_unpack(env);
        id = cmd.GetMsgID();
        if (cmd.GetMsgLen() <= 0) {
            *error = QStringLiteral("message %1 has an empty payload").arg(id);
            return false;
        }
        payload = unpackOne(reinterpret_cast<const char *>(cmd.GetMsg()),
            static_cast<std::size_t>(cmd.GetMsgLen()));
    } catch (const std::exception &e) {
        *error = QStringLiteral("undecodable envelope: %1").arg(QString::fromUtf8(e.what()));
        return false;
    }

    qCDebug(lcSession) << "The ParsMsgId:" << id;

    const msgpack::object &obj = payload.get();
    IZEVSocketSessionEvent *sink = host.sink();
    switch (id) {
    case ZEVMsg::Login: {
        CLoginResponse response;
        if (!decode(obj, &response, 1, error))
            return false;
        if (response.GetResult() == 0) {
            host.acceptLogin();
            if (sink)
                sink->OnConnected();
        }
        return true;
    }
    case ZEVMsg::FileInfoDownload:
    case ZEVMsg::FileInfoDownload12: {
        CTarvoServerInfo_DL reply;
        if (!decode(obj, &reply, 0, error))
            return false;
        if (sink) {
            ServerInfoDL info;
            info.Port = reply.GetPort();
            info.IP = fromWire(reply.GetIP());
            info.FilePath = host.lastFilePath();
            sink->OnServerInfoDL(&info);
        }
        return true;
    }
    case ZEVMsg::ActionFileList: {
        CGetActionFileList reply;
        if (!decode(obj, &reply, 0, error))
            return false;
        if (sink)
            sink->OnActionFileList(fromWire(reply.GetNameList()));
        return true;
    }
    case ZEVMsg::DeleteActionFile: {
        CDelActionFileInfo reply;
        if (!decode(obj, &reply, 0, error))
            return false;
        std::string fileName;
        int status = 0;
        reply.GetDelActFileInfo(fileName, status);
        if (status == -1)
            host.requestActionFileList();
        return true;
    }
    case ZEVMsg::WifiList: {
        CWifiList reply;
        return decode(obj, &reply, 0, error);
    }
    case ZEVMsg::ReadMotorAngle: {
        CMotoAngle reply;
        if (!decode(obj, &reply, 2, error))
            return false;
        if (sink)
            sink->OnMotorAngle(reply.GetId(), static_cast<unsigned char>(reply.GetAngle() & 0xff));
        return true;
    }
    case ZEVMsg::ActionResourceList: {
        CGetActionResourceList reply;
        if (!decode(obj, &reply, 0, error))
            return false;
        if (sink)
            sink->OnActionResourceList(fromWire(reply.GetNameList()));
        return true;
    }
    case ZEVMsg::FileUpload: {
        CTarvoServerInfo_UL reply;
        if (!decode(obj, &reply, 2, error))
            return false;
        if (sink) {
            ServerInfoUL info;
            info.Port = reply.GetPort();
            info.FileLen = static_cast<int>(reply.GetFileLen());
            info.IP = fromWire(reply.GetIP());
            info.FileName = fromWire(reply.GetFileName());
            sink->OnServerInfoUL(&info);
        }
        return true;
    }
    case ZEVMsg::FixedNameFile21:
    case ZEVMsg::FixedNameFile22: {
        CTarvoServerInfo_DL reply;
        return decode(obj, &reply, 0, error);
    }
    case ZEVMsg::Version33:
    case ZEVMsg::Version34: {
        CTarvo2Version reply;
        if (!decode(obj, &reply, 0, error))
            return false;
        std::string text;
        unsigned char kind = 0;
        reply.GetStr(text, kind);
        if (sink)
            sink->OnVersion(fromWire(text));
        return true;
    }
    case ZEVMsg::SerialNumber: {
        CSerialNum reply;
        if (!decode(obj, &reply, 0, error))
            return false;
        if (sink)
            sink->OnSerialNum(cleanSerialNumber(fromWire(reply.GetSerialNum())));
        return true;
    }
    default:
        return true;
    }
}
