#ifndef NORVESSA_DB_SQLITE_TSQL_TRANSLATOR_H_
#define NORVESSA_DB_SQLITE_TSQL_TRANSLATOR_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace norvessa {

// Rewrites the T-SQL the service writes into SQL the embedded database
// runs, on the token stream:
// - OFFSET n ROWS FETCH NEXT m ROWS ONLY -> LIMIT m OFFSET n (a negative
//   offset or fewer than one row is refused, as SQL Server does; a count
//   given as a parameter is checked when the statement runs, through
//   kFetchRows and kOffsetRows);
// - "?" markers -> "?1", "?2"... in order, so that they keep their values
//   when paging swaps them;
// - CONVERT(Varchar(n), x, 103) -> dd/mm/yyyy text; CONVERT(t, x) -> CAST;
// - TRY_CONVERT(int, x) -> kTryConvertInt(x), a function every embedded
//   connection registers (TRY_CONVERT to other types is refused);
// - 'mm/dd/yyyy[ hh:mm:ss]' literals that are an operand of a comparison
//   -> the stored form 'yyyy-mm-dd hh:mm:ss';
// - ORDER BY names resolved against the select list, as SQL Server does.
// Everything else, string literals first of all, passes unchanged.
// Throws DriverError with SQL Server's message for refused paging, and for a
// CONVERT style or a TRY_CONVERT type it cannot render.
std::string TranslateTSql(std::string_view sql);

// The name of the function, registered on every embedded connection, that
// stands for TRY_CONVERT(int, x): text by TryConvertInt, an integer as
// itself and a real truncated toward zero when within int's range, NULL
// for everything else.
inline constexpr const char* kTryConvertInt = "tsql_try_convert_int";

// The functions, registered on every embedded connection, that stand
// for a paging count given as a parameter: the value itself, or SQL
// Server's error for a negative offset or fewer than one row.
inline constexpr const char* kOffsetRows = "tsql_offset_rows";
inline constexpr const char* kFetchRows = "tsql_fetch_rows";
inline constexpr const char* kNegativeOffset =
    "The offset specified in a OFFSET clause may not be negative.";
inline constexpr const char* kNoRowsToFetch =
    "The number of rows provided for a FETCH clause must be greater then "
    "zero.";

// Text read as SQL Server converts varchar to int, or nothing where
// TRY_CONVERT gives NULL: blanks (spaces only) before and after, an
// optional sign right before the digits, decimal digits only (no point, no
// exponent), within int's 32-bit range. Leading zeros are fine ('00123' is
// 123), and an empty or all-blank text, or a sign alone, is 0, as it is to
// SQL Server.
std::optional<std::int32_t> TryConvertInt(std::string_view text);

}  // namespace norvessa

#endif  // NORVESSA_DB_SQLITE_TSQL_TRANSLATOR_H_
