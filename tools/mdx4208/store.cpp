#include "store.h"

#include <filesystem>
#include <system_error>

#include "registry/sim_registry.h"
#include "tool_error.h"

namespace tool {

namespace fs = std::filesystem;

std::string StateDirectory(const std::string& option, const char* xdgStateHome, const char* home)
{
    if (!option.empty())
        return option;
    // Relative values are to be ignored, as the XDG base directory rules say.
    if (xdgStateHome && xdgStateHome[0] == '/')
        return (fs::path(xdgStateHome) / "mdx4208").string();
    if (home && home[0])
        return (fs::path(home) / ".local" / "state" / "mdx4208").string();
    throw BadInput("no state directory: neither XDG_STATE_HOME nor HOME is set; give --state DIR");
}

std::string PrepareStore(const std::string& directory)
{
    std::error_code error;
    fs::path dir(directory);
    if (fs::exists(dir, error) && !fs::is_directory(dir, error))
        throw BadInput(directory + ": the state directory exists but is not a directory");
    fs::create_directories(dir, error);
    if (error)
        throw BadInput(directory + ": cannot create the state directory: " + error.message());
    fs::path store = dir / kStoreFileName;
    if (fs::exists(store, error) && !fs::is_regular_file(store, error))
        throw BadInput(store.string() + ": the registry store exists but is not a file");
    return store.string();
}

RegistryStore RegistryStore::File(const std::string& sqlitePath)
{
    try {
        sim::Registry::Instance().OpenStore(sqlitePath);
    } catch (const sim::RegistryError& e) {
        throw BadInput(sqlitePath + ": cannot open the registry store: " + e.what());
    }
    return RegistryStore(sqlitePath);
}

RegistryStore RegistryStore::Memory()
{
    sim::Registry::Instance().UseMemoryOnly();
    return RegistryStore(std::string());
}

RegistryStore::RegistryStore(RegistryStore&& other) noexcept : path_(std::move(other.path_)), open_(other.open_)
{
    other.open_ = false;
}

RegistryStore::~RegistryStore()
{
    if (open_ && !path_.empty())
        sim::Registry::Instance().CloseStore();
}

}  // namespace tool
