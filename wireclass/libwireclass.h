#pragma once

// The message class library: frame header, command envelope and every payload class.
//
// Encoding: msgpack::pack(buffer, object) with any msgpack-c buffer (msgpack::sbuffer).
// Decoding: object.msgpack_unpack(msgpack::object) fills a prefix of the fields from an array;
// a field that does not fit its type throws msgpack::type_error, keeping the fields decoded
// before it. Byte strings are accepted whether marked str or bin.

#include "cheader.h"
#include "cheadercmd.h"
#include "libwireclass_export.h"
#include "wiremsg_apps.h"
#include "wiremsg_device.h"
#include "wiremsg_files.h"
#include "wiremsg_motion.h"
#include "wiremsg_wifi.h"

class LIBWIRECLASS_EXPORT LibWireClass
{
public:
    LibWireClass();
    LibWireClass(const LibWireClass &) = default;
    LibWireClass &operator=(const LibWireClass &);
};
