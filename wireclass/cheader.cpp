#include "cheader.h"

#include "wireframe.h"

#include <cstring>
#include <utility>

namespace {

unsigned char *duplicate(const unsigned char *p, int n)
{
    if (!p || n <= 0)
        return nullptr;
    auto *copy = new unsigned char[static_cast<size_t>(n)];
    std::memcpy(copy, p, static_cast<size_t>(n));
    return copy;
}

} // namespace

CHeader::CHeader()
    : m_Magic(wireframe::kStartMark)
    , m_Length(0)
    , m_Version(wireframe::kVersion)
    , m_Reserved(0)
    , m_Msg(nullptr)
    , m_MsgLen(0)
{
}

CHeader::~CHeader()
{
    delete[] m_Msg;
}

CHeader::CHeader(const CHeader &other)
    : m_Magic(other.m_Magic)
    , m_Length(other.m_Length)
    , m_Version(other.m_Version)
    , m_Reserved(other.m_Reserved)
    , m_Msg(duplicate(other.m_Msg, other.m_MsgLen))
    , m_MsgLen(m_Msg ? other.m_MsgLen : 0)
{
}

CHeader &CHeader::operator=(const CHeader &other)
{
    if (this != &other) {
        CHeader copy(other);
        *this = std::move(copy);
    }
    return *this;
}

CHeader::CHeader(CHeader &&other) noexcept
    : m_Magic(other.m_Magic)
    , m_Length(other.m_Length)
    , m_Version(other.m_Version)
    , m_Reserved(other.m_Reserved)
    , m_Msg(std::exchange(other.m_Msg, nullptr))
    , m_MsgLen(std::exchange(other.m_MsgLen, 0))
{
}

CHeader &CHeader::operator=(CHeader &&other) noexcept
{
    if (this != &other) {
        delete[] m_Msg;
        m_Magic = other.m_Magic;
        m_Length = other.m_Length;
        m_Version = other.m_Version;
        m_Reserved = other.m_Reserved;
        m_Msg = std::exchange(other.m_Msg, nullptr);
        m_MsgLen = std::exchange(other.m_MsgLen, 0);
    }
    return *this;
}

bool CHeader::SetMsg(const unsigned char *pMsg, int nLen)
{
    // Copy first: pMsg may point into the current payload.
    unsigned char *copy = duplicate(pMsg, nLen);
    delete[] m_Msg;
    m_Msg = copy;
    m_MsgLen = copy ? nLen : 0;
    return true;
}

int CHeader::GetHeaderData(unsigned char **ppData)
{
    m_Length = m_MsgLen + wireframe::kLengthOverhead;
    const int frameSize = m_MsgLen + wireframe::kHeaderSize;
    auto *frame = new unsigned char[static_cast<size_t>(frameSize)];
    wireframe::put16(frame, m_Magic);
    wireframe::put32(frame + wireframe::kLengthOffset, m_Length);
    wireframe::put16(frame + wireframe::kVersionOffset, m_Version);
    wireframe::put16(frame + wireframe::kReservedOffset, m_Reserved);
    if (m_MsgLen > 0)
        std::memcpy(frame + wireframe::kHeaderSize, m_Msg, static_cast<size_t>(m_MsgLen));
    *ppData = frame;
    return wireframe::kVersionOffset + m_Length;
}

int CHeader::SetHeaderData(const unsigned char *pBuf, int nLen, int &nPos)
{
    if (!pBuf || nPos < 0 || nPos > nLen || nLen - nPos < wireframe::kHeaderSize) {
        nPos = 0;
        return -1;
    }
    const unsigned char *frame = pBuf + nPos;
    if (wireframe::get16(frame) != wireframe::kStartMark)
        return -1;
    const int length = wireframe::get32(frame + wireframe::kLengthOffset);
    if (length < wireframe::kLengthOverhead) {
        nPos += wireframe::kStartMarkSize;
        return -1;
    }
    const int payloadSize = length - wireframe::kLengthOverhead;
    // Never read past the caller's buffer: an incomplete frame is left where it starts.
    if (payloadSize > nLen - nPos - wireframe::kHeaderSize)
        return -1;
    m_Magic = wireframe::kStartMark;
    m_Length = length;
    m_Version = wireframe::get16(frame + wireframe::kVersionOffset);
    m_Reserved = wireframe::get16(frame + wireframe::kReservedOffset);
    SetMsg(frame + wireframe::kHeaderSize, payloadSize);
    nPos += wireframe::kHeaderSize + payloadSize;
    return nPos;
}

bool CHeader::PrintInHex(const unsigned char *pData, int nLen)
{
    (void)pData;
    (void)nLen;
    return false;
}
