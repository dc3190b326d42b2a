#include "cheader.h"

#include <cstdint>
#include <cstring>
#include <utility>

namespace {

constexpr unsigned short kMagic = 0x1234;
constexpr int kHeaderSize = 10;
// Length counts Version, Reserved and the payload.
constexpr int kLengthOverhead = 4;

void put16(unsigned char *p, unsigned short v)
{
    p[0] = static_cast<unsigned char>(v & 0xff);
    p[1] = static_cast<unsigned char>(v >> 8);
}

void put32(unsigned char *p, int v)
{
    const auto u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(u >> (8 * i));
}

unsigned short get16(const unsigned char *p)
{
    return static_cast<unsigned short>(p[0] | (p[1] << 8));
}

int get32(const unsigned char *p)
{
    uint32_t u = 0;
    for (int i = 0; i < 4; ++i)
        u |= static_cast<uint32_t>(p[i]) << (8 * i);
    return static_cast<int>(u);
}

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
    : m_Magic(kMagic)
    , m_Length(0)
    , m_Version(1)
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
    m_Length = m_MsgLen + kLengthOverhead;
    const int frameSize = m_MsgLen + kHeaderSize;
    auto *frame = new unsigned char[static_cast<size_t>(frameSize)];
    put16(frame, m_Magic);
    put32(frame + 2, m_Length);
    put16(frame + 6, m_Version);
    put16(frame + 8, m_Reserved);
    if (m_MsgLen > 0)
        std::memcpy(frame + kHeaderSize, m_Msg, static_cast<size_t>(m_MsgLen));
    *ppData = frame;
    return m_Length + 6;
}

int CHeader::SetHeaderData(const unsigned char *pBuf, int nLen, int &nPos)
{
    if (!pBuf || nPos < 0 || nPos > nLen || nLen - nPos < kHeaderSize) {
        nPos = 0;
        return -1;
    }
    const unsigned char *frame = pBuf + nPos;
    if (get16(frame) != kMagic)
        return -1;
    const int length = get32(frame + 2);
    if (length < kLengthOverhead) {
        nPos += 2;
        return -1;
    }
    const int payloadSize = length - kLengthOverhead;
    // Never read past the caller's buffer: an incomplete frame is left where it starts.
    if (payloadSize > nLen - nPos - kHeaderSize)
        return -1;
    m_Magic = kMagic;
    m_Length = length;
    m_Version = get16(frame + 6);
    m_Reserved = get16(frame + 8);
    SetMsg(frame + kHeaderSize, payloadSize);
    nPos += kHeaderSize + payloadSize;
    return nPos;
}

bool CHeader::PrintInHex(const unsigned char *pData, int nLen)
{
    (void)pData;
    (void)nLen;
    return false;
}
