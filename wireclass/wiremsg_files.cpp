#include "wiremsg_files.h"

#include "wireunpack.h"

namespace {

constexpr int kDefaultServerPort = 6010;
const char kDefaultServerFile[] = "1.zev";
// The robot's address on its own access point, until a reply names it.
const char kDefaultServerIP[] = "192.168.43.1";

} // namespace

CActionFile::CActionFile() = default;

CActionFile::~CActionFile() = default;

void CActionFile::SetFileName(const QString &qsFileName)
{
    m_FileName = qsFileName.toUtf8().toStdString();
}

void CActionFile::msgpack_unpack(const msgpack::object &o)
{
    wire::unpackFields(o, m_FileName);
}

CDelActionFileInfo::CDelActionFileInfo()
    : m_Status(-1)
{
}

CDelActionFileInfo::~CDelActionFileInfo() = default;

void CDelActionFileInfo::GetDelActFileInfo(std::string &strFileName, int &nStatus) const
{
    strFileName = m_FileName;
    nStatus = m_Status;
}

void CDelActionFileInfo::msgpack_unpack(const msgpack::object &o)
{
    wire::unpackFields(o, m_FileName, m_Status);
}

CGetActionFileList::CGetActionFileList() = default;

CGetActionFileList::~CGetActionFileList() = default;

void CGetActionFileList::msgpack_unpack(const msgpack::object &o)
{
    wire::unpackFields(o, m_NameList);
}

CGetActionResourceList::CGetActionResourceList() = default;

CGetActionResourceList::~CGetActionResourceList() = default;

void CGetActionResourceList::msgpack_unpack(const msgpack::object &o)
{
    wire::unpackFields(o, m_NameList);
}

CFileInfo_DL::CFileInfo_DL()
    : m_FileLen(0)
{
}

CFileInfo_DL::~CFileInfo_DL() = default;

void CFileInfo_DL::msgpack_unpack(const msgpack::object &o)
{
    wire::unpackFields(o, m_FileName, m_FilePath, m_FileLen);
}

CFileInfo_UL::CFileInfo_UL() = default;

CFileInfo_UL::~CFileInfo_UL() = default;

void CFileInfo_UL::msgpack_unpack(const msgpack::object &o)
{
    wire::unpackFields(o, m_FileName);
}

CTarvoServerInfo_DL::CTarvoServerInfo_DL()
    : m_Port(kDefaultServerPort)
    , m_FileName(kDefaultServerFile)
    , m_IP(kDefaultServerIP)
{
}

CTarvoServerInfo_DL::~CTarvoServerInfo_DL() = default;

void CTarvoServerInfo_DL::msgpack_unpack(const msgpack::object &o)
{
    wire::unpackFields(o, m_Port, m_FileName, m_IP);
}

CTarvoServerInfo_UL::CTarvoServerInfo_UL()
    : m_Port(kDefaultServerPort)
    , m_FileLen(0)
    , m_FileName(kDefaultServerFile)
    , m_IP(kDefaultServerIP)
    , m_FileExistStatus(false)
{
}

CTarvoServerInfo_UL::~CTarvoServerInfo_UL() = default;

void CTarvoServerInfo_UL::msgpack_unpack(const msgpack::object &o)
{
    wire::unpackFields(o, m_Port, m_FileLen, m_FileName, m_IP, m_FileExistStatus);
}
