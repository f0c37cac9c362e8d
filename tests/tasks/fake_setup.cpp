// Stands in for the setup program in the Windows tests: appends the command line it received
// to the file named by VANTREO_FAKE_SETUP_RECORD, waits VANTREO_FAKE_SETUP_SECONDS, notes that
// it ends, and exits with VANTREO_FAKE_SETUP_EXIT.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main() {
  const char* record = std::getenv("VANTREO_FAKE_SETUP_RECORD");
  const char* seconds = std::getenv("VANTREO_FAKE_SETUP_SECONDS");
  const char* exitCode = std::getenv("VANTREO_FAKE_SETUP_EXIT");
  if (record != nullptr) {
    if (std::FILE* file = std::fopen(record, "ab")) {
      std::fprintf(file, "commandline=%s\n", GetCommandLineA());
      std::fclose(file);
    }
  }
  if (seconds != nullptr) Sleep(static_cast<DWORD>(std::atof(seconds) * 1000));
  if (record != nullptr) {
    if (std::FILE* file = std::fopen(record, "ab")) {
      std::fputs("exited\n", file);
      std::fclose(file);
    }
  }
  return exitCode != nullptr ? std::atoi(exitCode) : 0;
}
