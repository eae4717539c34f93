#ifndef NORVESSA_DB_SQLITE_SQLITE_FUNCTIONS_H_
#define NORVESSA_DB_SQLITE_SQLITE_FUNCTIONS_H_

struct sqlite3;

namespace norvessa {

// What the translated T-SQL calls on SQLite: the collation
// Latin1_General_CI_AI, LIKE (two and three arguments) as SQL Server's
// under that collation, the function behind TRY_CONVERT(int, ...), and
// those that check paging counts given as parameters.
void RegisterTSqlFunctions(sqlite3* db);

}  // namespace norvessa

#endif  // NORVESSA_DB_SQLITE_SQLITE_FUNCTIONS_H_
