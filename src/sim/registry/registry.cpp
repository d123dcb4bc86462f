#include <atomic>
#include <algorithm>
#include "registry/sim_registry.h"

#include <chrono>
#include <cstdio>
#include <unordered_map>

#include "registry/registry_tree.h"
#include "wdf/objects.h"

namespace sim::reg {

uint64_t NextValueOrder()
{
    static std::atomic<uint64_t> next{1};
    return next.fetch_add(1);
}

std::vector<const ValueEntry*> OrderedValues(const KeyNode& key)
{
    std::vector<const ValueEntry*> values;
    for (const auto& entry : key.values)
        values.push_back(&entry.second);
    std::sort(values.begin(), values.end(),
              [](const ValueEntry* a, const ValueEntry* b) { return a->order < b->order; });
    return values;
}

char16_t Upcase(char16_t c)
{
    if (c >= u'a' && c <= u'z')
        return static_cast<char16_t>(c - 0x20);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
        return static_cast<char16_t>(c - 0x20);
    if (c == 0xFF)
        return 0x178;
    return c;
}

std::u16string Upcase(std::u16string_view name)
{
    std::u16string upper(name);
    for (char16_t& c : upper)
        c = Upcase(c);
    return upper;
}

std::u16string ToUtf16(std::string_view utf8)
{
    std::u16string out;
    for (size_t i = 0; i < utf8.size();) {
        auto byte = static_cast<unsigned char>(utf8[i]);
        size_t extra = byte < 0x80 ? 0 : (byte >> 5) == 6 ? 1 : (byte >> 4) == 14 ? 2
                                       : (byte >> 3) == 30 ? 3 : 4;
        if (extra == 4 || (extra > 0 && i + extra >= utf8.size())) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        char32_t code = extra == 0 ? byte : byte & (0x3F >> extra);
        bool valid = true;
        for (size_t k = 1; k <= extra; ++k) {
            auto next = static_cast<unsigned char>(utf8[i + k]);
            valid &= (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3F);
        }
        if (!valid) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        i += extra + 1;
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(code));
        }
    }
    return out;
}

std::string ToUtf8(std::u16string_view utf16)
{
    std::string out;
    for (size_t i = 0; i < utf16.size(); ++i) {
        char32_t code = utf16[i];
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
            utf16[i + 1] < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (utf16[++i] - 0xDC00);
        }
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (code >> 18)));
            out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return out;
}

int64_t SystemTime()
{
    constexpr int64_t kUnixEpochIn1601Units = 116444736000000000LL;
    auto sinceUnix = std::chrono::system_clock::now().time_since_epoch();
    return kUnixEpochIn1601Units +
           std::chrono::duration_cast<std::chrono::nanoseconds>(sinceUnix).count() / 100;
}

bool SplitPath(std::u16string_view path, std::vector<std::u16string_view>* components)
{
    components->clear();
    if (path.empty())
        return true;
    size_t start = 0;
    for (;;) {
        size_t end = path.find(u'\\', start);
        std::u16string_view part = path.substr(start, end == path.npos ? path.npos : end - start);
        if (part.empty())
            return false;
        components->push_back(part);
        if (end == path.npos)
            return true;
        start = end + 1;
    }
}

namespace {

void MarkDeleted(KeyNode& node)
{
    node.deleted = true;
    for (auto& [upname, child] : node.subkeys)
        MarkDeleted(*child);
}

void CollectIds(const KeyNode& node, std::vector<int64_t>* ids)
{
    ids->push_back(node.id);
    for (const auto& [upname, child] : node.subkeys)
        CollectIds(*child, ids);
}

std::string StatusText(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

}  // namespace
}  // namespace sim::reg

