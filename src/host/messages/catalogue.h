// The message catalogue inside the host: lookup of catalogue texts and the
// formatting of severity fields. The service calls (xpmlog, xpmstr, ...) are
// declared in vyr_host.h.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

namespace vyr
{

// Severity of a formatted message line.
enum class Severity { None = 0, Error = 1, Warning = 2, Note = 3 };

// The catalogue text of group/number, or null when there is none.
const std::string* catalogue_text(int group, int number);

// Parses catalogue text ("GROUP NUMBER TEXT" lines, '#' comments) into the
// catalogue, replacing entries with the same group and number. Returns the
// number of malformed lines (skipped). Used at start-up with the embedded
// catalogue and by tests.
int catalogue_load(std::string_view text);

// Formats a printf-style text that may begin with a severity field ("%1z",
// "%2z", "%3z", or "%*z" taking the level from the first int argument).
// Returns the text without the field; *severity receives the level. A "%*s"
// takes an int length and a pointer to that many characters (no NUL needed).
std::string format_message(const char* format, va_list ap, Severity* severity);

// The words that lead a line of each severity ("ERROR: " ...; empty for None).
const char* severity_prefix(Severity severity);

// Splits `text` at newlines and writes each line to the log (to_log) or the
// listing, the first led by the severity word, the rest indented under it.
void emit_message(Severity severity, const std::string& text, bool to_log);

// Sees each message written to the log with a severity (an error, a warning
// or a note): its catalogue group and number (both 0 when it was not written
// from the catalogue) and its text without the severity word. The output
// layer uses it to give each step's messages in the HTML and JSON files.
using MessageObserver = void (*)(Severity severity, int group, int number, const std::string& text);
void set_message_observer(MessageObserver observer);
// Tells the observer the catalogue number of the next message this thread
// writes through emit_message (for callers that format catalogue text
// themselves).
void set_next_message_number(int group, int number);

// The text of a host return code, in words: its catalogue text, or the
// code's facility and number when the catalogue has none.
std::string host_code_text(int rc);

// Whether the running step reads its data in BY groups (the statement reader
// says so for each step). Messages speak of "this BY group"; in a step
// without a BY statement they are said of the data as a whole.
void set_step_by_groups(bool by);
// The text of a message said of the whole data instead of a BY group.
std::string whole_data_wording(const std::string& text);

// Counts of ERROR and WARNING lines written to the log so far in this run.
int logged_errors();
int logged_warnings();
void reset_message_counts();

} // namespace vyr
