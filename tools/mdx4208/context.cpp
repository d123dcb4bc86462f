#include "context.h"

#include <cctype>
#include <cstdlib>

#include "session.h"

namespace tool {

namespace {

bool StartsWithNoCase(const std::string& text, const std::string& prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(text[i])) != std::toupper(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

struct TypeName {
    uint32_t type;
    const char* name;
    const char* shortName;
};

constexpr TypeName kTypes[] = {
    {0, "REG_NONE", "none"},      {1, "REG_SZ", "sz"},           {2, "REG_EXPAND_SZ", "expand_sz"},
    {3, "REG_BINARY", "binary"},  {4, "REG_DWORD", "dword"},     {7, "REG_MULTI_SZ", "multi_sz"},
    {11, "REG_QWORD", "qword"},
};

}  // namespace

MachineDescription Context::Description() const
{
    return options.machineFile.empty() ? DefaultDescription() : LoadDescription(options.machineFile);
}

std::string Context::StorePath() const
{
    return PrepareStore(StateDirectory(options.stateDir, std::getenv("XDG_STATE_HOME"), std::getenv("HOME")));
}

std::string ResolveKeyPath(const std::string& text)
{
    if (StartsWithNoCase(text, "\\REGISTRY") || StartsWithNoCase(text, "HKEY_"))
        return text;
    std::string relative = text;
    while (!relative.empty() && relative.front() == '\\')
        relative.erase(relative.begin());
    return relative.empty() ? std::string(kServiceKey) : std::string(kServiceKey) + "\\" + relative;
}

std::optional<uint32_t> ParseValueType(const std::string& text)
{
    for (const TypeName& t : kTypes)
        if (StartsWithNoCase(text, t.name) && text.size() == std::char_traits<char>::length(t.name))
            return t.type;
    for (const TypeName& t : kTypes)
        if (StartsWithNoCase(text, t.shortName) && text.size() == std::char_traits<char>::length(t.shortName))
            return t.type;
    return std::nullopt;
}

std::string ValueTypeName(uint32_t type)
{
    for (const TypeName& t : kTypes)
        if (t.type == type)
            return t.name;
    return "type " + std::to_string(type);
}

}  // namespace tool
