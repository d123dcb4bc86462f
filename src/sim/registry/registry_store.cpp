#include "registry/registry_store.h"

#include <sqlite3.h>

#include "registry/sim_registry.h"

namespace sim::reg {
namespace {

// Names are stored as UTF-16 code units, exactly as the driver wrote them.
const void* NameBytes(std::u16string_view name)
{
    return name.empty() ? static_cast<const void*>("") : name.data();
}

class Statement {
public:
    Statement(sqlite3* db, const char* sql)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK)
            stmt_ = nullptr;
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return stmt_ != nullptr; }
    sqlite3_stmt* get() { return stmt_; }
    Statement& Int(int index, int64_t value)
    {
        sqlite3_bind_int64(stmt_, index, value);
        return *this;
    }
    Statement& Name(int index, std::u16string_view name)
    {
        sqlite3_bind_blob(stmt_, index, NameBytes(name), static_cast<int>(name.size() * 2),
                          SQLITE_TRANSIENT);
        return *this;
    }
    Statement& Blob(int index, const uint8_t* data, size_t length)
    {
        // A zero-length blob, not NULL, for empty data.
        sqlite3_bind_blob(stmt_, index, length ? static_cast<const void*>(data) : "",
                          static_cast<int>(length), SQLITE_TRANSIENT);
        return *this;
    }
    // Runs a statement that returns no rows.
    bool Run() { return stmt_ && sqlite3_step(stmt_) == SQLITE_DONE; }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

std::u16string ColumnName(sqlite3_stmt* stmt, int column)
{
    const auto* bytes = static_cast<const char16_t*>(sqlite3_column_blob(stmt, column));
    int length = sqlite3_column_bytes(stmt, column);
    return bytes ? std::u16string(bytes, static_cast<size_t>(length) / 2) : std::u16string();
}

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS reg_keys("
    "  id INTEGER PRIMARY KEY, parent INTEGER, name BLOB NOT NULL, upname BLOB NOT NULL,"
    "  last_write INTEGER NOT NULL, UNIQUE(parent, upname));"
    "CREATE TABLE IF NOT EXISTS reg_values("
    "  key INTEGER NOT NULL, name BLOB NOT NULL, upname BLOB NOT NULL,"
    "  type INTEGER NOT NULL, data BLOB NOT NULL, UNIQUE(key, upname));";

}  // namespace

// One change as one transaction, unless a batch already holds one.
class Store::Change {
public:
    explicit Change(Store& store) : store_(store), own_(!store.inBatch_)
    {
        ok_ = !own_ || store_.Exec("BEGIN IMMEDIATE");
    }
    ~Change()
    {
        if (own_ && ok_ && !committed_)
            store_.Exec("ROLLBACK");
    }
    bool ok() const { return ok_; }
    bool Commit()
    {
        committed_ = true;
        if (!own_ || store_.Exec("COMMIT"))
            return true;
        store_.Exec("ROLLBACK");
        return false;
    }

private:
    Store& store_;
    bool own_;
    bool ok_ = false;
    bool committed_ = false;
};

Store::Store(const std::string& path)
{
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK) {
        std::string error = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        throw RegistryError("registry store " + path + ": " + error);
    }
    sqlite3_busy_timeout(db_, 2000);
    // The write-ahead log, synced at every commit: a committed change
    // survives the process being killed and the machine losing power.
    if (!Exec("PRAGMA journal_mode=WAL") || !Exec("PRAGMA synchronous=FULL") || !Exec(kSchema)) {
        std::string error = lastError_;
        sqlite3_close(db_);
        throw RegistryError("registry store " + path + ": " + error);
    }
}

Store::~Store() { sqlite3_close(db_); }

bool Store::Exec(const char* sql)
{
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK)
        return true;
    lastError_ = message ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    return false;
}

bool Store::Fail()
{
    lastError_ = sqlite3_errmsg(db_);
    return false;
}

