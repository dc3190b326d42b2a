#pragma once

#include "wirepack.h"

#include <algorithm>
#include <climits>
#include <string>
#include <utility>
#include <vector>

// Decoding helpers private to the library.
namespace wire {

// A signed 8-bit wire field decoded into a stored byte: -56 becomes 200; 128 is refused.
struct SignedByteRef
{
    unsigned char &value;
};

// A byte string taken by reference, without copy; taken tells whether the element was there
// and converted.
struct ByteBlockRef
{
    const unsigned char *&data;
    int &size;
    bool &taken;
};

inline void unpackField(const msgpack::object &o, SignedByteRef ref)
{
    ref.value = static_cast<unsigned char>(o.as<signed char>());
}

inline void unpackField(const msgpack::object &o, ByteBlockRef ref)
{
    if (o.type != msgpack::type::STR && o.type != msgpack::type::BIN)
        throw msgpack::type_error();
    // str and bin share their layout.
    if (o.via.str.size > static_cast<uint32_t>(INT_MAX))
        throw msgpack::type_error();
    ref.data = reinterpret_cast<const unsigned char *>(o.via.str.ptr);
    ref.size = static_cast<int>(o.via.str.size);
    ref.taken = true;
}

inline void unpackField(const msgpack::object &o, std::string &text)
{
    // Only str and bin: msgpack-c's own conversion accepts exactly these.
    o.convert(text);
}

template <typename Record>
auto unpackField(const msgpack::object &o, Record &record) -> decltype(record.msgpack_unpack(o))
{
    record.msgpack_unpack(o);
}

template <typename T>
auto unpackField(const msgpack::object &o, T &value)
    -> std::enable_if_t<std::is_arithmetic<T>::value>
{
    value = o.as<T>();
}

template <typename T> void unpackField(const msgpack::object &o, std::vector<T> &list)
{
    if (o.type != msgpack::type::ARRAY)
        throw msgpack::type_error();
    list.resize(o.via.array.size);
    for (uint32_t i = 0; i < o.via.array.size; ++i)
        unpackField(o.via.array.ptr[i], list[i]);
}

template <typename Field>
void unpackAt(const msgpack::object &array, uint32_t &index, Field &&field)
{
    if (index < array.via.array.size) {
        unpackField(array.via.array.ptr[index], std::forward<Field>(field));
        ++index;
    }
}

// Fills the fields in order from the elements of an array. Missing elements leave their fields
// alone, surplus elements are ignored; the first element that does not convert throws
// msgpack::type_error and leaves the later fields alone.
template <typename... Fields> void unpackFields(const msgpack::object &o, Fields &&...fields)
{
    if (o.type != msgpack::type::ARRAY)
        throw msgpack::type_error();
    uint32_t index = 0;
    (unpackAt(o, index, std::forward<Fields>(fields)), ...);
}

} // namespace wire
