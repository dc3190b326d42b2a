#pragma once

#include "libwireclass_export.h"
#include "wirepack.h"

#include <string>
#include <vector>

// Wi-Fi payloads.

// One entry of CWifiList as handed to a user interface: fixed size, texts NUL-terminated and
// cut to fit.
struct LIBWIRECLASS_EXPORT ShowWifi
{
    static constexpr int kTextSize = 128;
    char Text1[kTextSize];
    int Value;
    char Text2[kTextSize];
    bool Flag;
};

class LIBWIRECLASS_EXPORT CWifiInfo
{
public:
    CWifiInfo();
    ~CWifiInfo();
    CWifiInfo(const CWifiInfo &) = default;
    CWifiInfo &operator=(const CWifiInfo &) = default;
    CWifiInfo(CWifiInfo &&) = default;
    CWifiInfo &operator=(CWifiInfo &&) = default;

    std::string GetText1() const { return m_Text1; }
    int GetValue() const { return m_Value; }
    std::string GetText2() const { return m_Text2; }
    bool GetFlag() const { return m_Flag; }
    void SetText1(const std::string &str) { m_Text1 = str; }
    void SetValue(int nValue) { m_Value = nValue; }
    void SetText2(const std::string &str) { m_Text2 = str; }
    void SetFlag(bool bFlag) { m_Flag = bFlag; }

    void msgpack_unpack(const msgpack::object &o);
    template <typename Packer> void msgpack_pack(Packer &pk) const
    {
        wire::packFields(pk, m_Text1, m_Value, m_Text2, m_Flag);
    }

private:
    std::string m_Text1;
    int m_Value;
    std::string m_Text2;
    bool m_Flag;
};

// Encodes as [[entry, ...]].
class LIBWIRECLASS_EXPORT CWifiList
{
public:
    CWifiList();
    ~CWifiList();
    CWifiList(const CWifiList &) = default;
    CWifiList &operator=(const CWifiList &) = default;

    // Appends one record per entry in list order; returns the vector's new size.
    int GetWifiList(std::vector<ShowWifi> &vecWifi) const;
    const std::vector<CWifiInfo> &GetEntries() const { return m_Entries; }
    void SetEntries(const std::vector<CWifiInfo> &entries) { m_Entries = entries; }

    void msgpack_unpack(const msgpack::object &o);
    template <typename Packer> void msgpack_pack(Packer &pk) const
    {
        wire::packFields(pk, m_Entries);
    }

private:
    std::vector<CWifiInfo> m_Entries;
};

class LIBWIRECLASS_EXPORT CSetWifiToConnect
{
public:
    CSetWifiToConnect();
    ~CSetWifiToConnect();
    CSetWifiToConnect(const CSetWifiToConnect &) = default;
    CSetWifiToConnect &operator=(const CSetWifiToConnect &) = default;

    std::string GetText1() const { return m_Text1; }
    std::string GetText2() const { return m_Text2; }
    std::string GetText3() const { return m_Text3; }
    bool GetFlag() const { return m_Flag; }
    void SetText1(const std::string &str) { m_Text1 = str; }
    void SetText2(const std::string &str) { m_Text2 = str; }
    void SetText3(const std::string &str) { m_Text3 = str; }
    void SetFlag(bool bFlag) { m_Flag = bFlag; }

    void msgpack_unpack(const msgpack::object &o);
    template <typename Packer> void msgpack_pack(Packer &pk) const
    {
        wire::packFields(pk, m_Text1, m_Text2, m_Text3, m_Flag);
    }

private:
    std::string m_Text1;
    std::string m_Text2;
    std::string m_Text3;
    bool m_Flag;
};
