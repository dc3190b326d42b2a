#pragma once

#include <QByteArray>

#include <memory>

// Incremental SHA-256. Uses OpenSSL's libcrypto where the build found it (several times faster
// than Qt's own code on CPUs with SHA instructions), Qt's QCryptographicHash otherwise.
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    void reset();
    void addData(const QByteArray &data);
    // Lower-case hexadecimal digest of everything added since the last reset.
    QByteArray hexResult();

private:
    struct State;
    std::unique_ptr<State> m_state;
};
