#pragma once

#include <QString>

class IZEVSocketSessionEvent;

// What the dispatch needs from its session.
class DispatchHost
{
public:
    virtual IZEVSocketSessionEvent *sink() const = 0;
    virtual void acceptLogin() = 0;
    virtual QString lastFilePath() const = 0;
    virtual void requestActionFileList() = 0;

protected:
    ~DispatchHost() = default;
};

// Decodes one frame payload (the envelope [id, payload bytes]) and raises the event of its id.
// A payload that does not decode is dropped with its reason in *error and nothing raised; no
// decoding error leaves this function.
bool dispatchPayload(const char *data, int size, DispatchHost &host, QString *error);

// The robot's serial number up to its first '#'.
QString cleanSerialNumber(const QString &serial);
