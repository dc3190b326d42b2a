#include "wiremsg_apps.h"

#include "wireunpack.h"

#include <cstring>
#include <utility>

AppEntrityInfo::AppEntrityInfo()
    : m_Flag1(false)
    , m_MsgData(nullptr)
    , m_MsgLen(0)
    , m_OwnedData(nullptr)
    , m_Flag2(false)
    , m_Flag3(false)
    , m_Flag4(false)
    , m_ApkInstallState(0)
{
}

AppEntrityInfo::~AppEntrityInfo()
{
    freeOwned();
}

AppEntrityInfo::AppEntrityInfo(const AppEntrityInfo &other)
    : m_PackageName(other.m_PackageName)
    , m_Text2(other.m_Text2)
    , m_Text3(other.m_Text3)
    , m_Text4(other.m_Text4)
    , m_Text5(other.m_Text5)
    , m_Flag1(other.m_Flag1)
    , m_DownloadUrl(other.m_DownloadUrl)
    , m_MsgData(nullptr)
    , m_MsgLen(0)
    , m_OwnedData(nullptr)
    , m_Flag2(other.m_Flag2)
    , m_Flag3(other.m_Flag3)
    , m_Flag4(other.m_Flag4)
    , m_ApkInstallState(other.m_ApkInstallState)
{
    SetMsgData(other.m_MsgData, other.m_MsgLen);
}

AppEntrityInfo &AppEntrityInfo::operator=(const AppEntrityInfo &other)
{
    if (this != &other) {
        AppEntrityInfo copy(other);
        *this = std::move(copy);
    }
    return *this;
}

AppEntrityInfo::AppEntrityInfo(AppEntrityInfo &&other) noexcept
    : m_PackageName(std::move(other.m_PackageName))
    , m_Text2(std::move(other.m_Text2))
    , m_Text3(std::move(other.m_Text3))
    , m_Text4(std::move(other.m_Text4))
    , m_Text5(std::move(other.m_Text5))
    , m_Flag1(other.m_Flag1)
    , m_DownloadUrl(std::move(other.m_DownloadUrl))
    , m_MsgData(std::exchange(other.m_MsgData, nullptr))
    , m_MsgLen(std::exchange(other.m_MsgLen, 0))
    , m_OwnedData(std::exchange(other.m_OwnedData, nullptr))
    , m_Flag2(other.m_Flag2)
    , m_Flag3(other.m_Flag3)
    , m_Flag4(other.m_Flag4)
    , m_ApkInstallState(other.m_ApkInstallState)
{
}

AppEntrityInfo &AppEntrityInfo::operator=(AppEntrityInfo &&other) noexcept
{
    if (this != &other) {
        freeOwned();
        m_PackageName = std::move(other.m_PackageName);
        m_Text2 = std::move(other.m_Text2);
        m_Text3 = std::move(other.m_Text3);
        m_Text4 = std::move(other.m_Text4);
        m_Text5 = std::move(other.m_Text5);
        m_Flag1 = other.m_Flag1;
        m_DownloadUrl = std::move(other.m_DownloadUrl);
        m_MsgData = std::exchange(other.m_MsgData, nullptr);
        m_MsgLen = std::exchange(other.m_MsgLen, 0);
        m_OwnedData = std::exchange(other.m_OwnedData, nullptr);
        m_Flag2 = other.m_Flag2;
        m_Flag3 = other.m_Flag3;
        m_Flag4 = other.m_Flag4;
        m_ApkInstallState = other.m_ApkInstallState;
    }
    return *this;
}

void AppEntrityInfo::freeOwned()
{
    delete[] m_OwnedData;
    m_OwnedData = nullptr;
}

void AppEntrityInfo::SetMsgData(const unsigned char *pData, int nLen)
{
    unsigned char *copy = nullptr;
    if (pData && nLen > 0) {
        // Copy before freeing: pData may point into the owned bytes.
        copy = new unsigned char[static_cast<size_t>(nLen)];
        std::memcpy(copy, pData, static_cast<size_t>(nLen));
    }
    freeOwned();
    m_OwnedData = copy;
    m_MsgData = copy;
    m_MsgLen = copy ? nLen : 0;
}

void AppEntrityInfo::msgpack_unpack(const msgpack::object &o)
{
    const unsigned char *msgData = nullptr;
    int msgLen = 0;
    bool taken = false;
    // MsgData must follow the decoded data even when a later field fails.
    struct Adopt
    {
        AppEntrityInfo &self;
        const unsigned char *&data;
        int &size;
        bool &taken;
        ~Adopt()
        {
            if (taken) {
                self.freeOwned();
                self.m_MsgData = data;
                self.m_MsgLen = size;
            }
        }
    } adopt { *this, msgData, msgLen, taken };
    wire::unpackFields(o, m_PackageName, m_Text2, m_Text3, m_Text4, m_Text5, m_Flag1, m_DownloadUrl,
        wire::ByteBlockRef { msgData, msgLen, taken }, m_Flag2, m_Flag3, m_Flag4,
        m_ApkInstallState);
}

CAppEntrityList::CAppEntrityList() = default;

CAppEntrityList::~CAppEntrityList() = default;

void CAppEntrityList::msgpack_unpack(const msgpack::object &o)
{
    wire::unpackFields(o, m_Entries);
}

CGetInstallAppList::CGetInstallAppList()
    : m_GetAll(true)
{
}

CGetInstallAppList::~CGetInstallAppList() = default;

void CGetInstallAppList::msgpack_unpack(const msgpack::object &o)
{
    wire::unpackFields(o, m_GetAll);
}
