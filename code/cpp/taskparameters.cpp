#include "taskparameters.h"

#include "stringmanipulation.h"

namespace script {

const char* hostFunction(const Parameter& parameter)
{
    if (parameter.direction == Direction::Written) return "zrSetStringParameter";
    switch (parameter.type) {
    case HostType::Float: return "zrGetFloatParameter";
    case HostType::Int: return "zrGetIntParameter";
    case HostType::Text: return "zrGetStringParameter";
    }
    return "";
}

const char* typeName(HostType type)
{
    switch (type) {
    case HostType::Float: return "float";
    case HostType::Int: return "int";
    case HostType::Text: return "text";
    }
    return "";
}

std::string outputFileName(const Parameter& parameter, const std::string& motionSdm)
{
    const std::string suffix = parameter.output;
    if (suffix.empty()) return std::string();
    // A suffix with its own extension replaces the SDM's; any other goes before it.
    return suffix.find('.') != std::string::npos ? addToFileNameNewExtension(motionSdm, suffix)
                                                 : addToFileName(motionSdm, suffix);
}

} // namespace script
