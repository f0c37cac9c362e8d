// What a console program needs of its console: Ctrl-C as a request rather than an end, and
// text that shows right whatever the console's code page.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace platform {

// From this call on, Ctrl-C and Ctrl-Break (on Windows also closing the console window; on
// POSIX SIGINT, SIGTERM and SIGHUP) no longer end the process: InterruptRequested tells of them,
// and the program ends in its own time.
void CatchInterrupts();
bool InterruptRequested();

// The program's arguments after its name, in UTF-8: on Windows read as the system holds them
// (argv is in the system code page, which cannot hold every path); elsewhere argv itself.
std::vector<std::string> Arguments(int argc, char** argv);

// True when the stream goes to a terminal or console rather than a file or pipe.
bool IsTerminal(std::FILE* stream);

// Writes UTF-8 text: on a Windows console as wide characters, so the console's code page does
// not garble it; elsewhere as the bytes they are.
void WriteUtf8(std::FILE* stream, const std::string& text);

}  // namespace platform
