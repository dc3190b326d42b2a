#pragma once

#include "libwireclass_export.h"
#include "wirepack.h"

// Motor and LED payloads. Fields the sender must fill start at 0.

class LIBWIRECLASS_EXPORT CAllMotoAngle
{
public:
    static constexpr int kMotorCount = 20;

    CAllMotoAngle();
    ~CAllMotoAngle();
    CAllMotoAngle(const CAllMotoAngle &) = default;
    CAllMotoAngle &operator=(const CAllMotoAngle &) = default;

    // Copies 20 values whatever nCount says; pAngles must hold at least 20.
    void SetAllAngle(const int *pAngles, int nCount);

    int getAngle1() const { return m_Angle[0]; }
    int getAngle2() const { return m_Angle[1]; }
    int getAngle3() const { return m_Angle[2]; }
    int getAngle4() const { return m_Angle[3]; }
    int getAngle5() const { return m_Angle[4]; }
    int getAngle6() const { return m_Angle[5]; }
    int getAngle7() const { return m_Angle[6]; }
    int getAngle8() const { return m_Angle[7]; }
    int getAngle9() const { return m_Angle[8]; }
    int getAngle10() const { return m_Angle[9]; }
    int getAngle11() const { return m_Angle[10]; }
    int getAngle12() const { return m_Angle[11]; }
    int getAngle13() const { return m_Angle[12]; }
    int getAngle14() const { return m_Angle[13]; }
    int getAngle15() const { return m_Angle[14]; }
    int getAngle16() const { return m_Angle[15]; }
    int getAngle17() const { return m_Angle[16]; }
    int getAngle18() const { return m_Angle[17]; }
    int getAngle19() const { return m_Angle[18]; }
    int getAngle20() const { return m_Angle[19]; }
    // nIndex 0...19 for Angle1...Angle20.
    int getAngle(int nIndex) const { return m_Angle[nIndex]; }
    int getTime() const { return m_Time; }
    void setTime(int nTime) { m_Time = nTime; }

    void msgpack_unpack(const msgpack::object &o);
    template <typename Packer> void msgpack_pack(Packer &pk) const
    {
        pk.pack_array(kMotorCount + 1);
        for (int angle : m_Angle)
            wire::packField(pk, angle);
        wire::packField(pk, m_Time);
    }

private:
    int m_Angle[kMotorCount];
    int m_Time;
};

class LIBWIRECLASS_EXPORT CMotoAngle
{
public:
    CMotoAngle();
    ~CMotoAngle();
    CMotoAngle(const CMotoAngle &) = default;
    CMotoAngle &operator=(const CMotoAngle &) = default;

    int GetId() const { return m_Id; }
    void SetId(int nId) { m_Id = nId; }
    int GetAngle() const { return m_Angle; }
    void SetAngle(int nAngle) { m_Angle = nAngle; }
    int getTime() const { return m_Time; }
    void setTime(int nTime) { m_Time = nTime; }

    void msgpack_unpack(const msgpack::object &o);
    template <typename Packer> void msgpack_pack(Packer &pk) const
    {
        wire::packFields(pk, m_Id, m_Angle, m_Time);
    }

private:
    int m_Id;
    int m_Angle;
    int m_Time;
};

class LIBWIRECLASS_EXPORT CReadMotorAngle
{
public:
    CReadMotorAngle();
    ~CReadMotorAngle();
    CReadMotorAngle(const CReadMotorAngle &) = default;
    CReadMotorAngle &operator=(const CReadMotorAngle &) = default;

    int GetID() const { return m_ID; }
    void SetID(int nID) { m_ID = nID; }

    void msgpack_unpack(const msgpack::object &o);
    template <typename Packer> void msgpack_pack(Packer &pk) const { wire::packFields(pk, m_ID); }

private:
    int m_ID;
};

class LIBWIRECLASS_EXPORT CEarLedData
{
public:
    CEarLedData();
    ~CEarLedData();
    CEarLedData(const CEarLedData &) = default;
    CEarLedData &operator=(const CEarLedData &) = default;

    void SetRunTime(int n) { m_RunTime = n; }
    void SetLeftLed(int n) { m_LeftLed = n; }
    void SetRightLed(int n) { m_RightLed = n; }
    void SetBright(int n) { m_Bright = n; }
    void SetLightUpTime(int n) { m_LightUpTime = n; }
    void SetLightDownTime(int n) { m_LightDownTime = n; }
    int GetRunTime() const { return m_RunTime; }
    int GetLeftLed() const { return m_LeftLed; }
    int GetRightLed() const { return m_RightLed; }
    int GetBright() const { return m_Bright; }
    int GetLightUpTime() const { return m_LightUpTime; }
    int GetLightDownTime() const { return m_LightDownTime; }

    void msgpack_unpack(const msgpack::object &o);
    template <typename Packer> void msgpack_pack(Packer &pk) const
    {
        wire::packFields(
            pk, m_RunTime, m_LeftLed, m_RightLed, m_Bright, m_LightUpTime, m_LightDownTime);
    }

private:
    int m_RunTime;
    int m_LeftLed;
    int m_RightLed;
    int m_Bright;
    int m_LightUpTime;
    int m_LightDownTime;
};

// The four LED bytes are signed 8-bit on the wire: a stored 200 goes out as -56 (d0 c8) and
// decoding accepts only -128...127, stored back as 0...255.
class LIBWIRECLASS_EXPORT CEyeLedData
{
public:
    CEyeLedData();
    ~CEyeLedData();
    CEyeLedData(const CEyeLedData &) = default;
    CEyeLedData &operator=(const CEyeLedData &) = default;

    void SetLeftLed(unsigned char n) { m_LeftLed = n; }
    void SetRightLed(unsigned char n) { m_RightLed = n; }
    void SetBright(unsigned char n) { m_Bright = n; }
    void SetColor(unsigned char n) { m_Color = n; }
    void SetLightUpTime(int n) { m_LightUpTime = n; }
    void SetLightDownTime(int n) { m_LightDownTime = n; }
    void SetTotalTime(int n) { m_TotalTime = n; }
    unsigned char GetLeftLed() const { return m_LeftLed; }
    unsigned char GetRightLed() const { return m_RightLed; }
    unsigned char GetBright() const { return m_Bright; }
    unsigned char GetColor() const { return m_Color; }
    int GetLightUpTime() const { return m_LightUpTime; }
    int GetLightDownTime() const { return m_LightDownTime; }
    int GetTotalTime() const { return m_TotalTime; }

    void msgpack_unpack(const msgpack::object &o);
    template <typename Packer> void msgpack_pack(Packer &pk) const
    {
        wire::packFields(pk, wire::SignedByte { m_LeftLed }, wire::SignedByte { m_RightLed },
            wire::SignedByte { m_Bright }, wire::SignedByte { m_Color }, m_LightUpTime,
            m_LightDownTime, m_TotalTime);
    }

private:
    unsigned char m_LeftLed;
    unsigned char m_RightLed;
    unsigned char m_Bright;
    unsigned char m_Color;
    int m_LightUpTime;
    int m_LightDownTime;
    int m_TotalTime;
};
