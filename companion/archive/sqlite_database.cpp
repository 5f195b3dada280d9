#include "companion/archive/sqlite_database.h"

#include <algorithm>
#include <sqlite3.h>
#include <utility>

namespace korvel::history {

Statement::Statement(Statement&& other) noexcept
    : statement_(std::exchange(other.statement_, nullptr)), result_(other.result_) {}

Statement& Statement::operator=(Statement&& other) noexcept {
    if (this != &other) {
        sqlite3_finalize(statement_);
        statement_ = std::exchange(other.statement_, nullptr);
        result_ = other.result_;
    }
    return *this;
}

Statement::~Statement() {
    sqlite3_finalize(statement_);
}

Statement& Statement::bind(int index, int64_t value) {
    sqlite3_bind_int64(statement_, index, value);
    return *this;
}

Statement& Statement::bind(int index, uint64_t count) {
    return bind(index, static_cast<int64_t>(std::min<uint64_t>(count, INT64_MAX)));
}

Statement& Statement::bind(int index, double value) {
    sqlite3_bind_double(statement_, index, value);
    return *this;
}

Statement& Statement::bind(int index, std::string_view text) {
    sqlite3_bind_text64(statement_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    return *this;
}

Statement& Statement::bind(int index, const std::optional<std::string>& text) {
    return text ? bind(index, std::string_view(*text)) : bindNull(index);
}

Statement& Statement::bind(int index, const std::optional<int64_t>& value) {
    return value ? bind(index, *value) : bindNull(index);
}

Statement& Statement::bind(int index, const std::optional<double>& value) {
    return value ? bind(index, *value) : bindNull(index);
}

Statement& Statement::bindNull(int index) {
    sqlite3_bind_null(statement_, index);
    return *this;
}

Statement& Statement::bindBlob(int index, std::string_view bytes) {
    sqlite3_bind_blob64(statement_, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
    return *this;
}

bool Statement::step() {
    if (statement_ == nullptr) {
        result_ = SQLITE_MISUSE;
        return false;
    }
    result_ = sqlite3_step(statement_);
    return result_ == SQLITE_ROW;
}

int Statement::run() {
    while (step()) {
    }
    const int result = result_ == SQLITE_DONE ? SQLITE_OK : result_;
    reset();
    return result;
}

void Statement::reset() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
}

std::optional<int64_t> Statement::integerValue() {
    const bool found = step() && !isNull(0);
    const std::optional<int64_t> value = found ? std::optional<int64_t>(integer(0)) : std::nullopt;
    reset();
    return value;
}

bool Statement::isNull(int column) const {
    return sqlite3_column_type(statement_, column) == SQLITE_NULL;
}

int64_t Statement::integer(int column) const {
    return sqlite3_column_int64(statement_, column);
}

double Statement::real(int column) const {
    return sqlite3_column_double(statement_, column);
}

std::string Statement::text(int column) const {
    const auto* bytes = sqlite3_column_text(statement_, column);
    return bytes ? std::string(reinterpret_cast<const char*>(bytes),
                               static_cast<size_t>(sqlite3_column_bytes(statement_, column)))
                 : std::string();
}

std::string_view Statement::blob(int column) const {
    const void* bytes = sqlite3_column_blob(statement_, column);
    return bytes ? std::string_view(static_cast<const char*>(bytes),
                                    static_cast<size_t>(sqlite3_column_bytes(statement_, column)))
                 : std::string_view();
}

std::optional<std::string> Statement::optionalText(int column) const {
    return isNull(column) ? std::nullopt : std::optional<std::string>(text(column));
}

std::optional<int64_t> Statement::optionalInteger(int column) const {
    return isNull(column) ? std::nullopt : std::optional<int64_t>(integer(column));
}

std::optional<double> Statement::optionalReal(int column) const {
    return isNull(column) ? std::nullopt : std::optional<double>(real(column));
}

std::optional<Database> Database::open(const std::string& path, bool readOnly, std::string& error) {
    sqlite3* db = nullptr;
    const int flags =
        (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
        SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX;
    const int result = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    if (result != SQLITE_OK) {
        error = db ? sqlite3_errmsg(db) : sqlite3_errstr(result);
        sqlite3_close(db);
        return std::nullopt;
    }
    sqlite3_extended_result_codes(db, 1);
    // A reader waits out a checkpoint rather than failing.
    sqlite3_busy_timeout(db, 2000);
    return Database(db);
}

Database::Database(Database&& other) noexcept
    : db_(std::exchange(other.db_, nullptr)), logFrames_(std::move(other.logFrames_)) {}

Database& Database::operator=(Database&& other) noexcept {
    if (this != &other) {
        sqlite3_close(db_);
        db_ = std::exchange(other.db_, nullptr);
        logFrames_ = std::move(other.logFrames_);
    }
    return *this;
}

void Database::countLogFrames() {
    logFrames_ = std::make_unique<int>(0);
    sqlite3_wal_hook(
        db_,
        [](void* frames, sqlite3*, const char*, int count) {
            *static_cast<int*>(frames) = count;
            return SQLITE_OK;
        },
        logFrames_.get());
}

Database::~Database() {
    sqlite3_close(db_);
}

int Database::execute(const char* sql) {
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
}

Statement Database::prepare(std::string_view sql) {
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                       &statement, nullptr);
    return Statement(statement);
}

std::optional<int64_t> Database::integerOf(const char* sql) {
    return prepare(sql).integerValue();
}

std::string Database::lastError() const {
    return sqlite3_errmsg(db_);
}

int64_t Database::lastInsertRowId() const {
    return sqlite3_last_insert_rowid(db_);
}

bool isDiskFull(int resultCode) {
    return (resultCode & 0xff) == SQLITE_FULL;
}

bool isLockedByAnother(int resultCode) {
    return (resultCode & 0xff) == SQLITE_BUSY || (resultCode & 0xff) == SQLITE_LOCKED;
}

std::string describeResult(int resultCode) {
    return sqlite3_errstr(resultCode);
}

} // namespace korvel::history
