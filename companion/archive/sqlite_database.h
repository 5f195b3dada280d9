#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace korvel::history {

// One prepared statement. Parameters are numbered from 1, columns from 0.
class Statement {
public:
    Statement() = default;
    Statement(Statement&& other) noexcept;
    Statement& operator=(Statement&& other) noexcept;
    ~Statement();

    Statement& bind(int index, int64_t value);
    // SQLite keeps signed integers: a count past INT64_MAX is kept as INT64_MAX.
    Statement& bind(int index, uint64_t count);
    Statement& bind(int index, double value);
    Statement& bind(int index, std::string_view text);
    Statement& bind(int index, const std::optional<std::string>& text);
    Statement& bind(int index, const std::optional<int64_t>& value);
    Statement& bind(int index, const std::optional<double>& value);
    Statement& bindNull(int index);
    Statement& bindBlob(int index, std::string_view bytes);

    // True while a row is ready; false when done. A failure is kept in the
    // statement's result code and ends the stepping.
    bool step();
    // Steps to the end, then resets; the SQLite result code of the run.
    int run();
    // Clears the bindings too.
    void reset();
    // The first column of the first row, then reset; none for no row or null.
    std::optional<int64_t> integerValue();

    bool isNull(int column) const;
    int64_t integer(int column) const;
    double real(int column) const;
    std::string text(int column) const;
    std::string_view blob(int column) const; // valid until the next step
    std::optional<std::string> optionalText(int column) const;
    std::optional<int64_t> optionalInteger(int column) const;
    std::optional<double> optionalReal(int column) const;

    int resultCode() const { return result_; }

private:
    friend class Database;
    explicit Statement(sqlite3_stmt* statement) : statement_(statement) {}
    sqlite3_stmt* statement_ = nullptr;
    int result_ = 0;
};

// One connection to one database file, used from one thread.
class Database {
public:
    // No value, and the reason in error, when the file cannot be opened as a
    // database (a link is never followed). readOnly never creates it.
    static std::optional<Database> open(const std::string& path, bool readOnly, std::string& error);
    Database(Database&& other) noexcept;
    Database& operator=(Database&& other) noexcept;
    ~Database();

    // Statements without parameters or results (schema, pragmas). The SQLite
    // result code; the message is kept in lastError().
    int execute(const char* sql);
    // An invalid statement (and the reason in lastError()) when sql is not.
    Statement prepare(std::string_view sql);
    // The first column of the first row of a statement without parameters.
    std::optional<int64_t> integerOf(const char* sql);
    std::string lastError() const;
    int64_t lastInsertRowId() const;
    // From now on SQLite checkpoints no more by itself, and logFrames() says
    // how many frames the write-ahead log held after the last commit.
    void countLogFrames();
    int logFrames() const { return logFrames_ ? *logFrames_ : 0; }

private:
    explicit Database(sqlite3* db) : db_(db) {}
    sqlite3* db_ = nullptr;
    std::unique_ptr<int> logFrames_; // where SQLite's hook writes, so it outlives a move
};

// The SQLite result code's primary part is one that means the disk is full.
bool isDiskFull(int resultCode);
// Another program holds the database's write lock.
bool isLockedByAnother(int resultCode);
// What a result code means, the same whatever ran since (a connection's own
// message is overwritten by the next statement, even a ROLLBACK).
std::string describeResult(int resultCode);

} // namespace korvel::history
