// Whatever a server answers: the response header is read from a real socket byte by byte and
// its status tested; not a byte of the body may be taken with it.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include "tests/fuzz/fuzz_check.h"

namespace {

// Larger inputs could fill the socket buffer before anyone reads it.
constexpr size_t kMaxInput = 64 * 1024;
const char kExpectedRequest[] =
    "GET http://h/f HTTP/1.1\r\nHost: h\r\nAccept: \r\nReferer: http://h/\r\n"
    "User-Agent: Mozilla/4.0 \t\t(compatible; MSIE 5.0; Windows NT; DigExt; DTS Agent;)\r\n"
    "Range: bytes=1000-\r\n\r\n";

std::string ReadAll(int fd) {
  std::string bytes;
  char buffer[4096];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) bytes.append(buffer, static_cast<size_t>(got));
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size > kMaxInput) return 0;
  const std::string data(reinterpret_cast<const char*>(bytes), size);
  int ends[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0);
  Connection client{platform::Socket(ends[0])};
  FUZZ_CHECK(write(ends[1], data.data(), data.size()) == static_cast<ssize_t>(data.size()));
  shutdown(ends[1], SHUT_WR);

  std::string header;
  const bool accepted =
      !FuzzDownloader::RequestFile(client, "h", "http://h/", "f", 1000, header).Failed();
  FUZZ_CHECK(client.IsOpen());

  // Not a byte beyond the header was taken from the socket: the rest is still there.
  const size_t expectedLength = ExpectedHeaderLength(data);
  FUZZ_CHECK(header.size() == expectedLength);
  shutdown(ends[0], SHUT_WR);
  FUZZ_CHECK(header + ReadAll(ends[0]) == data);
  FUZZ_CHECK(ReadAll(ends[1]) == kExpectedRequest);
  close(ends[1]);

  // Accepted: a whole header whose status line is HTTP/1.1 and a 20x code.
  const ResponseHeader parsed = ParseResponseHeader(header);
  FUZZ_CHECK(accepted == (parsed.complete && header.compare(0, 11, "HTTP/1.1 20") == 0 &&
                          parsed.statusValid));
  if (parsed.complete) FUZZ_CHECK(EndsHeader(header.data(), header.size()));

  // What the segments read of an answer never goes beyond what it states.
  uint64_t length = 0;
  bool bad = false;
  if (StatedContentLength(parsed, length, bad)) FUZZ_CHECK(!bad);
  for (const HttpField& field : parsed.fields) {
    FUZZ_CHECK(!field.name.empty() && field.name.find(':') == std::string::npos);
    FUZZ_CHECK(field.value.find('\n') == std::string::npos);
  }

  // Whatever the header holds, the size the downloader trusts is one the atoi reading agrees
  // with.
  uint64_t fileSize = 0;
  if (ParseFileSize(header, fileSize))
    FUZZ_CHECK(FuzzDownloader::ParseContentLength(header) ==
               static_cast<int>(std::min<uint64_t>(fileSize, INT_MAX)));
  return 0;
}
