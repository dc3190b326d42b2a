#include "sha256.h"

#ifdef ZEV_HAVE_OPENSSL
#include <openssl/evp.h>
#else
#include <QCryptographicHash>
#endif

#ifdef ZEV_HAVE_OPENSSL

struct Sha256::State
{
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    ~State() { EVP_MD_CTX_free(context); }
};

Sha256::Sha256()
    : m_state(std::make_unique<State>())
{
    reset();
}

void Sha256::reset()
{
    EVP_DigestInit_ex(m_state->context, EVP_sha256(), nullptr);
}

void Sha256::addData(const QByteArray &data)
{
    EVP_DigestUpdate(m_state->context, data.constData(), static_cast<size_t>(data.size()));
}

QByteArray Sha256::hexResult()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_state->context, digest, &length);
    reset();
    return QByteArray(reinterpret_cast<const char *>(digest), static_cast<int>(length)).toHex();
}

#else

struct Sha256::State
{
    QCryptographicHash hash { QCryptographicHash::Sha256 };
};

Sha256::Sha256()
    : m_state(std::make_unique<State>())
{
}

void Sha256::reset()
{
    m_state->hash.reset();
}

void Sha256::addData(const QByteArray &data)
{
    m_state->hash.addData(data);
}

QByteArray Sha256::hexResult()
{
    const QByteArray digest = m_state->hash.result().toHex();
    reset();
    return digest;
}

#endif

Sha256::~Sha256() = default;
