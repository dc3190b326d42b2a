// Frame parsing, envelope decoding and every payload class's decoding on arbitrary bytes.
// Besides crashes it stops on broken invariants: a parsed frame must rebuild to the same bytes,
// and whatever a record decoded must encode, decode again and re-encode identically.
#include "libwireclass.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace {

// The records are small: the default 8 KiB start of sbuffer and of the unpacking zone, filled and
// quarantined by ASan for each of the hundred or so buffers an input needs, cost more than all
// the decoding.
constexpr size_t kBufferStart = 128;

void require(bool condition)
{
    if (!condition)
        std::abort();
}

msgpack::object_handle unpackBounded(const char *data, size_t size)
{
    msgpack::unique_ptr<msgpack::zone> zone(new msgpack::zone(kBufferStart));
    const msgpack::object object
        = msgpack::unpack(*zone, data, size, nullptr, nullptr, wire::unpackLimitFor(size));
    return msgpack::object_handle(object, std::move(zone));
}

template <typename T> void readAccessors(const T &)
{
}

void readAccessors(const CWifiList &list)
{
    std::vector<ShowWifi> rows(1);
    require(list.GetWifiList(rows) == int(list.GetEntries().size()) + 1);
    for (const ShowWifi &row : rows) {
        require(std::memchr(row.Text1, 0, sizeof row.Text1) != nullptr);
        require(std::memchr(row.Text2, 0, sizeof row.Text2) != nullptr);
    }
}

void readAccessors(const CZEVDevInfo &info)
{
    std::string out;
    info.getDevName(out);
    info.getOsVersion(out);
    info.getIpAddress(out);
    info.getMacAddress(out);
}

template <typename T> void decodeAs(const msgpack::object &o)
{
    T record;
    try {
        record.msgpack_unpack(o);
    } catch (const msgpack::type_error &) {
        // The fields decoded before the bad element stay; they must still encode.
    }
    readAccessors(record);
    msgpack::sbuffer first(kBufferStart);
    msgpack::pack(first, record);

    T copy(record);
    copy = record;
    msgpack::sbuffer copied(kBufferStart);
    msgpack::pack(copied, copy);
    require(copied.size() == first.size()
        && std::memcmp(copied.data(), first.data(), first.size()) == 0);

    msgpack::object_handle handle = unpackBounded(first.data(), first.size());
    T again;
    again.msgpack_unpack(handle.get());
    msgpack::sbuffer second(kBufferStart);
    msgpack::pack(second, again);
    require(second.size() == first.size()
        && std::memcmp(second.data(), first.data(), first.size()) == 0);
}

void decodeAsEveryClass(const msgpack::object &o)
{
    decodeAs<CLoginTarvo>(o);
    decodeAs<CLoginResponse>(o);
    decodeAs<CSerialNum>(o);
    decodeAs<CTarvo2Version>(o);
    decodeAs<CGetTarvoDevInfo>(o);
    decodeAs<CZEVDevInfo>(o);
    decodeAs<CAllMotoAngle>(o);
    decodeAs<CMotoAngle>(o);
    decodeAs<CReadMotorAngle>(o);
    decodeAs<CEarLedData>(o);
    decodeAs<CEyeLedData>(o);
    decodeAs<CActionFile>(o);
    decodeAs<CDelActionFileInfo>(o);
    decodeAs<CGetActionFileList>(o);
    decodeAs<CGetActionResourceList>(o);
    decodeAs<CFileInfo_DL>(o);
    decodeAs<CFileInfo_UL>(o);
    decodeAs<CTarvoServerInfo_DL>(o);
    decodeAs<CTarvoServerInfo_UL>(o);
    decodeAs<CWifiInfo>(o);
    decodeAs<CWifiList>(o);
    decodeAs<CSetWifiToConnect>(o);
    decodeAs<AppEntrityInfo>(o);
    decodeAs<CAppEntrityList>(o);
    decodeAs<CGetInstallAppList>(o);
    decodeAs<CHeaderCmd>(o);
}

void decodePayload(const char *data, size_t size)
{
    try {
        msgpack::object_handle handle = unpackBounded(data, size);
        decodeAsEveryClass(handle.get());
    } catch (const msgpack::unpack_error &) {
    }
}

// As the session does with a frame's payload: envelope first, then the payload object.
void decodeEnvelope(const char *data, size_t size)
{
    try {
        msgpack::object_handle handle = unpackBounded(data, size);
        CHeaderCmd cmd;
        try {
            cmd.msgpack_unpack(handle.get());
        } catch (const msgpack::type_error &) {
            return;
        }
        require(cmd.GetMsgLen() >= 0);
        CHeaderCmd copy(cmd);
        msgpack::sbuffer buffer(kBufferStart);
        msgpack::pack(buffer, copy);
        if (cmd.GetMsgLen() > 0)
            decodePayload(reinterpret_cast<const char *>(cmd.GetMsg()), size_t(cmd.GetMsgLen()));
    } catch (const msgpack::unpack_error &) {
    }
}

void parseFrames(const unsigned char *data, int size)
{
    CHeader header;
    int pos = 0;
    while (pos < size) {
        const int start = pos;
        const int result = header.SetHeaderData(data, size, pos);
        if (result >= 0) {
            require(result == pos && pos >= start + 10 && pos <= size);
            require(header.GetMsgLen() == result - start - 10);
            unsigned char *frame = nullptr;
            const int frameSize = header.GetHeaderData(&frame);
            require(frameSize == result - start);
            require(std::memcmp(frame, data + start, size_t(frameSize)) == 0);
            delete[] frame;
            decodeEnvelope(
                reinterpret_cast<const char *>(header.GetMsg()), size_t(header.GetMsgLen()));
            continue;
        }
        if (size - start < 10) {
            require(pos == 0);
            break;
        }
        // A wrong start mark or an incomplete frame leaves the position; a Length below 4
        // passes the start mark.
        require(pos == start || pos == start + 2);
        if (pos == start)
            ++pos;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 1 << 20)
        return 0;
    parseFrames(data, int(size));
    decodeEnvelope(reinterpret_cast<const char *>(data), size);
    decodePayload(reinterpret_cast<const char *>(data), size);
    return 0;
}
