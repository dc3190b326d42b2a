#pragma once

#include "libwireclass_export.h"

// One frame on the robot's TCP stream: a 10-byte little-endian header (Magic 0x1234, Length,
// Version, Reserved) followed by Length - 4 payload bytes. Length counts everything after itself.
class LIBWIRECLASS_EXPORT CHeader
{
public:
    CHeader();
    ~CHeader();
    // Copies duplicate the payload bytes; no two headers share a buffer.
    CHeader(const CHeader &other);
    CHeader &operator=(const CHeader &other);
    CHeader(CHeader &&other) noexcept;
    CHeader &operator=(CHeader &&other) noexcept;

    // Replaces the payload with a copy of nLen bytes; a null pointer or nLen <= 0 clears it.
    bool SetMsg(const unsigned char *pMsg, int nLen);

    // Builds the whole frame into a new buffer (release it with delete[]) and returns its size.
    int GetHeaderData(unsigned char **ppData);

    // Parses one frame of pBuf (nLen bytes in all) starting at nPos. Returns the position after
    // the frame (also stored in nPos), or -1:
    //  - fewer than 10 bytes left (or nPos outside the buffer): nPos is set to 0;
    //  - a wrong start mark: nPos is unchanged;
    //  - a Length below 4: nPos is advanced by 2, past the start mark;
    //  - a Length running past the end of pBuf: nPos is unchanged, at the frame's start,
    //    so the caller can wait for the rest of the frame.
    int SetHeaderData(const unsigned char *pBuf, int nLen, int &nPos);

    bool PrintInHex(const unsigned char *pData, int nLen);

    unsigned short GetMagic() const { return m_Magic; }
    int GetLength() const { return m_Length; }
    unsigned short GetVersion() const { return m_Version; }
    unsigned short GetReserved() const { return m_Reserved; }
    const unsigned char *GetMsg() const { return m_Msg; }
    int GetMsgLen() const { return m_MsgLen; }

private:
    unsigned short m_Magic;
    int m_Length;
    unsigned short m_Version;
    unsigned short m_Reserved;
    unsigned char *m_Msg;
    int m_MsgLen;
};
