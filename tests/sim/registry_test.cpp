// The simulated registry: names, enumeration order and records, value
// queries, table queries, the string helpers, the text format and the store.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "registry/sim_registry.h"
#include "support/sim_test.h"

namespace {

using sim::Registry;
using sim::RegValue;

constexpr const char* kBase = "\\REGISTRY\\MACHINE\\SOFTWARE";

std::u16string Wide(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

// The counted string points into `text`, which must outlive it.
UNICODE_STRING Counted(const char16_t* text)
{
    UNICODE_STRING counted;
    RtlInitUnicodeString(&counted, text);
    return counted;
}
UNICODE_STRING Counted(const std::u16string& text) { return Counted(text.c_str()); }
UNICODE_STRING Counted(std::u16string&&) = delete;

std::u16string NameOf(const UNICODE_STRING& s) { return std::u16string(s.Buffer, s.Length / 2); }

class RegistryTest : public simtest::SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        Registry::Instance().UseMemoryOnly();
        Registry::Instance().CreateKey(kBase);
    }
    void TearDown() override
    {
        for (WDFKEY key : open_)
            WdfRegistryClose(key);
        EXPECT_EQ(sim::OpenRegistryKeyCount(), 0u);
        EXPECT_EQ(Registry::Instance().OpenHandleCount(), 0u);
        Registry::Instance().UseMemoryOnly();
        SimTest::TearDown();
    }

    NTSTATUS Open(const std::u16string& path, WDFKEY* key, WDFKEY parent = nullptr)
    {
        UNICODE_STRING name = Counted(path);
        NTSTATUS status = WdfRegistryOpenKey(parent, &name, KEY_ALL_ACCESS, nullptr, key);
        if (NT_SUCCESS(status))
            open_.push_back(*key);
        return status;
    }
    NTSTATUS Create(const std::u16string& path, WDFKEY* key, WDFKEY parent = nullptr,
                    ULONG* disposition = nullptr)
    {
        UNICODE_STRING name = Counted(path);
        NTSTATUS status = WdfRegistryCreateKey(parent, &name, KEY_ALL_ACCESS,
                                               REG_OPTION_NON_VOLATILE, disposition, nullptr, key);
        if (NT_SUCCESS(status))
            open_.push_back(*key);
        return status;
    }
    WDFKEY OpenBase()
    {
        WDFKEY key = nullptr;
        EXPECT_EQ(Open(Wide(kBase), &key), STATUS_SUCCESS);
        return key;
    }
    void Close(WDFKEY key)
    {
        std::erase(open_, key);
        WdfRegistryClose(key);
    }
    static NTSTATUS Assign(WDFKEY key, const std::u16string& name, ULONG type,
                           std::vector<uint8_t> data)
    {
        UNICODE_STRING counted = Counted(name);
        return WdfRegistryAssignValue(key, &counted, type, static_cast<ULONG>(data.size()),
                                      data.data());
    }

    std::vector<WDFKEY> open_;
};

// ---- names and keys ---------------------------------------------------------------------

TEST_F(RegistryTest, NamesCompareWithoutCaseAndKeepTheirCase)
{
    WDFKEY key, again;
    ASSERT_EQ(Create(u"\\REGISTRY\\MACHINE\\SOFTWARE\\MixedCase", &key), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"\\registry\\machine\\software\\MIXEDCASE", &again), STATUS_SUCCESS);
    ASSERT_EQ(Assign(key, u"BoardID", REG_DWORD, simtest::Bytes({5})), STATUS_SUCCESS);
    ASSERT_EQ(Assign(again, u"BOARDID", REG_DWORD, simtest::Bytes({6})), STATUS_SUCCESS);

    EXPECT_EQ(Registry::Instance().Subkeys(kBase), std::vector<std::string>{"MixedCase"});
    EXPECT_EQ(Registry::Instance().ValueNames("HKEY_LOCAL_MACHINE\\Software\\mixedcase"),
              std::vector<std::string>{"BoardID"});
    EXPECT_EQ(Registry::Instance().GetValue("\\REGISTRY\\MACHINE\\SOFTWARE\\MixedCase", "boardid"),
              RegValue::Dword(6));
}

