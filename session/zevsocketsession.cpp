#include "zevsocketsession.h"

#include "czevsocketsessionimpl.h"

#include <new>

bool CreateZEVSocketSession(CIZEVSocketSession **ppSession)
{
    if (!ppSession)
        return false;
    try {
        *ppSession = new CZEVSocketSessionImpl();
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

ZEVSocketSession::ZEVSocketSession() = default;

ZEVSocketSession &ZEVSocketSession::operator=(const ZEVSocketSession &other)
{
    Q_UNUSED(other)
    return *this;
}
