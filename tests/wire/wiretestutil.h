#pragma once

#include <msgpack.hpp>

#include <QByteArray>

// Small helpers shared by the wire tests: hex in, hex out.
namespace wiretest {

inline QByteArray bytes(const char *hex)
{
    return QByteArray::fromHex(QByteArray(hex));
}

inline QByteArray hex(const QByteArray &data)
{
    return data.toHex(' ');
}

template <typename T> QByteArray packed(const T &object)
{
    msgpack::sbuffer buffer;
    msgpack::pack(buffer, object);
    return QByteArray(buffer.data(), static_cast<int>(buffer.size()));
}

inline msgpack::object_handle unpacked(const QByteArray &data)
{
    return msgpack::unpack(data.constData(), static_cast<size_t>(data.size()));
}

inline const unsigned char *ubytes(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

} // namespace wiretest
