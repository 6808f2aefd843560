#include "assertion.h"

#include <string>

std::logic_error assertion_failed(char const* file, int line, char const* expression)
{
    return std::logic_error(std::string("assertion failure (") + file + ":" + std::to_string(line) + "): " +
                            expression);
}
