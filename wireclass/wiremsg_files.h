#pragma once

#include "libwireclass_export.h"
#include "wirepack.h"

#include <QString>

#include <string>
#include <vector>

// Action file and file transfer payloads.

class LIBWIRECLASS_EXPORT CActionFile
{
public:
    CActionFile();
    ~CActionFile();
    CActionFile(const CActionFile &) = default;
    CActionFile &operator=(const CActionFile &) = default;

    // Stores the UTF-8 bytes of qsFileName.
    void SetFileName(const QString &qsFileName);
    std::string GetFileName() const { return m_FileName; }

    void msgpack_unpack(const msgpack::object &o);
    template <typename Packer> void msgpack_pack(Packer &pk) const
    {
        wire::packFields(pk, m_FileName);
    }

private:
    std::string m_FileName;
};

class LIBWIRECLASS_EXPORT CDelActionFileInfo
{
public:
    CDelActionFileInfo();
    ~CDelActionFileInfo();
    CDelActionFileInfo(const CDelActionFileInfo &) = default;
    CDelActionFileInfo &operator=(const CDelActionFileInfo &) = default;

    void GetDelActFileInfo(std::string &strFileName, int &nStatus) const;
    void SetFileName(const std::string &strFileName) { m_FileName = strFileName; }
    void SetStatus(int nStatus) { m_Status = nStatus; }

    void msgpack_unpack(const msgpack::object &o);
    template <typename Packer> void msgpack_pack(Packer &pk) const
    {
        wire::packFields(pk, m_FileName, m_Status);
    }

private:
    std::string m_FileName;
    int m_Status;
};

// Encodes as an array of one element, the array of names: [[name, ...]].
class LIBWIRECLASS_EXPORT CGetActionFileList
{
public:
    CGetActionFileList();
    ~CGetActionFileList();
    CGetActionFileList(const CGetActionFileList &) = default;
    CGetActionFileList &operator=(const CGetActionFileList &) = default;

    const std::vector<std::string> &GetNameList() const { return m_NameList; }
    void SetNameList(const std::vector<std::string> &names) { m_NameList = names; }

    void msgpack_unpack(const msgpack::object &o);
    template <typename Packer> void msgpack_pack(Packer &pk) const
    {
        wire::packFields(pk, m_NameList);
    }

private:
    std::vector<std::string> m_NameList;
};

// Same form as CGetActionFileList: [[name, ...]].
class LIBWIRECLASS_EXPORT CGetActionResourceList
{
public:
    CGetActionResourceList();
    ~CGetActionResourceList();
    CGetActionResourceList(const CGetActionResourceList &) = default;
    CGetActionResourceList &operator=(const CGetActionResourceList &) = default;

    const std::vector<std::string> &GetNameList() const { return m_NameList; }
    void SetNameList(const std::vector<std::string> &names) { m_NameList = names; }

    void msgpack_unpack(const msgpack::object &o);
    template <typename Packer> void msgpack_pack(Packer &pk) const
    {
        wire::packFields(pk, m_NameList);
    }

private:
    std::vector<std::string> m_NameList;
};

class LIBWIRECLASS_EXPORT CFileInfo_DL
{
public:
    CFileInfo_DL();
    ~CFileInfo_DL();
    CFileInfo_DL(const CFileInfo_DL &) = default;
    CFileInfo_DL &operator=(const CFileInfo_DL &) = default;

    void setFileName(const std::string &strFileName) { m_FileName = strFileName; }
    void setFilePath(const std::string &strFilePath) { m_FilePath = strFilePath; }
    // FileLen is unsigned 32-bit on the wire.
    void setFileLen(int nFileLen) { m_FileLen = static_cast<unsigned int>(nFileLen); }
    std::string getFileName() const { return m_FileName; }
    std::string getFilePath() const { return m_FilePath; }
    unsigned int getFileLen() const { return m_FileLen; }

    void msgpack_unpack(const msgpack::object &o);
    template <typename Packer> void msgpack_pack(Packer &pk) const
    {
        wire::packFields(pk, m_FileName, m_FilePath, m_FileLen);
    }

private:
    std::string m_FileName;
    std::string m_FilePath;
    unsigned int m_FileLen;
};

class LIBWIRECLASS_EXPORT CFileInfo_UL
{
public:
    CFileInfo_UL();
    ~CFileInfo_UL();
    CFileInfo_UL(const CFileInfo_UL &) = default;
    CFileInfo_UL &operator=(const CFileInfo_UL &) = default;

    void setFileName(const std::string &strFileName) { m_FileName = strFileName; }
    std::string getFileName() const { return m_FileName; }

    void msgpack_unpack(const msgpack::object &o);
    template <typename Packer> void msgpack_pack(Packer &pk) const
    {
        wire::packFields(pk, m_FileName);
    }

private:
    std::string m_FileName;
};

// The robot's file server for a download: Port 6010, FileName "1.zev" and a LAN address
// until a reply says otherwise.
class LIBWIRECLASS_EXPORT CTarvoServerInfo_DL
{
public:
    CTarvoServerInfo_DL();
    ~CTarvoServerInfo_DL();
    CTarvoServerInfo_DL(const CTarvoServerInfo_DL &) = default;
    CTarvoServerInfo_DL &operator=(const CTarvoServerInfo_DL &) = default;

    int GetPort() const { return m_Port; }
    std::string GetFileName() const { return m_FileName; }
    std::string GetIP() const { return m_IP; }
    void SetPort(int nPort) { m_Port = nPort; }
    void SetFileName(const std::string &strFileName) { m_FileName = strFileName; }
    void SetIP(const std::string &strIP) { m_IP = strIP; }

    void msgpack_unpack(const msgpack::object &o);
    template <typename Packer> void msgpack_pack(Packer &pk) const
    {
        wire::packFields(pk, m_Port, m_FileName, m_IP);
    }

private:
    int m_Port;
    std::string m_FileName;
    std::string m_IP;
};

class LIBWIRECLASS_EXPORT CTarvoServerInfo_UL
{
public:
    CTarvoServerInfo_UL();
    ~CTarvoServerInfo_UL();
    CTarvoServerInfo_UL(const CTarvoServerInfo_UL &) = default;
    CTarvoServerInfo_UL &operator=(const CTarvoServerInfo_UL &) = default;

    int GetPort() const { return m_Port; }
    long GetFileLen() const { return m_FileLen; }
    std::string GetFileName() const { return m_FileName; }
    std::string GetIP() const { return m_IP; }
    bool GetFileExistStatus() const { return m_FileExistStatus; }
    void SetPort(int nPort) { m_Port = nPort; }
    void SetFileLen(int nFileLen) { m_FileLen = nFileLen; }
    void SetFileName(const std::string &strFileName) { m_FileName = strFileName; }
    void SetIP(const std::string &strIP) { m_IP = strIP; }
    void SetFileExistStatus(bool bExists) { m_FileExistStatus = bExists; }

    void msgpack_unpack(const msgpack::object &o);
    template <typename Packer> void msgpack_pack(Packer &pk) const
    {
        wire::packFields(pk, m_Port, m_FileLen, m_FileName, m_IP, m_FileExistStatus);
    }

private:
    int m_Port;
    int m_FileLen;
    std::string m_FileName;
    std::string m_IP;
    bool m_FileExistStatus;
};
