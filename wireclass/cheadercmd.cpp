#include "cheadercmd.h"

#include "wireunpack.h"

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

CHeaderCmd::CHeaderCmd()
    : m_MsgID(0)
    , m_MsgData(nullptr)
    , m_MsgLen(0)
    , m_Msg(nullptr)
{
}

CHeaderCmd::~CHeaderCmd()
{
    delete[] m_MsgData;
}

CHeaderCmd::CHeaderCmd(const CHeaderCmd &other)
    : m_MsgID(other.m_MsgID)
    , m_MsgData(duplicate(other.m_Msg, other.m_MsgLen))
    , m_MsgLen(m_MsgData ? other.m_MsgLen : 0)
    , m_Msg(m_MsgData)
{
}

CHeaderCmd &CHeaderCmd::operator=(const CHeaderCmd &other)
{
    if (this != &other) {
        CHeaderCmd copy(other);
        *this = std::move(copy);
    }
    return *this;
}

CHeaderCmd::CHeaderCmd(CHeaderCmd &&other) noexcept
    : m_MsgID(other.m_MsgID)
    , m_MsgData(std::exchange(other.m_MsgData, nullptr))
    , m_MsgLen(std::exchange(other.m_MsgLen, 0))
    , m_Msg(std::exchange(other.m_Msg, nullptr))
{
}

CHeaderCmd &CHeaderCmd::operator=(CHeaderCmd &&other) noexcept
{
    if (this != &other) {
        delete[] m_MsgData;
        m_MsgID = other.m_MsgID;
        m_MsgData = std::exchange(other.m_MsgData, nullptr);
        m_MsgLen = std::exchange(other.m_MsgLen, 0);
        m_Msg = std::exchange(other.m_Msg, nullptr);
    }
    return *this;
}

void CHeaderCmd::SetMsgData(const unsigned char *pData, int nLen)
{
    unsigned char *copy = duplicate(pData, nLen);
    delete[] m_MsgData;
    m_MsgData = copy;
    m_MsgLen = copy ? nLen : 0;
    m_Msg = copy;
}

void CHeaderCmd::msgpack_unpack(const msgpack::object &o)
{
    const unsigned char *msg = nullptr;
    int msgLen = 0;
    bool taken = false;
    wire::unpackFields(o, m_MsgID, wire::ByteBlockRef { msg, msgLen, taken });
    if (taken) {
        // The payload now refers to the decoded data; the old copy is no longer used.
        delete[] m_MsgData;
        m_MsgData = nullptr;
        m_Msg = msg;
        m_MsgLen = msgLen;
    }
}