TEST_F(RegistryTest, CreateMakesOnlyTheLastComponent)
{
    WDFKEY key, base = OpenBase(), child;
    EXPECT_EQ(Create(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Outer\\Inner", &key),
              STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_FALSE(Registry::Instance().KeyExists("HKEY_LOCAL_MACHINE\\SOFTWARE\\Outer"));
    EXPECT_EQ(Open(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Outer", &key), STATUS_OBJECT_NAME_NOT_FOUND);

    ULONG disposition = 0;
    ASSERT_EQ(Create(u"Outer", &key, base, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG{REG_CREATED_NEW_KEY});
    ASSERT_EQ(Create(u"outer", &key, base, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG{REG_OPENED_EXISTING_KEY});
    ASSERT_EQ(Create(u"Inner", &child, key), STATUS_SUCCESS);
    EXPECT_EQ(Open(u"Outer\\INNER", &child, base), STATUS_SUCCESS);
    // A relative name starting at the root is malformed.
    EXPECT_EQ(Open(u"\\Outer", &child, base), STATUS_OBJECT_NAME_INVALID);
}

TEST_F(RegistryTest, DeletedKeyFailsItsOpenHandles)
{
    WDFKEY key;
    ASSERT_EQ(Create(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Doomed", &key), STATUS_SUCCESS);
    ASSERT_TRUE(Registry::Instance().DeleteKey("\\REGISTRY\\MACHINE\\SOFTWARE\\Doomed"));

    EXPECT_EQ(Assign(key, u"V", REG_DWORD, simtest::Bytes({1})), STATUS_KEY_DELETED);
    UNICODE_STRING name = Counted(u"V");
    EXPECT_EQ(WdfRegistryQueryValue(key, &name, 0, nullptr, nullptr, nullptr), STATUS_KEY_DELETED);
    ULONG length = 0;
    EXPECT_EQ(ZwEnumerateKey(WdfRegistryWdmGetHandle(key), 0, KeyBasicInformation, nullptr, 0,
                             &length),
              STATUS_KEY_DELETED);
    EXPECT_FALSE(Registry::Instance().KeyExists("\\REGISTRY\\MACHINE\\SOFTWARE\\Doomed"));
}

// ---- enumeration --------------------------------------------------------------------------

TEST_F(RegistryTest, SubkeysEnumerateInUpperCasedOrder)
{
    // '_' sorts after the letters once they are upper-cased, before them otherwise.
    for (const char* name : {"b", "_x", "Device010", "A", "device002", "C"})
        Registry::Instance().CreateKey(std::string(kBase) + "\\" + name);
    HANDLE handle = WdfRegistryWdmGetHandle(OpenBase());

    std::vector<std::u16string> names;
    alignas(8) uint8_t buffer[128];
    ULONG length = 0;
    for (ULONG i = 0;; ++i) {
        NTSTATUS status = ZwEnumerateKey(handle, i, KeyBasicInformation, buffer, sizeof buffer,
                                         &length);
        if (status == STATUS_NO_MORE_ENTRIES)
            break;
        ASSERT_EQ(status, STATUS_SUCCESS);
        auto* info = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer);
        names.emplace_back(info->Name, info->NameLength / 2);
    }
    EXPECT_EQ(names, (std::vector<std::u16string>{u"A", u"b", u"C", u"device002", u"Device010",
                                                  u"_x"}));
}

TEST_F(RegistryTest, EnumerationReportsSizesAndCutsNames)
{
    Registry::Instance().CreateKey(std::string(kBase) + "\\Device042");
    WDFKEY base = OpenBase();
    HANDLE handle = WdfRegistryWdmGetHandle(base);
    constexpr ULONG kFull = 16 + 9 * 2;
    const std::u16string name = u"Device042";

    struct Case {
        ULONG length;
        NTSTATUS status;
        ULONG nameBytesWritten;  // ~0: nothing written at all
    };
    for (const Case& c : {Case{0, STATUS_BUFFER_TOO_SMALL, ~0u}, Case{15, STATUS_BUFFER_TOO_SMALL, ~0u},
                          Case{16, STATUS_BUFFER_OVERFLOW, 0}, Case{21, STATUS_BUFFER_OVERFLOW, 5},
                          Case{kFull, STATUS_SUCCESS, 18}}) {
        SCOPED_TRACE(c.length);
        alignas(8) uint8_t buffer[64];
        std::memset(buffer, 0xEE, sizeof buffer);
        ULONG result = 0;
        EXPECT_EQ(ZwEnumerateKey(handle, 0, KeyBasicInformation, buffer, c.length, &result),
                  c.status);
        EXPECT_EQ(result, kFull);
        if (c.nameBytesWritten == ~0u) {
            EXPECT_TRUE(std::all_of(buffer, buffer + sizeof buffer, [](uint8_t b) { return b == 0xEE; }));
            continue;
        }
        auto* info = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer);
        EXPECT_EQ(info->NameLength, 18u);
        EXPECT_EQ(std::memcmp(info->Name, name.data(), c.nameBytesWritten), 0);
        // Nothing past what fits, and no terminator after a whole name.
        EXPECT_EQ(buffer[16 + c.nameBytesWritten], 0xEE);
    }

    ULONG result = 0;
    EXPECT_EQ(ZwEnumerateKey(handle, 1, KeyBasicInformation, nullptr, 0, &result),
              STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(ZwEnumerateKey(reinterpret_cast<HANDLE>(0x1234), 0, KeyBasicInformation, nullptr, 0,
                             &result),
              STATUS_INVALID_HANDLE);
    Close(base);
    EXPECT_EQ(ZwEnumerateKey(handle, 0, KeyBasicInformation, nullptr, 0, &result),
              STATUS_INVALID_HANDLE);
}

// ---- values ------------------------------------------------------------------------------

TEST_F(RegistryTest, QueryReportsLengthAndTypeAndOverflowCopiesNothing)
{
    WDFKEY key = OpenBase();
    const std::vector<uint8_t> data{1, 2, 3, 4, 5, 6};
    ASSERT_EQ(Assign(key, u"Bytes", REG_BINARY, data), STATUS_SUCCESS);
    UNICODE_STRING name = Counted(u"Bytes");

    uint8_t buffer[8];
    std::memset(buffer, 0xEE, sizeof buffer);
    ULONG length = 0, type = 0;
    EXPECT_EQ(WdfRegistryQueryValue(key, &name, 5, buffer, &length, &type), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(type, ULONG{REG_BINARY});
    EXPECT_EQ(buffer[0], 0xEE);

    EXPECT_EQ(WdfRegistryQueryValue(key, &name, sizeof buffer, buffer, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 6), data);
    EXPECT_EQ(buffer[6], 0xEE);

    // A replacement takes exactly the new type and length.
    ASSERT_EQ(Assign(key, u"bytes", REG_DWORD, {9, 0}), STATUS_SUCCESS);
    EXPECT_EQ(WdfRegistryQueryValue(key, &name, sizeof buffer, buffer, &length, &type),
              STATUS_SUCCESS);
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(type, ULONG{REG_DWORD});

    UNICODE_STRING missing = Counted(u"Missing");
    EXPECT_EQ(WdfRegistryQueryValue(key, &missing, sizeof buffer, buffer, &length, &type),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryTest, QueryNameMayLiveInTheDataBuffer)
{
    WDFKEY key = OpenBase();
    const std::u16string text = u"a longer string than the name";
    std::vector<uint8_t> data(reinterpret_cast<const uint8_t*>(text.c_str()),
                              reinterpret_cast<const uint8_t*>(text.c_str() + text.size() + 1));
    ASSERT_EQ(Assign(key, u"Name", REG_SZ, data), STATUS_SUCCESS);

    char16_t buffer[64] = u"Name";
    UNICODE_STRING name{8, 10, buffer};
    ULONG length = 0;
    ASSERT_EQ(WdfRegistryQueryValue(key, &name, sizeof buffer, buffer, &length, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(length, data.size());
    EXPECT_EQ(std::u16string(buffer), text);
}

// ---- fault injection -----------------------------------------------------------------------

TEST_F(RegistryTest, EveryFallibleOperationHonoursInjection)
{
    Registry::Instance().CreateKey(std::string(kBase) + "\\Sub");
    WDFKEY base = OpenBase();
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    struct Case {
        const char* operation;
        std::function<NTSTATUS()> call;
    };
    const std::vector<Case> cases = {
        {"WdfRegistryOpenKey", [&] { WDFKEY k; return Open(u"Sub", &k, base); }},
        {"WdfRegistryCreateKey", [&] { WDFKEY k; return Create(u"New", &k, base); }},
        {"WdfRegistryAssignValue", [&] { return Assign(base, u"V", REG_DWORD, {1, 0, 0, 0}); }},
        {"WdfRegistryQueryValue",
         [&] {
             UNICODE_STRING n = Counted(u"V");
             return WdfRegistryQueryValue(base, &n, 0, nullptr, nullptr, nullptr);
         }},
        {"ZwEnumerateKey",
         [&] {
             ULONG length;
             return ZwEnumerateKey(WdfRegistryWdmGetHandle(base), 0, KeyBasicInformation, nullptr,
                                   0, &length);
         }},
        {"RtlQueryRegistryValues",
         [&] { return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, u"\\REGISTRY\\MACHINE\\SOFTWARE",
                                             table, nullptr, nullptr); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.operation);
        sim::Verifier::Instance().ArmFault(c.operation, 1);
        EXPECT_EQ(c.call(), STATUS_INSUFFICIENT_RESOURCES);
        sim::Verifier::Instance().DisarmFaults();
    }
    EXPECT_FALSE(Registry::Instance().KeyExists(std::string(kBase) + "\\New"));
    EXPECT_FALSE(Registry::Instance().GetValue(kBase, "V"));
}

TEST_F(RegistryTest, ValueCallsRaiseUnderTheGuard)
{
    struct Call {
        WDFKEY key;
        ULONG value;
    } call{OpenBase(), 7};
    for (const char* operation : {"WdfRegistryAssignValue", "WdfRegistryQueryValue"}) {
        SCOPED_TRACE(operation);
        sim::Verifier::Instance().ArmFault(operation, 1, sim::Verifier::FaultKind::Raise);
        NTSTATUS raised = 0;
        BOOLEAN didRaise = KeCallGuarded(
            [](PVOID context) {
                auto* c = static_cast<Call*>(context);
                UNICODE_STRING name;
                RtlInitUnicodeString(&name, u"V");
                WdfRegistryAssignValue(c->key, &name, REG_DWORD, 4, &c->value);
                WdfRegistryQueryValue(c->key, &name, 4, &c->value, nullptr, nullptr);
            },
            &call, &raised);
        sim::Verifier::Instance().DisarmFaults();
        EXPECT_TRUE(didRaise);
        EXPECT_EQ(raised, STATUS_ACCESS_VIOLATION);
    }
}

// ---- table queries -------------------------------------------------------------------------

class QueryTableTest : public RegistryTest {
protected:
    void SetUp() override
    {
        RegistryTest::SetUp();
        const std::string device = std::string(kBase) + "\\Device007";
        Registry::Instance().SetValue(device, "ProductID", RegValue::Dword(0x88));
        Registry::Instance().SetValue(device, "BoardID", RegValue::Binary({3, 0, 0, 0}));
    }
    // SUBKEY Device007, then one direct entry for `name` into `target`.
    NTSTATUS QueryDirect(const char16_t* name, ULONG* target, ULONG flags = 0,
                         ULONG defaultType = REG_DWORD, ULONG* defaultData = nullptr)
    {
        RTL_QUERY_REGISTRY_TABLE table[3] = {};
        table[0].Flags = RTL_QUERY_REGISTRY_SUBKEY;
        table[0].Name = const_cast<PWSTR>(u"Device007");
        table[1].Flags = RTL_QUERY_REGISTRY_DIRECT | flags;
        table[1].Name = const_cast<PWSTR>(name);
        table[1].EntryContext = target;
        table[1].DefaultType = defaultType;
        table[1].DefaultData = defaultData ? defaultData : target;
        table[1].DefaultLength = sizeof(ULONG);
        return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL,
                                      u"\\REGISTRY\\MACHINE\\SOFTWARE", table, nullptr, nullptr);
    }
};

TEST_F(QueryTableTest, DirectDwordAndDefaults)
{
    ULONG product = 0, slot = 0, fallback = 77;
    EXPECT_EQ(QueryDirect(u"ProductID", &product), STATUS_SUCCESS);
    EXPECT_EQ(product, 0x88u);
    EXPECT_EQ(QueryDirect(u"SlotNumber", &slot, 0, REG_DWORD, &fallback), STATUS_SUCCESS);
    EXPECT_EQ(slot, 77u);

    ULONG untouched = 5;
    EXPECT_EQ(QueryDirect(u"SlotNumber", &untouched, 0, REG_NONE), STATUS_SUCCESS);
    EXPECT_EQ(untouched, 5u);
    EXPECT_EQ(QueryDirect(u"SlotNumber", &untouched, RTL_QUERY_REGISTRY_REQUIRED),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(untouched, 5u);
}

TEST_F(QueryTableTest, DirectValueOfAnotherType)
{
    ULONG board = 5;
    EXPECT_EQ(simtest::CountViolations(sim::rule::kRegistryDirectOverrun,
                                       [&] { EXPECT_EQ(QueryDirect(u"BoardID", &board), STATUS_SUCCESS); }),
              1u);
    EXPECT_EQ(board, 5u);

    const ULONG expectDword = REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT | REG_DWORD;
    EXPECT_EQ(simtest::CountViolations(sim::rule::kRegistryDirectOverrun,
                                       [&] {
                                           EXPECT_EQ(QueryDirect(u"BoardID", &board,
                                                                 RTL_QUERY_REGISTRY_TYPECHECK,
                                                                 expectDword),
                                                     STATUS_OBJECT_TYPE_MISMATCH);
                                       }),
              0u);
    EXPECT_EQ(board, 5u);
    ULONG product = 0;
    EXPECT_EQ(QueryDirect(u"ProductID", &product, RTL_QUERY_REGISTRY_TYPECHECK, expectDword),
              STATUS_SUCCESS);
    EXPECT_EQ(product, 0x88u);
}

TEST_F(QueryTableTest, MissingKeysFailEvenWhenOptional)
{
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_SUBKEY;
    table[0].Name = const_cast<PWSTR>(u"Device008");
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL,
                                     u"\\REGISTRY\\MACHINE\\SOFTWARE", table, nullptr, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL,
                                     u"\\REGISTRY\\MACHINE\\NoSuchKey", table + 1, nullptr, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(QueryTableTest, RoutineEntriesSeeTheValueAndBothContexts)
{
    struct Seen {
        std::u16string name;
        ULONG type = 0;
        std::vector<uint8_t> data;
        PVOID entryContext = nullptr;
    } seen;
    int entryContext = 0;
    RTL_QUERY_REGISTRY_TABLE table[3] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_SUBKEY;
    table[0].Name = const_cast<PWSTR>(u"Device007");
    table[1].QueryRoutine = [](PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context,
                               PVOID entryContext) -> NTSTATUS {
        auto* s = static_cast<Seen*>(context);
        s->name = name;
        s->type = type;
        s->data.assign(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + length);
        s->entryContext = entryContext;
        return STATUS_SUCCESS;
    };
    table[1].Name = const_cast<PWSTR>(u"productid");
    table[1].EntryContext = &entryContext;
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, u"\\REGISTRY\\MACHINE\\SOFTWARE", table,
                                     &seen, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(seen.name, u"productid");
    EXPECT_EQ(seen.type, ULONG{REG_DWORD});
    EXPECT_EQ(seen.data, RegValue::Dword(0x88).data);
    EXPECT_EQ(seen.entryContext, &entryContext);
}

// ---- string helpers ------------------------------------------------------------------------

TEST(RtlStrings, BoundedFormatter)
{
    char16_t out[64];
    EXPECT_EQ(RtlStringCbPrintfW(out, 63, u"Device%03d", 7), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(out), u"Device007");
    EXPECT_EQ(RtlStringCbPrintfW(out, 63, u"Device%03d", 1023), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(out), u"Device1023");
    EXPECT_EQ(RtlStringCbPrintfW(out, sizeof out, u"%s,BID#%d|%ws|%u|%-3d|%5d|%%", u"MDX", -4,
                                 u"w", 4294967295u, 1, 42),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(out), u"MDX,BID#-4|w|4294967295|1  |   42|%");

    // Ten bytes hold four characters and the terminator.
    std::fill(std::begin(out), std::end(out), u'#');
    EXPECT_EQ(RtlStringCbPrintfW(out, 10, u"Device%03d", 7), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(out), u"Devi");
    EXPECT_EQ(out[5], u'#');
    EXPECT_EQ(RtlStringCbPrintfW(out, 2, u"x"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(out[0], u'\0');
    EXPECT_EQ(RtlStringCbPrintfW(out, 0, u"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCbPrintfW(out, size_t{0x7FFFFFFF} * 2 + 2, u"x"), STATUS_INVALID_PARAMETER);

    size_t length = 99;
    EXPECT_EQ(RtlStringCchLengthW(u"abc", 4, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(RtlStringCchLengthW(u"abc", 3, &length), STATUS_INVALID_PARAMETER);
}

TEST(RtlStrings, IntegerToString)
{
    char16_t buffer[10];
    struct Case {
        ULONG value, base;
        USHORT maximumLength;
        NTSTATUS status;
        std::u16string text;
        bool terminated;
    };
    for (const Case& c : {Case{1023, 10, 20, STATUS_SUCCESS, u"1023", true},
                          Case{0, 0, 20, STATUS_SUCCESS, u"0", true},
                          Case{255, 16, 20, STATUS_SUCCESS, u"FF", true},
                          Case{1023, 10, 8, STATUS_SUCCESS, u"1023", false},
                          Case{1023, 10, 6, STATUS_BUFFER_OVERFLOW, u"", false}}) {
        SCOPED_TRACE(c.value);
        std::fill(std::begin(buffer), std::end(buffer), u'#');
        UNICODE_STRING s{0, c.maximumLength, buffer};
        EXPECT_EQ(RtlIntegerToUnicodeString(c.value, c.base, &s), c.status);
        EXPECT_EQ(NameOf(s), c.text);
        EXPECT_EQ(buffer[c.text.size()], c.terminated ? u'\0' : u'#');
    }
}

TEST(RtlStrings, StringToInteger)
{
    struct Case {
        std::u16string text;
        USHORT chars;  // the counted length, may end before the text
        ULONG base;
        NTSTATUS status;
        ULONG value;
    };
    for (const Case& c : {Case{u"42", 2, 10, STATUS_SUCCESS, 42},
                          Case{u" \t-7", 4, 10, STATUS_SUCCESS, 0u - 7},
                          Case{u"1023abc", 7, 10, STATUS_SUCCESS, 1023},
                          Case{u"123", 2, 10, STATUS_SUCCESS, 12},
                          Case{u"0x1F", 4, 0, STATUS_SUCCESS, 31},
                          Case{u"ff", 2, 16, STATUS_SUCCESS, 255},
                          Case{u"abc", 3, 10, STATUS_INVALID_PARAMETER, 99},
                          Case{u"", 0, 10, STATUS_INVALID_PARAMETER, 99}}) {
        SCOPED_TRACE(std::string(c.text.begin(), c.text.end()));
        UNICODE_STRING s{static_cast<USHORT>(c.chars * 2), static_cast<USHORT>(c.chars * 2 + 2),
                         const_cast<PWSTR>(c.text.c_str())};
        ULONG value = 99;
        EXPECT_EQ(RtlUnicodeStringToInteger(&s, c.base, &value), c.status);
        EXPECT_EQ(value, c.value);
    }
}

// ---- the text format -----------------------------------------------------------------------

TEST_F(RegistryTest, ExportThenImportRoundTripsEveryType)
{
    auto& registry = Registry::Instance();
    const std::string key = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Trip";
    std::vector<uint8_t> longBinary(100);
    for (size_t i = 0; i < longBinary.size(); ++i)
        longBinary[i] = static_cast<uint8_t>(i * 7);
    const std::vector<std::pair<std::string, RegValue>> values = {
        {"", RegValue::String("default")},
        {"Quoted \"name\"", RegValue::String("C:\\dir\\ \"quoted\" \xC3\xA9")},
        {"Number", RegValue::Dword(42)},
        {"Bytes", RegValue::Binary(longBinary)},
        {"Empty", RegValue::Binary({})},
        {"Multi", RegValue::MultiString({"a", "bc"})},
        {"Expand", {REG_EXPAND_SZ, RegValue::String("%Root%\\x").data}},
        {"None", {REG_NONE, {1, 2}}},
        {"Unterminated", {REG_SZ, {'a', 0, 'b', 0}}},
        {"ShortDword", {REG_DWORD, {1, 2}}},
        {"OddType", {0x2A, {0xFF}}},
    };
    for (const auto& [name, value] : values)
        registry.SetValue(key, name, value);
    registry.CreateKey(key + "\\Sub");
    registry.SetValue(key + "\\Sub\\Deeper", "X", RegValue::Dword(1));

    const std::string text = registry.Export(key);
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Trip]\n@=\"default\"\n", 0), 0u)
        << text;
    for (const char* line : {"\"Number\"=dword:0000002a\n",
                             "\"Quoted \\\"name\\\"\"=\"C:\\\\dir\\\\ \\\"quoted\\\" \xC3\xA9\"\n",
                             "\"Multi\"=hex(7):61,00,00,00,62,00,63,00,00,00,00,00\n",
                             "\"Unterminated\"=hex(1):61,00,62,00\n", "\"OddType\"=hex(2a):ff\n",
                             "\"Empty\"=hex:\n", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Trip\\Sub\\Deeper]\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;

    registry.UseMemoryOnly();
    registry.Import(text);
    EXPECT_EQ(registry.Export(key), text);
    for (const auto& [name, value] : values)
        EXPECT_EQ(registry.GetValue(key, name), value) << name;
}

TEST_F(RegistryTest, ImportErrorNamesTheLineAndChangesNothing)
{
    auto& registry = Registry::Instance();
    registry.SetValue(kBase, "Kept", RegValue::Dword(1));
    const std::string before = registry.Export(kBase);
    struct Case {
        std::string text;
        std::string error;
    };
    const std::string head = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\New]\n"
                             "\"Kept\"=dword:2\n";
    for (const Case& c : {Case{"REGEDIT4\n", "line 1: expected the header"},
                          Case{head + "\"Bad\"=dword:xyz\n", "line 5: dword:"},
                          Case{head + "\"Bytes\"=hex:01,\\\n  02,zz\n", "line 6: expected a hex byte"},
                          Case{head + "[HKEY_CURRENT_USER\\X]\n", "line 5: unknown root key"},
                          Case{"Windows Registry Editor Version 5.00\n\"v\"=\"x\"\n",
                               "line 2: value outside a key section"}}) {
        SCOPED_TRACE(c.text);
        try {
            registry.Import(c.text);
            ADD_FAILURE() << "imported";
        } catch (const sim::RegistryError& error) {
            EXPECT_EQ(std::string(error.what()).rfind(c.error, 0), 0u) << error.what();
        }
        EXPECT_EQ(registry.Export(kBase), before);
    }
}

// ---- the store -----------------------------------------------------------------------------

class RegistryStoreTest : public RegistryTest {
protected:
    void SetUp() override
    {
        RegistryTest::SetUp();
        char pattern[] = "/tmp/registry_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/registry.db";
    }
    void TearDown() override
    {
        RegistryTest::TearDown();
        std::filesystem::remove_all(dir_);
    }
    std::string dir_, path_;
};

TEST_F(RegistryStoreTest, ChangesSurviveAReopen)
{
    auto& registry = Registry::Instance();
    registry.OpenStore(path_);
    WDFKEY base, device;
    ASSERT_EQ(Create(u"\\REGISTRY\\MACHINE\\SOFTWARE", &base), STATUS_SUCCESS);
    ASSERT_EQ(Create(u"Device000", &device, base), STATUS_SUCCESS);
    ASSERT_EQ(Assign(device, u"BoardID", REG_DWORD, simtest::Bytes({3})), STATUS_SUCCESS);
    ASSERT_EQ(Assign(device, u"Gone", REG_SZ, {'x', 0, 0, 0}), STATUS_SUCCESS);
    registry.SetValue(std::string(kBase) + "\\Doomed\\Child", "V", RegValue::Dword(1));
    ASSERT_TRUE(registry.DeleteValue(std::string(kBase) + "\\Device000", "gone"));
    ASSERT_TRUE(registry.DeleteKey(std::string(kBase) + "\\Doomed"));
    Close(device);
    Close(base);
    const std::string before = registry.Export("\\REGISTRY\\MACHINE");

    registry.UseMemoryOnly();
    EXPECT_FALSE(registry.KeyExists(std::string(kBase) + "\\Device000"));
    registry.OpenStore(path_);
    EXPECT_EQ(registry.Export("\\REGISTRY\\MACHINE"), before);
    EXPECT_EQ(registry.GetValue(std::string(kBase) + "\\device000", "BoardID"), RegValue::Dword(3));
    EXPECT_FALSE(registry.KeyExists(std::string(kBase) + "\\Doomed"));
}

TEST_F(RegistryStoreTest, KilledWriterLosesNoReturnedChange)
{
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The writer: each index goes to the pipe once its assignment returned.
        close(pipeFds[0]);
        Registry::Instance().OpenStore(path_);
        UNICODE_STRING keyName = Counted(u"\\REGISTRY\\MACHINE\\Crash");
        WDFKEY key;
        if (!NT_SUCCESS(WdfRegistryCreateKey(nullptr, &keyName, KEY_ALL_ACCESS,
                                             REG_OPTION_NON_VOLATILE, nullptr, nullptr, &key)))
            _exit(2);
        for (ULONG i = 0;; ++i) {
            std::u16string name = Wide("V" + std::to_string(i));
            UNICODE_STRING valueName = Counted(name);
            if (!NT_SUCCESS(WdfRegistryAssignValue(key, &valueName, REG_DWORD, 4, &i)) ||
                write(pipeFds[1], &i, sizeof i) != sizeof i)
                _exit(3);
        }
    }
    close(pipeFds[1]);
    std::vector<ULONG> done;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (done.size() < 300 && std::chrono::steady_clock::now() < deadline) {
        pollfd ready{pipeFds[0], POLLIN, 0};
        if (poll(&ready, 1, 50) <= 0)
            continue;
        ULONG index;
        if (read(pipeFds[0], &index, sizeof index) != sizeof index)
            break;
        done.push_back(index);
    }
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    close(pipeFds[0]);
    ASSERT_TRUE(WIFSIGNALED(status)) << "writer ended by itself, status " << status;
    ASSERT_GE(done.size(), 20u) << "writer too slow to test anything";

    Registry::Instance().OpenStore(path_);
    for (ULONG index : done)
        ASSERT_EQ(Registry::Instance().GetValue("\\REGISTRY\\MACHINE\\Crash",
                                                "V" + std::to_string(index)),
                  RegValue::Dword(index))
            << "index " << index << " of " << done.size();
}

}  // namespace
