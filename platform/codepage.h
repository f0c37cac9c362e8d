// The program's texts are UTF-8 in every build; what differs between the systems is how two
// file names or URLs compare when letter case does not count.
#pragma once

#include <string>

namespace platform {

// Negative, zero or positive as `a` sorts before, with or after `b`, letter case ignored; zero
// when both name the same file or URL. Windows folds every letter as its file system does (the
// UTF-16 forms, upper-cased, compared ordinally); elsewhere only ASCII letters fold (to lower
// case) and other bytes compare as they are. So the two order "[" and "z" differently; the
// program only asks for equality.
int CompareNoCase(const std::string& a, const std::string& b);

}  // namespace platform
