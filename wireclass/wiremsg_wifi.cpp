#include "wiremsg_wifi.h"

#include "wireunpack.h"

#include <cstring>

namespace {

void copyText(char (&target)[ShowWifi::kTextSize], const std::string &text)
{
    const size_t n = std::min(text.size(), sizeof target - 1);
    std::memcpy(target, text.data(), n);
    target[n] = '\0';
}

} // namespace

CWifiInfo::CWifiInfo()
    : m_Value(0)
    , m_Flag(false)
{
}

CWifiInfo::~CWifiInfo() = default;

void CWifiInfo::msgpack_unpack(const msgpack::object &o)
{
    wire::unpackFields(o, m_Text1, m_Value, m_Text2, m_Flag);
}

CWifiList::CWifiList() = default;

CWifiList::~CWifiList() = default;

int CWifiList::GetWifiList(std::vector<ShowWifi> &vecWifi) const
{
    for (const CWifiInfo &entry : m_Entries) {
        ShowWifi row {};
        copyText(row.Text1, entry.GetText1());
        row.Value = entry.GetValue();
        copyText(row.Text2, entry.GetText2());
        row.Flag = entry.GetFlag();
        vecWifi.push_back(row);
    }
    return static_cast<int>(vecWifi.size());
}

void CWifiList::msgpack_unpack(const msgpack::object &o)
{
    wire::unpackFields(o, m_Entries);
}

CSetWifiToConnect::CSetWifiToConnect()
    : m_Flag(false)
{
}

CSetWifiToConnect::~CSetWifiToConnect() = default;

void CSetWifiToConnect::msgpack_unpack(const msgpack::object &o)
{
    wire::unpackFields(o, m_Text1, m_Text2, m_Text3, m_Flag);
}
