// The message of a broken internal expectation.
#pragma once

#include <stdexcept>

// A std::logic_error with the message
// "assertion failure (" file ":" line "): " expression; the caller throws it.
std::logic_error assertion_failed(char const* file, int line, char const* expression);

// Throws assertion_failed for this source line when the condition is false.
#define TREMORA_ASSERT(condition) \
    do { \
        if (!(condition)) throw assertion_failed(__FILE__, __LINE__, #condition); \
    } while (false)
