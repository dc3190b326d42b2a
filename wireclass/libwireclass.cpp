#include "libwireclass.h"

LibWireClass::LibWireClass() = default;

LibWireClass &LibWireClass::operator=(const LibWireClass &) = default;
