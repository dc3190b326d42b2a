#pragma once

#include "libwireclass_export.h"
#include "wirepack.h"

// The command envelope inside a frame: the MessagePack array [MsgID, payload bytes], where the
// payload bytes are themselves the MessagePack form of the message's payload object.
class LIBWIRECLASS_EXPORT CHeaderCmd
{
public:
    CHeaderCmd();
    ~CHeaderCmd();
    // A copy always owns a duplicate of the payload bytes, even when the original only refers
    // to decoded data.
    CHeaderCmd(const CHeaderCmd &other);
    CHeaderCmd &operator=(const CHeaderCmd &other);
    CHeaderCmd(CHeaderCmd &&other) noexcept;
    CHeaderCmd &operator=(CHeaderCmd &&other) noexcept;

    void SetMsgID(int nMsgID) { m_MsgID = nMsgID; }
    int GetMsgID() const { return m_MsgID; }

    // Replaces the payload with a copy of nLen bytes; a null pointer or nLen <= 0 clears it.
    void SetMsgData(const unsigned char *pData, int nLen);
    const unsigned char *GetMsg() const { return m_Msg; }
    int GetMsgLen() const { return m_MsgLen; }

    // Takes MsgID and then a reference to the payload bytes, which must outlive this use: they
    // are not copied. Throws msgpack::type_error for anything but an array whose first element
    // is a 32-bit integer and whose second (when present) is a byte string.
    void msgpack_unpack(const msgpack::object &o);

    template <typename Packer> void msgpack_pack(Packer &pk) const
    {
        wire::packFields(pk, m_MsgID, wire::ByteBlock { m_Msg, m_MsgLen });
    }

private:
    int m_MsgID;
    unsigned char *m_MsgData;
    int m_MsgLen;
    const unsigned char *m_Msg;
};
