#pragma once

#include "libwireclass_export.h"
#include "wirepack.h"

#include <string>
#include <vector>

// Installed application payloads.

// MsgData is a byte block: owned when set with SetMsgData, a reference into the decoded data
// after msgpack_unpack. A copy always owns a duplicate of the bytes.
class LIBWIRECLASS_EXPORT AppEntrityInfo
{
public:
    AppEntrityInfo();
    ~AppEntrityInfo();
    AppEntrityInfo(const AppEntrityInfo &other);
    AppEntrityInfo &operator=(const AppEntrityInfo &other);
    AppEntrityInfo(AppEntrityInfo &&other) noexcept;
    AppEntrityInfo &operator=(AppEntrityInfo &&other) noexcept;

    std::string GetApkPackName() const { return m_PackageName; }
    void SetPackageName(const std::string &str) { m_PackageName = str; }
    std::string GetText2() const { return m_Text2; }
    std::string GetText3() const { return m_Text3; }
    std::string GetText4() const { return m_Text4; }
    std::string GetText5() const { return m_Text5; }
    void SetText2(const std::string &str) { m_Text2 = str; }
    void SetText3(const std::string &str) { m_Text3 = str; }
    void SetText4(const std::string &str) { m_Text4 = str; }
    void SetText5(const std::string &str) { m_Text5 = str; }
    bool GetFlag1() const { return m_Flag1; }
    void SetFlag1(bool b) { m_Flag1 = b; }
    std::string GetDownloadUrl() const { return m_DownloadUrl; }
    void SetDownloadUrl(const std::string &str) { m_DownloadUrl = str; }

    // Frees the owned bytes; copies nLen bytes when pData is non-null and nLen > 0.
    void SetMsgData(const unsigned char *pData, int nLen);
    const unsigned char *GetMsgData() const { return m_MsgData; }
    int GetMsgLen() const { return m_MsgLen; }

    bool GetFlag2() const { return m_Flag2; }
    bool GetFlag3() const { return m_Flag3; }
    bool GetFlag4() const { return m_Flag4; }
    void SetFlag2(bool b) { m_Flag2 = b; }
    void SetFlag3(bool b) { m_Flag3 = b; }
    void SetFlag4(bool b) { m_Flag4 = b; }
    int GetApkInstallState() const { return m_ApkInstallState; }
    void SetApkInstallState(int nState) { m_ApkInstallState = nState; }

    void msgpack_unpack(const msgpack::object &o);
    template <typename Packer> void msgpack_pack(Packer &pk) const
    {
        wire::packFields(pk, m_PackageName, m_Text2, m_Text3, m_Text4, m_Text5, m_Flag1,
            m_DownloadUrl, wire::ByteBlock { m_MsgData, m_MsgLen }, m_Flag2, m_Flag3, m_Flag4,
            m_ApkInstallState);
    }

private:
    void freeOwned();

    std::string m_PackageName;
    std::string m_Text2;
    std::string m_Text3;
    std::string m_Text4;
    std::string m_Text5;
    bool m_Flag1;
    std::string m_DownloadUrl;
    const unsigned char *m_MsgData;
    int m_MsgLen;
    unsigned char *m_OwnedData;
    bool m_Flag2;
    bool m_Flag3;
    bool m_Flag4;
    int m_ApkInstallState;
};

// Encodes as [[entry, ...]].
class LIBWIRECLASS_EXPORT CAppEntrityList
{
public:
    CAppEntrityList();
    ~CAppEntrityList();
    CAppEntrityList(const CAppEntrityList &) = default;
    CAppEntrityList &operator=(const CAppEntrityList &) = default;

    const std::vector<AppEntrityInfo> &GetEntries() const { return m_Entries; }
    void SetEntries(const std::vector<AppEntrityInfo> &entries) { m_Entries = entries; }

    void msgpack_unpack(const msgpack::object &o);
    template <typename Packer> void msgpack_pack(Packer &pk) const
    {
        wire::packFields(pk, m_Entries);
    }

private:
    std::vector<AppEntrityInfo> m_Entries;
};

class LIBWIRECLASS_EXPORT CGetInstallAppList
{
public:
    CGetInstallAppList();
    ~CGetInstallAppList();
    CGetInstallAppList(const CGetInstallAppList &) = default;
    CGetInstallAppList &operator=(const CGetInstallAppList &) = default;

    bool GetAll() const { return m_GetAll; }
    void SetGetAll(bool bAll) { m_GetAll = bAll; }

    void msgpack_unpack(const msgpack::object &o);
    template <typename Packer> void msgpack_pack(Packer &pk) const
    {
        wire::packFields(pk, m_GetAll);
    }

private:
    bool m_GetAll;
};
