#include "stringmanipulation.h"

#include <cstdio>

namespace {

constexpr const char* separators = "/\\";

} // namespace

std::string getPath(const std::string& name)
{
    const auto separator = name.find_last_of(separators);
    if (separator == std::string::npos) return std::string();
    return name.substr(0, separator + 1);
}

std::string getFileName(const std::string& name)
{
    const auto separator = name.find_last_of(separators);
    if (separator == std::string::npos) return name;
    return name.substr(separator + 1);
}

std::string removeExtension(const std::string& name)
{
    return name.substr(0, name.rfind('.'));
}

std::string getPartAfterLastUnderscore(const std::string& name)
{
    const auto underscore = name.rfind('_');
    if (underscore == std::string::npos) return name;
    return name.substr(underscore + 1);
}

std::string addToFileName(const std::string& name, const std::string& addition)
{
    // Without a dot the tail starts at npos, past the end: substr throws std::out_of_range.
    const auto dot = name.rfind('.');
    return name.substr(0, dot) + addition + name.substr(dot);
}

std::string addToFileNameNewExtension(const std::string& name, const std::string& addition)
{
    return removeExtension(name) + addition;
}

std::string replacePath(const std::string& name, const std::string& newPath)
{
    return newPath + getFileName(name);
}

std::string replaceExtension(const std::string& name, const std::string& extension)
{
    return removeExtension(name) + "." + extension;
}

std::string extractPartBetweenQuotes(const std::string& text)
{
    const auto open = text.find('"');
    if (open == std::string::npos) return std::string();
    const auto close = text.find('"', open + 1);
    if (close == std::string::npos) return text.substr(open + 1);
    return text.substr(open + 1, close - open - 1);
}

std::string getLastCharacters(const std::string& text, unsigned int count)
{
    if (count >= text.size()) return text;
    return text.substr(text.size() - count);
}

std::string removeEnclosingWhiteSpaces(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return text;
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

bool hasExtension(const std::string& name, const std::string& extension)
{
    const std::string ending = "." + extension;
    if (name.size() < ending.size()) return false;
    return name.compare(name.size() - ending.size(), ending.size(), ending) == 0;
}

std::string joined(const std::vector<std::string>& words, const char* separator)
{
    std::string text;
    for (std::size_t k = 0; k < words.size(); ++k) text += (k == 0 ? "" : separator) + words[k];
    return text;
}

std::string fixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value + 0.0);
    return text;
}