void Store::Load(std::vector<StoredKey>* keys, std::vector<StoredValue>* values)
{
    Statement keyRows(db_, "SELECT id, parent, name, last_write FROM reg_keys ORDER BY id");
    Statement valueRows(db_, "SELECT key, name, type, data FROM reg_values ORDER BY rowid");
    if (!keyRows.ok() || !valueRows.ok())
        throw RegistryError("registry store: " + std::string(sqlite3_errmsg(db_)));
    while (sqlite3_step(keyRows.get()) == SQLITE_ROW) {
        sqlite3_stmt* row = keyRows.get();
        keys->push_back({sqlite3_column_int64(row, 0), sqlite3_column_int64(row, 1),
                         ColumnName(row, 2), sqlite3_column_int64(row, 3)});
    }
    while (sqlite3_step(valueRows.get()) == SQLITE_ROW) {
        sqlite3_stmt* row = valueRows.get();
        const auto* data = static_cast<const uint8_t*>(sqlite3_column_blob(row, 3));
        int length = sqlite3_column_bytes(row, 3);
        values->push_back({sqlite3_column_int64(row, 0), ColumnName(row, 1),
                           static_cast<uint32_t>(sqlite3_column_int64(row, 2)),
                           std::vector<uint8_t>(data, data + (data ? length : 0))});
    }
}

bool Store::InsertKey(int64_t parent, std::u16string_view name, std::u16string_view upname,
                      int64_t lastWrite, int64_t* id)
{
    Change change(*this);
    if (!change.ok())
        return false;
    Statement insert(db_, "INSERT INTO reg_keys(parent, name, upname, last_write) "
                          "VALUES(?1, ?2, ?3, ?4)");
    if (parent)
        insert.Int(1, parent);  // the root's parent stays NULL
    insert.Name(2, name).Name(3, upname).Int(4, lastWrite);
    if (!insert.Run())
        return Fail();
    *id = sqlite3_last_insert_rowid(db_);
    Statement touch(db_, "UPDATE reg_keys SET last_write = ?2 WHERE id = ?1");
    if (parent && !touch.Int(1, parent).Int(2, lastWrite).Run())
        return Fail();
    return change.Commit() || Fail();
}

bool Store::PutValue(int64_t key, std::u16string_view name, std::u16string_view upname,
                     uint32_t type, const uint8_t* data, size_t length, int64_t lastWrite)
{
    Change change(*this);
    if (!change.ok())
        return false;
    // A replaced value keeps the name it was created with.
    Statement put(db_, "INSERT INTO reg_values(key, name, upname, type, data) "
                       "VALUES(?1, ?2, ?3, ?4, ?5) "
                       "ON CONFLICT(key, upname) DO UPDATE SET type = excluded.type, "
                       "data = excluded.data");
    if (!put.Int(1, key).Name(2, name).Name(3, upname).Int(4, type).Blob(5, data, length).Run())
        return Fail();
    Statement touch(db_, "UPDATE reg_keys SET last_write = ?2 WHERE id = ?1");
    if (!touch.Int(1, key).Int(2, lastWrite).Run())
        return Fail();
    return change.Commit() || Fail();
}

bool Store::DeleteValue(int64_t key, std::u16string_view upname, int64_t lastWrite)
{
    Change change(*this);
    if (!change.ok())
        return false;
    Statement erase(db_, "DELETE FROM reg_values WHERE key = ?1 AND upname = ?2");
    Statement touch(db_, "UPDATE reg_keys SET last_write = ?2 WHERE id = ?1");
    if (!erase.Int(1, key).Name(2, upname).Run() || !touch.Int(1, key).Int(2, lastWrite).Run())
        return Fail();
    return change.Commit() || Fail();
}

bool Store::DeleteKeys(const std::vector<int64_t>& ids, int64_t parent, int64_t lastWrite)
{
    Change change(*this);
    if (!change.ok())
        return false;
    for (int64_t id : ids) {
        Statement values(db_, "DELETE FROM reg_values WHERE key = ?1");
        Statement key(db_, "DELETE FROM reg_keys WHERE id = ?1");
        if (!values.Int(1, id).Run() || !key.Int(1, id).Run())
            return Fail();
    }
    Statement touch(db_, "UPDATE reg_keys SET last_write = ?2 WHERE id = ?1");
    if (!touch.Int(1, parent).Int(2, lastWrite).Run())
        return Fail();
    return change.Commit() || Fail();
}

bool Store::BeginBatch()
{
    if (!Exec("BEGIN IMMEDIATE"))
        return false;
    inBatch_ = true;
    return true;
}

bool Store::CommitBatch()
{
    inBatch_ = false;
    if (Exec("COMMIT"))
        return true;
    std::string error = lastError_;
    Exec("ROLLBACK");
    lastError_ = error;
    return false;
}

void Store::RollbackBatch()
{
    inBatch_ = false;
    Exec("ROLLBACK");
}

}  // namespace sim::reg