namespace sim {

using reg::KeyNode;
using reg::NodePtr;

// ---- the tree ---------------------------------------------------------------------

NTSTATUS Registry::State::Walk(const NodePtr& from,
                               const std::vector<std::u16string_view>& components, bool create,
                               NodePtr* out, bool* created)
{
    if (created)
        *created = false;
    if (from->deleted)
        return STATUS_KEY_DELETED;
    NodePtr node = from;
    for (size_t i = 0; i < components.size(); ++i) {
        auto it = node->subkeys.find(reg::Upcase(components[i]));
        if (it != node->subkeys.end()) {
            node = it->second;
            continue;
        }
        if (i + 1 < components.size())
            return STATUS_OBJECT_PATH_NOT_FOUND;
        if (!create)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        NTSTATUS status = AddSubkey(node, components[i], &node);
        if (!NT_SUCCESS(status))
            return status;
        if (created)
            *created = true;
    }
    *out = node;
    return STATUS_SUCCESS;
}

NTSTATUS Registry::State::WalkAbsolute(std::u16string_view path, bool create, NodePtr* out,
                                       bool* created)
{
    std::vector<std::u16string_view> components;
    if (path.empty() || path[0] != u'\\' || !reg::SplitPath(path.substr(1), &components) ||
        components.empty() || reg::Upcase(components[0]) != u"REGISTRY")
        return STATUS_OBJECT_NAME_INVALID;
    components.erase(components.begin());
    return Walk(root, components, create, out, created);
}

NTSTATUS Registry::State::AddSubkey(const NodePtr& parent, std::u16string_view name, NodePtr* out)
{
    std::u16string upname = reg::Upcase(name);
    int64_t now = reg::SystemTime();
    int64_t id = 0;
    if (store && !store->InsertKey(parent->id, name, upname, now, &id))
        return STATUS_INSUFFICIENT_RESOURCES;
    auto node = std::make_shared<KeyNode>();
    node->name = std::u16string(name);
    node->id = id;
    node->lastWrite = now;
    parent->subkeys[upname] = node;
    parent->lastWrite = now;
    *out = node;
    return STATUS_SUCCESS;
}

NTSTATUS Registry::State::PutValue(const NodePtr& key, std::u16string_view name, uint32_t type,
                                   const uint8_t* data, size_t length)
{
    if (key->deleted)
        return STATUS_KEY_DELETED;
    std::u16string upname = reg::Upcase(name);
    auto existing = key->values.find(upname);
    std::u16string storedName = existing != key->values.end() ? existing->second.name
                                                              : std::u16string(name);
    int64_t now = reg::SystemTime();
    if (store && !store->PutValue(key->id, storedName, upname, type, data, length, now))
        return STATUS_INSUFFICIENT_RESOURCES;
    uint64_t order = existing != key->values.end() ? existing->second.order : reg::NextValueOrder();
    key->values[upname] = reg::ValueEntry{storedName, type, std::vector<uint8_t>(data, data + length), order};
    key->lastWrite = now;
    return STATUS_SUCCESS;
}

NTSTATUS Registry::State::RemoveValue(const NodePtr& key, std::u16string_view name, bool* removed)
{
    *removed = false;
    if (key->deleted)
        return STATUS_KEY_DELETED;
    auto it = key->values.find(reg::Upcase(name));
    if (it == key->values.end())
        return STATUS_SUCCESS;
    int64_t now = reg::SystemTime();
    if (store && !store->DeleteValue(key->id, it->first, now))
        return STATUS_INSUFFICIENT_RESOURCES;
    key->values.erase(it);
    key->lastWrite = now;
    *removed = true;
    return STATUS_SUCCESS;
}

NTSTATUS Registry::State::RemoveSubkeyTree(const NodePtr& parent, std::u16string_view name,
                                           bool* removed)
{
    *removed = false;
    if (parent->deleted)
        return STATUS_KEY_DELETED;
    auto it = parent->subkeys.find(reg::Upcase(name));
    if (it == parent->subkeys.end())
        return STATUS_SUCCESS;
    int64_t now = reg::SystemTime();
    if (store) {
        std::vector<int64_t> ids;
        reg::CollectIds(*it->second, &ids);
        if (!store->DeleteKeys(ids, parent->id, now))
            return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Handles still open on the subtree see STATUS_KEY_DELETED from now on.
    reg::MarkDeleted(*it->second);
    parent->subkeys.erase(it);
    parent->lastWrite = now;
    *removed = true;
    return STATUS_SUCCESS;
}

const reg::ValueEntry* Registry::State::FindValue(const KeyNode& key, std::u16string_view name)
{
    auto it = key.values.find(reg::Upcase(name));
    return it == key.values.end() ? nullptr : &it->second;
}

uintptr_t Registry::State::OpenHandle(NodePtr node)
{
    // Values are never reused, so a closed handle stays invalid.
    uintptr_t handle = nextHandle;
    nextHandle += 4;
    handles[handle] = std::move(node);
    return handle;
}

void Registry::State::CloseHandle(uintptr_t handle) { handles.erase(handle); }

NodePtr Registry::State::NodeOfHandle(uintptr_t handle) const
{
    auto it = handles.find(handle);
    return it == handles.end() ? nullptr : it->second;
}

void Registry::State::ResetTree()
{
    if (root)
        reg::MarkDeleted(*root);
    root = std::make_shared<KeyNode>();
    root->name = u"REGISTRY";
    root->lastWrite = reg::SystemTime();
    if (store && !store->InsertKey(0, root->name, reg::Upcase(root->name), root->lastWrite,
                                   &root->id))
        throw RegistryError("registry store: " + store->lastError());
    EnsureSkeleton();
}

void Registry::State::EnsureSkeleton()
{
    for (std::u16string_view path : {u"MACHINE\\HARDWARE", u"MACHINE\\SOFTWARE",
                                     u"MACHINE\\SYSTEM\\CurrentControlSet\\Control",
                                     u"MACHINE\\SYSTEM\\CurrentControlSet\\Services"}) {
        std::vector<std::u16string_view> components;
        reg::SplitPath(path, &components);
        NodePtr node = root;
        for (auto component : components) {
            if (!NT_SUCCESS(Walk(node, {component}, true, &node)))
                throw RegistryError("registry store: " + (store ? store->lastError() : ""));
        }
    }
}

void Registry::State::ReloadFromStore()
{
    std::vector<reg::StoredKey> keys;
    std::vector<reg::StoredValue> values;
    store->Load(&keys, &values);
    if (keys.empty()) {
        ResetTree();
        return;
    }
    std::unordered_map<int64_t, NodePtr> byId;
    NodePtr loadedRoot;
    for (auto& key : keys) {
        auto node = std::make_shared<KeyNode>();
        node->name = std::move(key.name);
        node->id = key.id;
        node->lastWrite = key.lastWrite;
        if (key.parent == 0) {
            loadedRoot = node;
        } else if (auto parent = byId.find(key.parent); parent != byId.end()) {
            parent->second->subkeys[reg::Upcase(node->name)] = node;
        }
        byId[key.id] = node;
    }
    for (auto& value : values) {
        auto key = byId.find(value.key);
        if (key == byId.end())
            continue;
        std::u16string upname = reg::Upcase(value.name);
        key->second->values[upname] = reg::ValueEntry{std::move(value.name), value.type,
                                                      std::move(value.data), reg::NextValueOrder()};
    }
    if (!loadedRoot)
        throw RegistryError("registry store: no root key");
    if (root)
        reg::MarkDeleted(*root);
    root = loadedRoot;
    EnsureSkeleton();
}

// ---- values -----------------------------------------------------------------------

RegValue RegValue::Dword(uint32_t value)
{
    return {REG_DWORD, {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)}};
}

namespace {

void AppendUtf16(std::vector<uint8_t>* bytes, std::u16string_view text)
{
    for (char16_t c : text) {
        bytes->push_back(static_cast<uint8_t>(c));
        bytes->push_back(static_cast<uint8_t>(c >> 8));
    }
    bytes->push_back(0);
    bytes->push_back(0);
}

}  // namespace

RegValue RegValue::String(const std::string& utf8)
{
    RegValue value{REG_SZ, {}};
    AppendUtf16(&value.data, reg::ToUtf16(utf8));
    return value;
}

RegValue RegValue::Binary(std::vector<uint8_t> bytes) { return {REG_BINARY, std::move(bytes)}; }

RegValue RegValue::MultiString(const std::vector<std::string>& utf8)
{
    RegValue value{REG_MULTI_SZ, {}};
    for (const auto& text : utf8)
        AppendUtf16(&value.data, reg::ToUtf16(text));
    AppendUtf16(&value.data, u"");
    return value;
}

// ---- the C++ interface --------------------------------------------------------------

namespace {

// "\REGISTRY\..." or "HKEY_LOCAL_MACHINE\..." as the absolute path from the root.
std::u16string ApiPath(const std::string& path)
{
    std::u16string wide = reg::ToUtf16(path);
    constexpr std::u16string_view kMachineRoot = u"HKEY_LOCAL_MACHINE";
    if (reg::Upcase(wide.substr(0, kMachineRoot.size())) == kMachineRoot &&
        (wide.size() == kMachineRoot.size() || wide[kMachineRoot.size()] == u'\\'))
        return u"\\REGISTRY\\MACHINE" + wide.substr(kMachineRoot.size());
    return wide;
}

void Check(NTSTATUS status, const std::string& what, const std::string& path)
{
    if (!NT_SUCCESS(status))
        throw RegistryError(what + " " + path + ": status " + reg::StatusText(status));
}

// Splits off the last component; false for the root itself.
bool SplitLast(const std::u16string& path, std::u16string* parent, std::u16string* name)
{
    size_t slash = path.rfind(u'\\');
    if (slash == path.npos || slash == 0)
        return false;
    *parent = path.substr(0, slash);
    *name = path.substr(slash + 1);
    return true;
}

}  // namespace

Registry& Registry::Instance()
{
    static auto* registry = new Registry();
    return *registry;
}

Registry::Registry() : state_(std::make_unique<State>()) { state_->ResetTree(); }

void Registry::OpenStore(const std::string& sqlitePath)
{
    auto store = std::make_unique<reg::Store>(sqlitePath);
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->store = std::move(store);
    try {
        state_->ReloadFromStore();
    } catch (...) {
        state_->store.reset();
        throw;
    }
}

void Registry::CloseStore()
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->store.reset();
}

