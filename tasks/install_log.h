// The installer's log: what a run did and why it failed, for the user who asks for help and the
// operator who reads it. Lines are appended to one UTF-8 text file; each starts with the local
// time and the thread. The file is kept below kMaxLogBytes: when it grows past, its older half
// goes. Nothing a third party could use is written (no cookies or credentials exist; the
// request lines carry host, path and range only).
#pragma once

#include <cstdint>
#include <string>

// Where the log goes by default: the user's temporary folder.
constexpr const char* kLogFileName = "VantreoInstaller.log";
constexpr uint64_t kMaxLogBytes = 1024 * 1024;

namespace install_log {

// Starts writing to `path` (the default path when empty): the lines that follow are appended
// there. False when the file cannot be opened safely (a link, say); the log is then off.
bool Open(const std::string& path = std::string());
// Stops writing; later lines are dropped.
void Close();
// The file written to, "" when the log is off.
std::string Path();
// The default path: the user's temporary folder and kLogFileName.
std::string DefaultPath();

// Appends one line: "<date> <time> T<thread> <kind> <text>". `text` is UTF-8, as the
// whole program's; line breaks in it become blanks. Safe from any thread.
void Write(const char* kind, const std::string& text);
// Write with a printf format.
void Writef(const char* kind, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// The newest part of `text` that fits in `limit` bytes and starts on a line: what stays of a
// log that grew past its limit (the older half goes). Open to its tests.
std::string KeepNewestHalf(const std::string& text, uint64_t limit);

}  // namespace install_log
