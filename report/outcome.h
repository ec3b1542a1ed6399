#pragma once

#include "platform/platform.h"

#include <new>

// Out of memory is no failure of one file, folder or call: the whole mode is cut short, and with
// it the report. Throws std::bad_alloc when result says so; every mode reads outcomes this way.
inline void throwIfOutOfMemory(const SysResult &result)
{
    if (result.kind == SysError::OutOfMemory)
        throw std::bad_alloc();
}
