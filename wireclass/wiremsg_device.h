#pragma once

#include "libwireclass_export.h"
#include "wirepack.h"

#include <string>

// Login, serial number, version and device information payloads. Each encodes as the array of
// its fields in declaration order; msgpack_unpack fills a prefix of them (see wirepack.h).

class LIBWIRECLASS_EXPORT CLoginTarvo
{
public:
    CLoginTarvo();
    ~CLoginTarvo();
    CLoginTarvo(const CLoginTarvo &) = default;
    CLoginTarvo &operator=(const CLoginTarvo &) = default;

    std::string GetLoginText() const { return m_LoginText; }

    void msgpack_unpack(const msgpack::object &o);
    template <typename Packer> void msgpack_pack(Packer &pk) const
    {
        wire::packFields(pk, m_LoginText);
    }

private:
    std::string m_LoginText;
};

class LIBWIRECLASS_EXPORT CLoginResponse
{
public:
    CLoginResponse();
    ~CLoginResponse();
    CLoginResponse(const CLoginResponse &) = default;
    CLoginResponse &operator=(const CLoginResponse &) = default;

    short GetResult() const { return m_Result; }
    void SetResult(short nResult) { m_Result = nResult; }

    void msgpack_unpack(const msgpack::object &o);
    template <typename Packer> void msgpack_pack(Packer &pk) const
    {
        wire::packFields(pk, m_Result);
    }

private:
    short m_Result;
};

class LIBWIRECLASS_EXPORT CSerialNum
{
public:
    CSerialNum();
    ~CSerialNum();
    CSerialNum(const CSerialNum &) = default;
    CSerialNum &operator=(const CSerialNum &) = default;

    std::string GetSerialNum() const { return m_SerialNum; }
    void SetSerialNum(const std::string &strSerialNum) { m_SerialNum = strSerialNum; }

    void msgpack_unpack(const msgpack::object &o);
    template <typename Packer> void msgpack_pack(Packer &pk) const
    {
        wire::packFields(pk, m_SerialNum);
    }

private:
    std::string m_SerialNum;
};

class LIBWIRECLASS_EXPORT CTarvo2Version
{
public:
    CTarvo2Version();
    ~CTarvo2Version();
    CTarvo2Version(const CTarvo2Version &) = default;
    CTarvo2Version &operator=(const CTarvo2Version &) = default;

    void GetStr(std::string &strOut, unsigned char &nKind) const;
    void SetStr(const std::string &str) { m_Str = str; }
    unsigned char GetKind() const { return m_Kind; }
    void SetKind(unsigned char nKind) { m_Kind = nKind; }

    void msgpack_unpack(const msgpack::object &o);
    template <typename Packer> void msgpack_pack(Packer &pk) const
    {
        wire::packFields(pk, m_Kind, m_Str);
    }

private:
    unsigned char m_Kind;
    std::string m_Str;
};

class LIBWIRECLASS_EXPORT CGetTarvoDevInfo
{
public:
    CGetTarvoDevInfo();
    ~CGetTarvoDevInfo();
    CGetTarvoDevInfo(const CGetTarvoDevInfo &) = default;
    CGetTarvoDevInfo &operator=(const CGetTarvoDevInfo &) = default;

    std::string GetStr() const { return m_Str; }
    void SetStr(const std::string &str) { m_Str = str; }

    void msgpack_unpack(const msgpack::object &o);
    template <typename Packer> void msgpack_pack(Packer &pk) const { wire::packFields(pk, m_Str); }

private:
    std::string m_Str;
};

class LIBWIRECLASS_EXPORT CZEVDevInfo
{
public:
    CZEVDevInfo();
    ~CZEVDevInfo();
    CZEVDevInfo(const CZEVDevInfo &) = default;
    CZEVDevInfo &operator=(const CZEVDevInfo &) = default;

    // false, with strOut untouched, while the field is empty.
    bool getDevName(std::string &strOut) const;
    bool getOsVersion(std::string &strOut) const;
    bool getIpAddress(std::string &strOut) const;
    bool getMacAddress(std::string &strOut) const;
    void setDevName(const std::string &str) { m_DevName = str; }
    void setOsVersion(const std::string &str) { m_OsVersion = str; }
    void setIpAddress(const std::string &str) { m_IpAddress = str; }
    void setMacAddress(const std::string &str) { m_MacAddress = str; }

    void msgpack_unpack(const msgpack::object &o);
    template <typename Packer> void msgpack_pack(Packer &pk) const
    {
        wire::packFields(pk, m_DevName, m_OsVersion, m_IpAddress, m_MacAddress);
    }

private:
    std::string m_DevName;
    std::string m_OsVersion;
    std::string m_IpAddress;
    std::string m_MacAddress;
};
