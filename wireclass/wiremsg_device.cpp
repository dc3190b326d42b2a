#include "wiremsg_device.h"

#include "wireunpack.h"

#include <QString>

namespace {

bool copyIfSet(const std::string &field, std::string &out)
{
    if (field.empty())
        return false;
    out = field;
    return true;
}

} // namespace

CLoginTarvo::CLoginTarvo()
    : m_LoginText(QString::fromWCharArray(L"kkkkkk").toUtf8().toStdString())
{
}

CLoginTarvo::~CLoginTarvo() = default;

void CLoginTarvo::msgpack_unpack(const msgpack::object &o)
{
    wire::unpackFields(o, m_LoginText);
}

CLoginResponse::CLoginResponse()
    : m_Result(0)
{
}

CLoginResponse::~CLoginResponse() = default;

void CLoginResponse::msgpack_unpack(const msgpack::object &o)
{
    wire::unpackFields(o, m_Result);
}

CSerialNum::CSerialNum() = default;

CSerialNum::~CSerialNum() = default;

void CSerialNum::msgpack_unpack(const msgpack::object &o)
{
    wire::unpackFields(o, m_SerialNum);
}

CTarvo2Version::CTarvo2Version()
    : m_Kind(0)
{
}

CTarvo2Version::~CTarvo2Version() = default;

void CTarvo2Version::GetStr(std::string &strOut, unsigned char &nKind) const
{
    strOut = m_Str;
    nKind = m_Kind;
}

void CTarvo2Version::msgpack_unpack(const msgpack::object &o)
{
    wire::unpackFields(o, m_Kind, m_Str);
}

CGetTarvoDevInfo::CGetTarvoDevInfo() = default;

CGetTarvoDevInfo::~CGetTarvoDevInfo() = default;

void CGetTarvoDevInfo::msgpack_unpack(const msgpack::object &o)
{
    wire::unpackFields(o, m_Str);
}

CZEVDevInfo::CZEVDevInfo() = default;

CZEVDevInfo::~CZEVDevInfo() = default;

bool CZEVDevInfo::getDevName(std::string &strOut) const
{
    return copyIfSet(m_DevName, strOut);
}

bool CZEVDevInfo::getOsVersion(std::string &strOut) const
{
    return copyIfSet(m_OsVersion, strOut);
}

bool CZEVDevInfo::getIpAddress(std::string &strOut) const
{
    return copyIfSet(m_IpAddress, strOut);
}

bool CZEVDevInfo::getMacAddress(std::string &strOut) const
{
    return copyIfSet(m_MacAddress, strOut);
}

void CZEVDevInfo::msgpack_unpack(const msgpack::object &o)
{
    wire::unpackFields(o, m_DevName, m_OsVersion, m_IpAddress, m_MacAddress);
}