void Registry::UseMemoryOnly()
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->store.reset();
    state_->ResetTree();
}

bool Registry::HasStore() const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->store != nullptr;
}

void Registry::CreateKey(const std::string& path)
{
    std::u16string wide = ApiPath(path);
    std::u16string_view rest(wide);
    std::vector<std::u16string_view> components;
    if (rest.empty() || rest[0] != u'\\' || !reg::SplitPath(rest.substr(1), &components))
        Check(STATUS_OBJECT_NAME_INVALID, "create key", path);
    std::lock_guard<std::mutex> lock(state_->mutex);
    // Component by component: each walk creates at most the last one.
    std::u16string prefix;
    NodePtr node;
    for (auto component : components) {
        prefix += u'\\';
        prefix += component;
        Check(state_->WalkAbsolute(prefix, true, &node), "create key", path);
    }
}

bool Registry::KeyExists(const std::string& path) const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    NodePtr node;
    return NT_SUCCESS(state_->WalkAbsolute(ApiPath(path), false, &node));
}

bool Registry::DeleteKey(const std::string& path)
{
    std::u16string parentPath, name;
    if (!SplitLast(ApiPath(path), &parentPath, &name))
        Check(STATUS_OBJECT_NAME_INVALID, "delete key", path);
    std::lock_guard<std::mutex> lock(state_->mutex);
    NodePtr parent;
    if (!NT_SUCCESS(state_->WalkAbsolute(parentPath, false, &parent)))
        return false;
    bool removed = false;
    Check(state_->RemoveSubkeyTree(parent, name, &removed), "delete key", path);
    return removed;
}

