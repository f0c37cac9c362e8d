// Whatever a server sends as a chunked body: the decoder ends (at the body's end or with a
// failure), never yields more bytes than came, and a body that is chunks of the input's own
// bytes decodes back to them.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "download/http_body.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

constexpr size_t kMaxInput = 64 * 1024;

// Reads the whole body; true when it ended cleanly.
bool Decode(const std::string& wire, std::string& out) {
  int ends[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0);
  Connection client{platform::Socket(ends[0])};
  FUZZ_CHECK(write(ends[1], wire.data(), wire.size()) == static_cast<ssize_t>(wire.size()));
  close(ends[1]);
  BodyReader reader(client, BodyCoding::Chunked, false, 0, StopTest());
  char buffer[1024];
  for (;;) {
    const int got = reader.Read(buffer, sizeof buffer);
    if (got == 0) return true;
    if (got < 0) {
      FUZZ_CHECK(reader.Error().Failed());
      return false;
    }
    out.append(buffer, static_cast<size_t>(got));
    FUZZ_CHECK(out.size() <= wire.size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size > kMaxInput) return 0;
  const std::string data(reinterpret_cast<const char*>(bytes), size);
  std::string out;
  Decode(data, out);

  // The input's bytes framed as chunks of sizes taken from the input itself.
  std::string framed;
  for (size_t at = 0; at < data.size();) {
    const size_t n = 1 + static_cast<unsigned char>(data[at]) % 97;
    const std::string piece = data.substr(at, n);
    char line[32];
    std::snprintf(line, sizeof line, "%zx;x=y\r\n", piece.size());
    framed += line + piece + "\r\n";
    at += piece.size();
  }
  framed += "0\r\nTrailer: t\r\n\r\n";
  std::string decoded;
  FUZZ_CHECK(Decode(framed, decoded));
  FUZZ_CHECK(decoded == data);
  return 0;
}
