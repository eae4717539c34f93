#ifndef NORVESSA_DB_SQLITE_TSQL_TRANSLATOR_H_
#define NORVESSA_DB_SQLITE_TSQL_TRANSLATOR_H_

#include <string>
#include <string_view>

namespace norvessa {

// Rewrites the T-SQL the service writes into SQL the embedded database
// runs, on the token stream:
// - OFFSET n ROWS FETCH NEXT m ROWS ONLY -> LIMIT m OFFSET n (a negative
//   offset or fewer than one row is refused, as SQL Server does);
// - CONVERT(Varchar(n), x, 103) -> dd/mm/yyyy text; CONVERT(t, x) -> CAST;
// - 'mm/dd/yyyy[ hh:mm:ss]' literals that are an operand of a comparison
//   -> the stored form 'yyyy-mm-dd hh:mm:ss';
// - ORDER BY names resolved against the select list, as SQL Server does.
// Everything else, string literals first of all, passes unchanged.
// Throws DbError with SQL Server's message for refused paging.
std::string TranslateTSql(std::string_view sql);

}  // namespace norvessa

#endif  // NORVESSA_DB_SQLITE_TSQL_TRANSLATOR_H_