std::vector<std::string> Registry::Subkeys(const std::string& path) const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    NodePtr node;
    Check(state_->WalkAbsolute(ApiPath(path), false, &node), "list subkeys of", path);
    std::vector<std::string> names;
    for (const auto& [upname, child] : node->subkeys)
        names.push_back(reg::ToUtf8(child->name));
    return names;
}

void Registry::SetValue(const std::string& path, const std::string& name, const RegValue& value)
{
    CreateKey(path);
    std::lock_guard<std::mutex> lock(state_->mutex);
    NodePtr node;
    Check(state_->WalkAbsolute(ApiPath(path), false, &node), "set value in", path);
    Check(state_->PutValue(node, reg::ToUtf16(name), value.type, value.data.data(),
                           value.data.size()),
          "set value in", path);
}

std::optional<RegValue> Registry::GetValue(const std::string& path, const std::string& name) const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    NodePtr node;
    if (!NT_SUCCESS(state_->WalkAbsolute(ApiPath(path), false, &node)))
        return std::nullopt;
    const reg::ValueEntry* value = State::FindValue(*node, reg::ToUtf16(name));
    if (!value)
        return std::nullopt;
    return RegValue{value->type, value->data};
}

bool Registry::DeleteValue(const std::string& path, const std::string& name)
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    NodePtr node;
    if (!NT_SUCCESS(state_->WalkAbsolute(ApiPath(path), false, &node)))
        return false;
    bool removed = false;
    Check(state_->RemoveValue(node, reg::ToUtf16(name), &removed), "delete value in", path);
    return removed;
}

std::vector<std::string> Registry::ValueNames(const std::string& path) const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    NodePtr node;
    Check(state_->WalkAbsolute(ApiPath(path), false, &node), "list values of", path);
    std::vector<std::string> names;
    for (const reg::ValueEntry* value : reg::OrderedValues(*node))
        names.push_back(reg::ToUtf8(value->name));
    return names;
}

size_t Registry::OpenHandleCount() const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->handles.size();
}

size_t OpenRegistryKeyCount() { return wdf::LiveObjectCount(wdf::Kind::Key); }

}  // namespace sim
