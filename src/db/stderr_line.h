#ifndef NORVESSA_DB_STDERR_LINE_H_
#define NORVESSA_DB_STDERR_LINE_H_

#include <string>

namespace norvessa {

// `text` as one line on stderr, in one write: a control character (a
// driver's message may hold line breaks) becomes a blank.
void WriteStderrLine(const std::string& text);

}  // namespace norvessa

#endif  // NORVESSA_DB_STDERR_LINE_H_
