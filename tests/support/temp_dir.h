// Small file helpers for tests: unique names in the temporary folder, whole-file read and write.
#pragma once

#include <string>

namespace testing_support {

// A file name no other test run uses: prefix, process id, a counter.
std::string UniqueName(const std::string& prefix);

bool WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);

}  // namespace testing_support
