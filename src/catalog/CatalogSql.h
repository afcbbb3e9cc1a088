// Helpers of the catalog module around the SQLite statements (internal).
#pragma once

#include <QDate>
#include <QString>
#include <cstdint>
#include <memory>

#include <SQLiteCpp/Database.h>

struct sqlite3;
struct sqlite3_stmt;

namespace catalogsql {

// One prepared statement on a connection, finalized with the object. Errors
// raise SQLite::Exception with the engine's message.
class TSqlStatement {
public:
    TSqlStatement(SQLite::Database& aDatabase, const char* aText);
    ~TSqlStatement();
    TSqlStatement(const TSqlStatement&) = delete;
    TSqlStatement& operator=(const TSqlStatement&) = delete;

    sqlite3_stmt* Handle() const { return FHandle; }
    int ColumnCount() const;
    int ParameterIndex(const char* aName) const;

    void Bind(int aIndex, int64_t aValue);
    void Bind(const char* aName, int64_t aValue) { Bind(ParameterIndex(aName), aValue); }
    void BindNull(int aIndex);
    // The text must stay unchanged until the statement has run.
    void BindStaticText(int aIndex, const char* aText, int aSize);
    void BindText(int aIndex, const char* aText, int aSize);

    // The next row: true when there is one, false at the end.
    bool Step();
    // Runs a statement that returns no rows.
    void Execute();
    // Ready to run again; never raises.
    void Reset() noexcept;

private:
    [[noreturn]] void Raise(int aCode) const;

    sqlite3_stmt* FHandle = nullptr;
    sqlite3* FConnection = nullptr;
};

// Resets a statement when the scope ends, so that a failed or abandoned
// run never leaves it busy.
class TStatementReset {
public:
    explicit TStatementReset(TSqlStatement& aStatement) : FStatement(aStatement) {}
    ~TStatementReset() { FStatement.Reset(); }
    TStatementReset(const TStatementReset&) = delete;
    TStatementReset& operator=(const TStatementReset&) = delete;

private:
    TSqlStatement& FStatement;
};

// A text column as Unicode; NULL gives an empty text.
QString ColumnText(sqlite3_stmt* aStatement, int aColumn);
// A date column: "yyyy-MM-dd" text (a time after it is ignored) or a day
// number; anything else gives a null date.
QDate ColumnDate(sqlite3_stmt* aStatement, int aColumn);
// The index of a result column, its name compared without case.
int ColumnIndex(sqlite3_stmt* aStatement, const char* aName);

struct TVersionRow {
    uint32_t Structure = 0;
    uint32_t Data = 0;
};
// The version row of a catalog file. Raises when the table or the row is
// missing or a number is not a non-negative 32-bit value.
TVersionRow ReadVersionRow(SQLite::Database& aDatabase);
// Opens an existing file read-write; never creates one.
std::unique_ptr<SQLite::Database> OpenCatalogFile(const QString& aPath);

} // namespace catalogsql
