#include "app/command_line.h"

#include <cstddef>

namespace {

constexpr char kSilent[] = "/S";
constexpr char kFolder[] = "/D=";
constexpr char kNoLaunch[] = "/NOLAUNCH";
constexpr char kLog[] = "/LOG=";

// The line is UTF-8: blanks and quotes never occur inside a longer character, so the line can
// be scanned byte by byte.
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Whether `text` from `at` starts with `prefix` (upper-case ASCII) in any letter case.
bool StartsWithNoCase(const std::string& text, size_t at, const char* prefix) {
  for (; *prefix != '\0'; ++prefix, ++at) {
    if (at >= text.size() || UpperAscii(text[at]) != *prefix) return false;
  }
  return true;
}

bool EqualsNoCase(const std::string& text, const char* word) {
  return text.size() == std::char_traits<char>::length(word) && StartsWithNoCase(text, 0, word);
}

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string WithoutQuotes(const std::string& text) {
  std::string result;
  for (char c : text) {
    if (c != '"') result += c;
  }
  return result;
}

// One switch other than `/D=`: records it, or the error it makes. False on an error.
bool ApplySwitch(const std::string& word, CommandLine& result) {
  if (EqualsNoCase(word, kSilent)) {
    result.silent = true;
  } else if (EqualsNoCase(word, kNoLaunch)) {
    result.noLaunch = true;
  } else if (StartsWithNoCase(word, 0, kLog)) {
    result.logPath = Trimmed(word.substr(sizeof kLog - 1));
    if (result.logPath.empty()) result.error = CommandLineError::MissingValue;
  } else {
    result.error = CommandLineError::UnknownSwitch;
  }
  if (result.error != CommandLineError::None) result.offending = word;
  return result.error == CommandLineError::None;
}

}  // namespace

std::string ArgumentsOf(const std::string& commandLine) {
  size_t at = 0;
  if (!commandLine.empty() && commandLine[0] == '"') {
    const size_t close = commandLine.find('"', 1);
    at = close == std::string::npos ? commandLine.size() : close + 1;
  } else {
    while (at < commandLine.size() && !IsBlank(commandLine[at])) ++at;
  }
  return commandLine.substr(at);
}

CommandLine ParseCommandLine(const std::string& arguments) {
  CommandLine result;
  size_t at = 0;
  while (true) {
    while (at < arguments.size() && IsBlank(arguments[at])) ++at;
    if (at == arguments.size()) break;
    const size_t name = arguments[at] == '"' ? at + 1 : at;
    if (StartsWithNoCase(arguments, name, kFolder)) {
      // The folder is the rest of the line: a path with blanks needs no quotes.
      result.folderGiven = true;
      result.folder = Trimmed(WithoutQuotes(arguments.substr(name + sizeof kFolder - 1)));
      if (result.folder.empty()) {
        result.error = CommandLineError::MissingValue;
        result.offending = kFolder;
        return result;
      }
      break;
    }
    std::string word;
    for (bool quoted = false; at < arguments.size() && (quoted || !IsBlank(arguments[at])); ++at) {
      if (arguments[at] == '"') {
        quoted = !quoted;
      } else {
        word += arguments[at];
      }
    }
    if (!ApplySwitch(word, result)) return result;
  }
  if (!result.silent && (result.folderGiven || result.noLaunch)) {
    result.error = CommandLineError::NeedsSilent;
    result.offending = result.folderGiven ? kFolder : kNoLaunch;
  }
  return result;
}

std::string DescribeError(const CommandLine& commandLine) {
  const std::string quoted = "\"" + commandLine.offending + "\"";
  switch (commandLine.error) {
    case CommandLineError::None:
      return "none";
    case CommandLineError::UnknownSwitch:
      return "unknown switch " + quoted;
    case CommandLineError::MissingValue:
      return quoted + " needs a value";
    case CommandLineError::NeedsSilent:
      return quoted + " goes only with /S";
  }
  return "unknown error";
}
