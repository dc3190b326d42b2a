#include "wiremsg_motion.h"

#include "wireunpack.h"

#include <algorithm>

CAllMotoAngle::CAllMotoAngle()
    : m_Angle {}
    , m_Time(0)
{
}

CAllMotoAngle::~CAllMotoAngle() = default;

void CAllMotoAngle::SetAllAngle(const int *pAngles, int nCount)
{
    // Callers always pass the full set of motors; the count is informational only.
    (void)nCount;
    std::copy(pAngles, pAngles + kMotorCount, m_Angle);
}

void CAllMotoAngle::msgpack_unpack(const msgpack::object &o)
{
    int(&a)[kMotorCount] = m_Angle;
    wire::unpackFields(o, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9], a[10], a[11],
        a[12], a[13], a[14], a[15], a[16], a[17], a[18], a[19], m_Time);
}

CMotoAngle::CMotoAngle()
    : m_Id(0)
    , m_Angle(0)
    , m_Time(0)
{
}

CMotoAngle::~CMotoAngle() = default;

void CMotoAngle::msgpack_unpack(const msgpack::object &o)
{
    wire::unpackFields(o, m_Id, m_Angle, m_Time);
}

CReadMotorAngle::CReadMotorAngle()
    : m_ID(0)
{
}

CReadMotorAngle::~CReadMotorAngle() = default;

void CReadMotorAngle::msgpack_unpack(const msgpack::object &o)
{
    wire::unpackFields(o, m_ID);
}

CEarLedData::CEarLedData()
    : m_RunTime(0)
    , m_LeftLed(0)
    , m_RightLed(0)
    , m_Bright(0)
    , m_LightUpTime(0)
    , m_LightDownTime(0)
{
}

CEarLedData::~CEarLedData() = default;

void CEarLedData::msgpack_unpack(const msgpack::object &o)
{
    wire::unpackFields(
        o, m_RunTime, m_LeftLed, m_RightLed, m_Bright, m_LightUpTime, m_LightDownTime);
}

CEyeLedData::CEyeLedData()
    : m_LeftLed(0)
    , m_RightLed(0)
    , m_Bright(0)
    , m_Color(0)
    , m_LightUpTime(0)
    , m_LightDownTime(0)
    , m_TotalTime(0)
{
}

CEyeLedData::~CEyeLedData() = default;

void CEyeLedData::msgpack_unpack(const msgpack::object &o)
{
    wire::unpackFields(o, wire::SignedByteRef { m_LeftLed }, wire::SignedByteRef { m_RightLed },
        wire::SignedByteRef { m_Bright }, wire::SignedByteRef { m_Color }, m_LightUpTime,
        m_LightDownTime, m_TotalTime);
}
