// The registry's tree and its locking, shared by the C++ interface, the text
// format and the platform operations. Everything below runs with
// State::mutex held unless it says otherwise.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/nt_registry.h"
#include "registry/sim_registry.h"
#include "registry/registry_store.h"

namespace sim::reg {

// Upper-cases one UTF-16 code unit (ASCII and Latin-1 letters); names are
// compared, and subkeys ordered, by their upper-cased code units.
char16_t Upcase(char16_t c);
std::u16string Upcase(std::u16string_view name);

std::u16string ToUtf16(std::string_view utf8);
std::string ToUtf8(std::u16string_view utf16);

// Current time as the platform counts it: 100 ns units since 1601.
int64_t SystemTime();

struct ValueEntry {
    std::u16string name;
    uint32_t type = REG_NONE;
    std::vector<uint8_t> data;
    uint64_t order = 0;  // values enumerate in the order they were created
};

// A sequence number for a value created now.
uint64_t NextValueOrder();

struct KeyNode {
    std::u16string name;
    int64_t id = 0;  // row in the store; 0 while memory only
    int64_t lastWrite = 0;
    bool deleted = false;
    // Both keyed by the upper-cased name: iteration is enumeration order.
    std::map<std::u16string, std::shared_ptr<KeyNode>> subkeys;
    std::map<std::u16string, ValueEntry> values;
};
using NodePtr = std::shared_ptr<KeyNode>;

// A key's values in enumeration order.
std::vector<const ValueEntry*> OrderedValues(const KeyNode& key);

// Splits a path at backslashes. Returns false on an empty component.
bool SplitPath(std::u16string_view path, std::vector<std::u16string_view>* components);

}  // namespace sim::reg

namespace sim {

struct Registry::State {
    mutable std::mutex mutex;
    reg::NodePtr root;  // "\REGISTRY"
    std::unique_ptr<reg::Store> store;
    // Kernel key handles: the handle value names an open key node.
    std::map<uintptr_t, reg::NodePtr> handles;
    uintptr_t nextHandle = 0x80000004;

    // Walks `components` down from `from`. A missing last component is
    // created when `create` is set; a missing earlier one fails with
    // STATUS_OBJECT_PATH_NOT_FOUND, a missing last one (not created) with
    // STATUS_OBJECT_NAME_NOT_FOUND.
    NTSTATUS Walk(const reg::NodePtr& from, const std::vector<std::u16string_view>& components,
                  bool create, reg::NodePtr* out, bool* created = nullptr);
    // Resolves "\REGISTRY\..." from the root.
    NTSTATUS WalkAbsolute(std::u16string_view path, bool create, reg::NodePtr* out,
                          bool* created = nullptr);

    NTSTATUS AddSubkey(const reg::NodePtr& parent, std::u16string_view name, reg::NodePtr* out);
    NTSTATUS PutValue(const reg::NodePtr& key, std::u16string_view name, uint32_t type,
                      const uint8_t* data, size_t length);
    NTSTATUS RemoveValue(const reg::NodePtr& key, std::u16string_view name, bool* removed);
    NTSTATUS RemoveSubkeyTree(const reg::NodePtr& parent, std::u16string_view name, bool* removed);
    static const reg::ValueEntry* FindValue(const reg::KeyNode& key, std::u16string_view name);

    uintptr_t OpenHandle(reg::NodePtr node);
    void CloseHandle(uintptr_t handle);
    reg::NodePtr NodeOfHandle(uintptr_t handle) const;

    // A fresh tree, written to the store if there is one.
    void ResetTree();
    // Creates the keys every machine has where they are missing.
    void EnsureSkeleton();
    // Replaces the tree with the store's; old nodes are marked deleted.
    void ReloadFromStore();
};

}  // namespace sim
