// The registry's SQLite store: one row per key and per value. Each change is
// its own transaction, committed with a full sync before the call returns;
// a batch groups several changes into one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

namespace sim::reg {

struct StoredKey {
    int64_t id = 0;
    int64_t parent = 0;  // 0 for the root
    std::u16string name;
    int64_t lastWrite = 0;
};

struct StoredValue {
    int64_t key = 0;
    std::u16string name;
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

class Store {
public:
    // Opens or creates the database; throws RegistryError when it cannot.
    explicit Store(const std::string& path);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Keys come parents first.
    void Load(std::vector<StoredKey>* keys, std::vector<StoredValue>* values);

    // Each returns false, with lastError() set, when the store was not changed.
    bool InsertKey(int64_t parent, std::u16string_view name, std::u16string_view upname,
                   int64_t lastWrite, int64_t* id);
    bool PutValue(int64_t key, std::u16string_view name, std::u16string_view upname,
                  uint32_t type, const uint8_t* data, size_t length, int64_t lastWrite);
    bool DeleteValue(int64_t key, std::u16string_view upname, int64_t lastWrite);
    // Deletes the keys and their values; `parent` gets the write time.
    bool DeleteKeys(const std::vector<int64_t>& ids, int64_t parent, int64_t lastWrite);

    bool BeginBatch();
    bool CommitBatch();
    void RollbackBatch();

    const std::string& lastError() const { return lastError_; }

private:
    class Change;
    bool Exec(const char* sql);
    bool Fail();

    sqlite3* db_ = nullptr;
    bool inBatch_ = false;
    std::string lastError_;
};

}  // namespace sim::reg
