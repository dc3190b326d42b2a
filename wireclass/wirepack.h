#pragma once

#include <msgpack.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Packing in the dialect the robot's service reads: texts and byte blocks only in the raw family
// (a0-bf, da, db), never str8 (d9), bin or ext; integers in their shortest form.
namespace wire {

// A signed 8-bit wire field kept as a stored byte: 128-255 go out as -128...-1.
struct SignedByte
{
    unsigned char value;
};

// A byte block that is not owned by the packer: length and pointer.
struct ByteBlock
{
    const unsigned char *data;
    int size;
};

template <typename Packer> void packField(Packer &pk, int v)
{
    pk.pack_int(v);
}

template <typename Packer> void packField(Packer &pk, short v)
{
    pk.pack_short(v);
}

template <typename Packer> void packField(Packer &pk, unsigned char v)
{
    pk.pack_unsigned_char(v);
}

template <typename Packer> void packField(Packer &pk, unsigned int v)
{
    pk.pack_unsigned_int(v);
}

template <typename Packer> void packField(Packer &pk, bool v)
{
    if (v)
        pk.pack_true();
    else
        pk.pack_false();
}

template <typename Packer> void packField(Packer &pk, const SignedByte &v)
{
    pk.pack_signed_char(static_cast<signed char>(v.value));
}

template <typename Packer> void packField(Packer &pk, const ByteBlock &v)
{
    const uint32_t size = (v.data && v.size > 0) ? static_cast<uint32_t>(v.size) : 0u;
    pk.pack_v4raw(size);
    if (size)
        pk.pack_v4raw_body(reinterpret_cast<const char *>(v.data), size);
}

template <typename Packer> void packField(Packer &pk, const std::string &v)
{
    const auto size = static_cast<uint32_t>(v.size());
    pk.pack_v4raw(size);
    if (size)
        pk.pack_v4raw_body(v.data(), size);
}

// Nested records (list entries) pack themselves.
template <typename Packer, typename Record>
auto packField(Packer &pk, const Record &v) -> decltype(v.msgpack_pack(pk), void())
{
    v.msgpack_pack(pk);
}

template <typename Packer, typename T> void packField(Packer &pk, const std::vector<T> &list)
{
    pk.pack_array(static_cast<uint32_t>(list.size()));
    for (const T &entry : list)
        packField(pk, entry);
}

// Limits for unpacking len bytes from a peer. Every element takes at least one byte, so no
// honest count exceeds len; without this a forged array count of 4 billion makes msgpack-c
// allocate about 100 GB before it finds out the bytes are missing.
inline msgpack::unpack_limit unpackLimitFor(std::size_t len)
{
    const std::size_t n = std::min<std::size_t>(len, 0xffffffffu);
    return msgpack::unpack_limit(n, n / 2, n, n, n, 64);
}

// Writes the array of the given fields in order.
template <typename Packer, typename... Fields> void packFields(Packer &pk, const Fields &...fields)
{
    pk.pack_array(static_cast<uint32_t>(sizeof...(Fields)));
    (packField(pk, fields), ...);
}

} // namespace wire
