#pragma once

// The robot protocol's message ids, the envelope's MsgID. A request and its reply share an id.
namespace ZEVMsg {

enum Id : int {
    Login = 1,
    FileInfoDownload = 2,
    ActionFileList = 3,
    DeleteActionFile = 4,
    SendActionFile = 5,
    WifiList = 7,
    SetWifi = 8,
    SetMotorAngle = 9,
    ReadMotorAngle = 10,
    Request11 = 11,
    FileInfoDownload12 = 12,
    ActionResourceList = 13,
    FileUpload = 14,
    EarLed = 17,
    Request18 = 18,
    EyeLed = 19,
    Request20 = 20,
    FixedNameFile21 = 21,
    FixedNameFile22 = 22,
    Version33 = 33,
    Version34 = 34,
    PlayMotion = 37,
    Request48 = 48,
    SerialNumber = 52,
};

} // namespace ZEVMsg
