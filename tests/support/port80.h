// A scripted server on port 80, the only port the downloader connects to. Each test program
// takes its addresses from a range of 127.0.0.x of its own, so that programs running side by
// side (ctest -j, other build trees) never meet.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_server.h"

namespace testing_support {

// Binds the server to port 80 on the first free address of 127.0.0.first-last. `denied` tells
// the caller to skip: this user may not bind port 80.
inline bool StartOnPort80(TestServer& server, Handler handler, int first, int last,
                          bool& denied) {
  denied = false;
  for (int address = first; address <= last; ++address) {
    if (server.Start("127.0.0." + std::to_string(address), 80, handler, &denied)) return true;
    if (denied) return false;
  }
  return false;
}

}  // namespace testing_support

// Starts `server` on port 80 of 127.0.0.first-last; skips the test when this user may not bind
// port 80, fails it when every address is taken.
#define START_ON_PORT_80_IN(server, handler, first, last)                                     \
  do {                                                                                        \
    bool denied_ = false;                                                                     \
    if (!testing_support::StartOnPort80(server, handler, first, last, denied_)) {             \
      if (denied_) GTEST_SKIP() << "binding port 80 is not permitted here (run as root)";     \
      FAIL() << "no free address in 127.0.0." << (first) << "-" << (last) << " for port 80";  \
    }                                                                                         \
  } while (0)
