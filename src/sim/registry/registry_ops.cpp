// The registry operations of the platform surface: framework key objects and
// their values, subkey enumeration by kernel handle, and table queries.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "kernel/irql.h"
#include "kernel/pool.h"
#include "platform/nt_registry.h"
#include "registry/sim_registry.h"
#include "registry/registry_tree.h"
#include "verifier/verifier.h"
#include "wdf/framework.h"
#include "wdf/objects.h"

namespace sim {
namespace {

using reg::NodePtr;

constexpr ULONG kKeyBasicFixedPart = offsetof(KEY_BASIC_INFORMATION, Name);

Registry::State& TheState() { return Registry::Instance().state(); }

// A WDFKEY: a framework object holding one kernel key handle.
class KeyObject : public wdf::Object {
public:
    KeyObject(wdf::Object* parent, const WDF_OBJECT_ATTRIBUTES* attributes, uintptr_t handle)
        : Object(wdf::Kind::Key, parent, attributes), handle_(handle)
    {
        ++ThisThreadResources().registryKeys;
    }
    uintptr_t kernelHandle() const { return handle_; }

protected:
    void OnDelete() override
    {
        --ThisThreadResources().registryKeys;
        auto& state = TheState();
        std::lock_guard<std::mutex> lock(state.mutex);
        state.CloseHandle(handle_);
    }

private:
    uintptr_t handle_;
};

bool CountedName(PCUNICODE_STRING name, std::u16string* out)
{
    if (!name || name->Length % 2 || name->Length > name->MaximumLength ||
        (name->Length && !name->Buffer))
        return false;
    out->assign(name->Buffer, name->Length / 2);
    return true;
}

// The key a WDFKEY has open; null (and a status) when it is gone.
NodePtr NodeOfKey(KeyObject* key, NTSTATUS* status)
{
    auto& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    NodePtr node = state.NodeOfHandle(key->kernelHandle());
    *status = !node ? STATUS_INVALID_HANDLE : node->deleted ? STATUS_KEY_DELETED : STATUS_SUCCESS;
    return NT_SUCCESS(*status) ? node : nullptr;
}

NTSTATUS OpenKeyObject(const char* routine, WDFKEY ParentKey, PCUNICODE_STRING KeyName,
                       PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key, bool create,
                       PULONG CreateDisposition)
{
    CheckIrql(routine, kPassive);
    if (!Key || !wdf::CheckAttributes(KeyAttributes, routine))
        return STATUS_INVALID_PARAMETER;
    *Key = nullptr;
    std::u16string name;
    if (!CountedName(KeyName, &name))
        return STATUS_INVALID_PARAMETER;
    if (Verifier::Instance().Inject(routine) != Verifier::FaultKind::None)
        return STATUS_INSUFFICIENT_RESOURCES;

    NodePtr from;
    if (ParentKey) {
        auto* parent = wdf::ResolveAs<KeyObject>(ParentKey, wdf::Kind::Key, routine);
        if (!parent)
            return STATUS_INVALID_HANDLE;
        NTSTATUS status;
        from = NodeOfKey(parent, &status);
        if (!from)
            return status;
    }
    wdf::Object* owner = KeyAttributes && KeyAttributes->ParentObject
                             ? wdf::ResolveAny(KeyAttributes->ParentObject, routine)
                             : wdf::CurrentDriver();
    if (KeyAttributes && KeyAttributes->ParentObject && !owner)
        return STATUS_INVALID_HANDLE;

    auto& state = TheState();
    uintptr_t handle;
    bool created = false;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        NodePtr node;
        NTSTATUS status;
        if (from) {
            std::vector<std::u16string_view> components;
            if (!name.empty() && name[0] == u'\\')
                return STATUS_OBJECT_NAME_INVALID;
            if (!reg::SplitPath(name, &components))
                return STATUS_OBJECT_NAME_INVALID;
            status = state.Walk(from, components, create, &node, &created);
        } else {
            status = state.WalkAbsolute(name, create, &node, &created);
        }
        if (!NT_SUCCESS(status))
            return status;
        handle = state.OpenHandle(node);
    }
    if (CreateDisposition)
        *CreateDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *Key = reinterpret_cast<WDFKEY>(new KeyObject(owner, KeyAttributes, handle));
    return STATUS_SUCCESS;
}

// Raising or failing on the value calls, as fault injection asks.
NTSTATUS InjectValueFault(const char* routine)
{
    switch (Verifier::Instance().Inject(routine)) {
    case Verifier::FaultKind::Raise: throw RaisedException{STATUS_ACCESS_VIOLATION};
    case Verifier::FaultKind::Fail: return STATUS_INSUFFICIENT_RESOURCES;
    case Verifier::FaultKind::None: break;
    }
    return STATUS_SUCCESS;
}

// ---- table queries ------------------------------------------------------------------

// What one table entry reads: a stored value or the entry's default.
struct QueriedValue {
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

std::optional<QueriedValue> Snapshot(const NodePtr& key, std::u16string_view name)
{
    auto& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    const reg::ValueEntry* value = Registry::State::FindValue(*key, name);
    if (!value)
        return std::nullopt;
    return QueriedValue{value->type, value->data};
}

std::vector<reg::ValueEntry> AllValues(const NodePtr& key)
{
    auto& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    std::vector<reg::ValueEntry> values;
    for (const reg::ValueEntry* value : reg::OrderedValues(*key))
        values.push_back(*value);
    return values;
}

// Without TYPECHECK the whole DefaultType is the default's type; with it the
// top byte is the expected type and the rest the default's.
ULONG DefaultTypeOf(const RTL_QUERY_REGISTRY_TABLE& entry)
{
    return entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK
               ? entry.DefaultType & ((1u << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) - 1)
               : entry.DefaultType;
}

// The entry's default, or nothing for REG_NONE. A string default of length
// 0 is measured, as the platform does.
std::optional<QueriedValue> DefaultOf(const RTL_QUERY_REGISTRY_TABLE& entry)
{
    ULONG type = DefaultTypeOf(entry);
    if (type == REG_NONE || !entry.DefaultData)
        return std::nullopt;
    size_t length = entry.DefaultLength;
    const auto* chars = static_cast<const char16_t*>(entry.DefaultData);
    if (length == 0 && (type == REG_SZ || type == REG_EXPAND_SZ)) {
        length = (std::char_traits<char16_t>::length(chars) + 1) * 2;
    } else if (length == 0 && type == REG_MULTI_SZ) {
        size_t n = 0;
        while (chars[n] || chars[n + 1])
            ++n;
        length = (n + 2) * 2;
    } else if (type == REG_DWORD) {
        length = sizeof(ULONG);
    }
    const auto* bytes = static_cast<const uint8_t*>(entry.DefaultData);
    return QueriedValue{type, std::vector<uint8_t>(bytes, bytes + length)};
}

NTSTATUS QueryDirect(const RTL_QUERY_REGISTRY_TABLE& entry, const NodePtr& key)
{
    std::u16string name(entry.Name);
    std::optional<QueriedValue> value = Snapshot(key, name);
    if (value && entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK &&
        value->type != entry.DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT)
        return STATUS_OBJECT_TYPE_MISMATCH;
    if (!value) {
        if (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        value = DefaultOf(entry);
        if (!value)
            return STATUS_SUCCESS;
    }
    if (value->type == REG_DWORD && value->data.size() <= sizeof(ULONG)) {
        if (!value->data.empty())
            std::memcpy(entry.EntryContext, value->data.data(), value->data.size());
        return STATUS_SUCCESS;
    }
    // Anything else would be written through EntryContext with a layout of
    // its own (a counted string, a sized buffer), past the 32-bit target the
    // caller gave.
    Verifier::Instance().Report(
        rule::kRegistryDirectOverrun, "RtlQueryRegistryValues", reg::ToUtf8(name),
        "direct query of a value of type " + std::to_string(value->type) + " (" +
            std::to_string(value->data.size()) +
            " bytes) into a 32-bit target; RTL_QUERY_REGISTRY_TYPECHECK would refuse it");
    return STATUS_SUCCESS;
}

NTSTATUS CallRoutine(const RTL_QUERY_REGISTRY_TABLE& entry, std::u16string name,
                     QueriedValue value, PVOID Context)
{
    name.push_back(u'\0');
    auto call = [&](ULONG type, uint8_t* data, size_t length) {
        CallbackFrame frame("QueryRoutine", &entry);
        return entry.QueryRoutine(name.data(), type, data, static_cast<ULONG>(length), Context,
                                  entry.EntryContext);
    };
    // A multi-string reaches the routine one string at a time.
    if (value.type == REG_MULTI_SZ && !(entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND)) {
        value.data.resize(value.data.size() / 2 * 2);
        value.data.insert(value.data.end(), {0, 0, 0, 0});
        size_t offset = 0;
        while (value.data[offset] || value.data[offset + 1]) {
            size_t end = offset;
            while (value.data[end] || value.data[end + 1])
                end += 2;
            NTSTATUS status = call(REG_SZ, value.data.data() + offset, end + 2 - offset);
            if (!NT_SUCCESS(status))
                return status;
            offset = end + 2;
            if (offset + 1 >= value.data.size())
                break;
        }
        return STATUS_SUCCESS;
    }
    return call(value.type, value.data.data(), value.data.size());
}

NTSTATUS QueryWithRoutine(const RTL_QUERY_REGISTRY_TABLE& entry, const NodePtr& key,
                          bool allValues, PVOID Context)
{
    const bool required = entry.Flags & RTL_QUERY_REGISTRY_REQUIRED;
    if (allValues) {
        std::vector<reg::ValueEntry> values = AllValues(key);
        if (values.empty() && required)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        for (auto& value : values) {
            NTSTATUS status = CallRoutine(entry, value.name, {value.type, std::move(value.data)},
                                          Context);
            if (!NT_SUCCESS(status))
                return status;
        }
        return STATUS_SUCCESS;
    }
    std::u16string name(entry.Name);
    std::optional<QueriedValue> value = Snapshot(key, name);
    if (!value) {
        if (required)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        value = DefaultOf(entry);
        if (!value)
            return STATUS_SUCCESS;
    }
    return CallRoutine(entry, std::move(name), std::move(*value), Context);
}

bool EndOfTable(const RTL_QUERY_REGISTRY_TABLE& entry)
{
    return !entry.QueryRoutine && !entry.Name && entry.Flags == 0;
}

}  // namespace
}  // namespace sim

using namespace sim;

// ---- framework keys ---------------------------------------------------------------------

NTSTATUS NTAPI WdfRegistryOpenKey(WDFKEY ParentKey, PCUNICODE_STRING KeyName,
                                  ACCESS_MASK DesiredAccess, PWDF_OBJECT_ATTRIBUTES KeyAttributes,
                                  WDFKEY* Key)
{
    return OpenKeyObject("WdfRegistryOpenKey", ParentKey, KeyName, KeyAttributes, Key, false,
                         nullptr);
}

NTSTATUS NTAPI WdfRegistryCreateKey(WDFKEY ParentKey, PCUNICODE_STRING KeyName,
                                    ACCESS_MASK DesiredAccess, ULONG CreateOptions,
                                    PULONG CreateDisposition,
                                    PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key)
{
    if (CreateOptions != REG_OPTION_NON_VOLATILE)
        return STATUS_INVALID_PARAMETER;
    return OpenKeyObject("WdfRegistryCreateKey", ParentKey, KeyName, KeyAttributes, Key, true,
                         CreateDisposition);
}

VOID NTAPI WdfRegistryClose(WDFKEY Key)
{
    CheckIrql("WdfRegistryClose", kPassive, Key);
    if (auto* key = wdf::Resolve(Key, wdf::Kind::Key, "WdfRegistryClose"))
        wdf::Object::Delete(key);
}

HANDLE NTAPI WdfRegistryWdmGetHandle(WDFKEY Key)
{
    CheckIrql("WdfRegistryWdmGetHandle", kPassive, Key);
    auto* key = wdf::ResolveAs<KeyObject>(Key, wdf::Kind::Key, "WdfRegistryWdmGetHandle");
    return key ? reinterpret_cast<HANDLE>(key->kernelHandle()) : nullptr;
}

NTSTATUS NTAPI WdfRegistryQueryValue(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueLength,
                                     PVOID Value, PULONG ValueLengthQueried, PULONG ValueType)
{
    constexpr const char* kRoutine = "WdfRegistryQueryValue";
    CheckIrql(kRoutine, kPassive, Key);
    auto* key = wdf::ResolveAs<KeyObject>(Key, wdf::Kind::Key, kRoutine);
    if (!key)
        return STATUS_INVALID_HANDLE;
    // The name may live in the buffer that receives the data: it is taken,
    // and the value found, before any data byte is written.
    std::u16string name;
    if (!CountedName(ValueName, &name) || (ValueLength && !Value))
        return STATUS_INVALID_PARAMETER;
    if (NTSTATUS fault = InjectValueFault(kRoutine); !NT_SUCCESS(fault))
        return fault;
    NTSTATUS status;
    NodePtr node = NodeOfKey(key, &status);
    if (!node)
        return status;
    std::optional<QueriedValue> value = Snapshot(node, name);
    if (!value)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    const auto length = static_cast<ULONG>(value->data.size());
    if (length > ValueLength)
        status = STATUS_BUFFER_OVERFLOW;
    else if (length)
        std::memcpy(Value, value->data.data(), length);
    if (ValueLengthQueried)
        *ValueLengthQueried = length;
    if (ValueType)
        *ValueType = value->type;
    return status;
}

NTSTATUS NTAPI WdfRegistryAssignValue(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueType,
                                      ULONG ValueLength, PVOID Value)
{
    constexpr const char* kRoutine = "WdfRegistryAssignValue";
    CheckIrql(kRoutine, kPassive, Key);
    auto* key = wdf::ResolveAs<KeyObject>(Key, wdf::Kind::Key, kRoutine);
    if (!key)
        return STATUS_INVALID_HANDLE;
    std::u16string name;
    if (!CountedName(ValueName, &name) || (ValueLength && !Value))
        return STATUS_INVALID_PARAMETER;
    if (NTSTATUS fault = InjectValueFault(kRoutine); !NT_SUCCESS(fault))
        return fault;
    auto& state = TheState();
    std::lock_guard<std::mutex> lock(state.mutex);
    NodePtr node = state.NodeOfHandle(key->kernelHandle());
    if (!node)
        return STATUS_INVALID_HANDLE;
    return state.PutValue(node, name, ValueType, static_cast<const uint8_t*>(Value), ValueLength);
}

// ---- enumeration ------------------------------------------------------------------------

NTSTATUS NTAPI ZwEnumerateKey(HANDLE KeyHandle, ULONG Index,
                              KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                              ULONG Length, PULONG ResultLength)
{
    CheckIrql("ZwEnumerateKey", kPassive, KeyHandle);
    if (KeyInformationClass != KeyBasicInformation || !ResultLength)
        return STATUS_INVALID_PARAMETER;
    if (Verifier::Instance().ShouldFail("ZwEnumerateKey"))
        return STATUS_INSUFFICIENT_RESOURCES;
    std::u16string name;
    int64_t lastWrite;
    {
        auto& state = TheState();
        std::lock_guard<std::mutex> lock(state.mutex);
        NodePtr node = state.NodeOfHandle(reinterpret_cast<uintptr_t>(KeyHandle));
        if (!node)
            return STATUS_INVALID_HANDLE;
        if (node->deleted)
            return STATUS_KEY_DELETED;
        if (Index >= node->subkeys.size())
            return STATUS_NO_MORE_ENTRIES;
        const reg::KeyNode& subkey = *std::next(node->subkeys.begin(), Index)->second;
        name = subkey.name;
        lastWrite = subkey.lastWrite;
    }
    const auto nameBytes = static_cast<ULONG>(name.size() * 2);
    *ResultLength = kKeyBasicFixedPart + nameBytes;
    if (Length < kKeyBasicFixedPart)
        return STATUS_BUFFER_TOO_SMALL;
    if (!KeyInformation)
        return STATUS_INVALID_PARAMETER;
    // Field by field: the caller's buffer need not be aligned.
    auto* record = static_cast<uint8_t*>(KeyInformation);
    const ULONG titleIndex = 0;
    std::memcpy(record + offsetof(KEY_BASIC_INFORMATION, LastWriteTime), &lastWrite, 8);
    std::memcpy(record + offsetof(KEY_BASIC_INFORMATION, TitleIndex), &titleIndex, 4);
    std::memcpy(record + offsetof(KEY_BASIC_INFORMATION, NameLength), &nameBytes, 4);
    // A name that does not fit is cut where the buffer ends.
    const ULONG copied = std::min(nameBytes, Length - kKeyBasicFixedPart);
    std::memcpy(record + kKeyBasicFixedPart, name.data(), copied);
    return copied < nameBytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

// ---- table queries ----------------------------------------------------------------------

NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                      PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                      PVOID Environment)
{
    CheckIrql("RtlQueryRegistryValues", kPassive);
    if (!Path || !QueryTable || (RelativeTo & ~RTL_REGISTRY_OPTIONAL) != RTL_REGISTRY_ABSOLUTE)
        return STATUS_INVALID_PARAMETER;
    if (Verifier::Instance().ShouldFail("RtlQueryRegistryValues"))
        return STATUS_INSUFFICIENT_RESOURCES;
    auto& state = TheState();
    NodePtr top;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        // Even with RTL_REGISTRY_OPTIONAL a missing key fails the call.
        if (!NT_SUCCESS(state.WalkAbsolute(Path, false, &top)))
            return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    NodePtr current = top;
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable; !EndOfTable(*entry); ++entry) {
        NTSTATUS status = STATUS_SUCCESS;
        if (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
            // Later entries read the named subkey of Path; a routine given
            // here sees every value of it.
            std::vector<std::u16string_view> components;
            if (!entry->Name || !reg::SplitPath(entry->Name, &components))
                return STATUS_INVALID_PARAMETER;
            {
                std::lock_guard<std::mutex> lock(state.mutex);
                if (!NT_SUCCESS(state.Walk(top, components, false, &current)))
                    return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            if (entry->QueryRoutine)
                status = QueryWithRoutine(*entry, current, true, Context);
        } else if (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) {
            if (!entry->Name || !entry->EntryContext)
                return STATUS_INVALID_PARAMETER;
            status = QueryDirect(*entry, current);
        } else if (entry->QueryRoutine) {
            status = QueryWithRoutine(*entry, current, entry->Name == nullptr, Context);
        } else {
            return STATUS_INVALID_PARAMETER;
        }
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}
