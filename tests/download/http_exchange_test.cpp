// One GET exchange: the request exactly as it goes on the wire, the status test, and the
// length field as the size request reads it.
#include <gtest/gtest.h>

#include "download/http_answer.h"
#include "download/socket_layer.h"
#include "tests/download/downloader_probe.h"
#include "tests/support/test_server.h"

using testing_support::Reply;
using testing_support::TestServer;

namespace {

SocketLayer socketLayer;

const char kUserAgentLine[] =
    "User-Agent: Mozilla/4.0 \t\t(compatible; MSIE 5.0; Windows NT; DigExt; DTS Agent;)\r\n";

class SendRequestTest : public ::testing::Test {
 protected:
  // Serves one scripted answer, sends a request for http://h.example/dir/f.exe from `offset`
  // and returns SendRequest's result.
  bool Exchange(const std::string& answer, uint32_t offset = 0) {
    if (!server.Start("127.0.0.1", 0, [answer](const std::string&, int) {
          Reply reply;
          reply.bytes = answer;
          return reply;
        }))
      return false;
    socket = DownloaderProbe::ConnectDirect("127.0.0.1", server.Port());
    if (!socket.IsValid()) return false;
    return downloader.SendRequest(socket, "h.example", "http://h.example/dir/", "f.exe", offset);
  }

  std::string Request() {
    server.WaitForRequests(1, 5000);
    return server.Requests().empty() ? std::string() : server.Requests()[0];
  }

  TestServer server;
  DownloaderProbe downloader;
  platform::Socket socket;
};

TEST_F(SendRequestTest, WholeFileRequestHasSixLinesAndNoRange) {
  ASSERT_TRUE(Exchange("HTTP/1.1 200 OK\r\nContent-Length: 4096\r\n\r\n"));
  EXPECT_EQ(sizeof kUserAgentLine - 1, 82u);
  EXPECT_EQ(Request(), std::string("GET http://h.example/dir/f.exe HTTP/1.1\r\n"
                                   "Host: h.example\r\n"
                                   "Accept: \r\n"
                                   "Referer: http://h.example/dir/\r\n") +
                           kUserAgentLine + "\r\n");
  EXPECT_EQ(downloader.GetTotalSize(), 4096u);
}

TEST_F(SendRequestTest, RangeLineSitsBetweenUserAgentAndBlankLine) {
  ASSERT_TRUE(Exchange("HTTP/1.1 206 Partial Content\r\nContent-Length: 96\r\n\r\n", 1000));
  EXPECT_EQ(Request(), std::string("GET http://h.example/dir/f.exe HTTP/1.1\r\n"
                                   "Host: h.example\r\n"
                                   "Accept: \r\n"
                                   "Referer: http://h.example/dir/\r\n") +
                           kUserAgentLine + "Range: bytes=1000-\r\n\r\n");
}

TEST_F(SendRequestTest, LeavesSocketAtFirstBodyByte) {
  ASSERT_TRUE(Exchange("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nBODY"));
  char body[8] = {};
  EXPECT_EQ(platform::ReceiveBytes(socket.Handle(), body, 4), 4);
  EXPECT_STREQ(body, "BODY");
}

TEST_F(SendRequestTest, StatusLineDecides) {
  struct Case {
    const char* answer;
    bool passes;
  };
  const Case cases[] = {
      {"HTTP/1.1 200 OK\r\n\r\n", true},
      {"HTTP/1.1 206 Partial Content\r\n\r\n", true},
      {"HTTP/1.1 204 No Content\r\n\r\n", true},
      {"HTTP/1.1 302 Found\r\nLocation: http://x/\r\n\r\n", false},
      {"HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\n", false},
      {"HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\n", false},
      {" HTTP/1.1 200 OK\r\n\r\n", false},
      {"http/1.1 200 OK\r\n\r\n", false},
      {"HTTP/1.1 2", false},  // closed before the status was whole
      {"", false},
  };
  for (const Case& c : cases) {
    server.Stop();
    DownloaderProbe fresh;
    ASSERT_TRUE(server.Start("127.0.0.1", 0, [&c](const std::string&, int) {
      Reply reply;
      reply.bytes = c.answer;
      return reply;
    }));
    platform::Socket connection = DownloaderProbe::ConnectDirect("127.0.0.1", server.Port());
    ASSERT_TRUE(connection.IsValid());
    EXPECT_EQ(fresh.SendRequest(connection, "h", "http://h/", "f", 0), c.passes) << c.answer;
    // The caller keeps the socket whatever the answer.
    EXPECT_TRUE(connection.IsValid()) << c.answer;
    EXPECT_EQ(fresh.GetTotalSize(), 0u) << c.answer;
  }
}

TEST_F(SendRequestTest, ServerIgnoringRangePasses) {
  EXPECT_TRUE(Exchange("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n", 1000));
}

TEST_F(SendRequestTest, FirstAnsweredLengthFixesTotalSize) {
  ASSERT_TRUE(Exchange("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n"));
  platform::Socket again = DownloaderProbe::ConnectDirect("127.0.0.1", server.Port());
  ASSERT_TRUE(downloader.SendRequest(again, "h", "http://h/", "f", 100));
  EXPECT_EQ(downloader.GetTotalSize(), 5000u);
}

TEST_F(SendRequestTest, LengthFieldInAnyLetterCaseAndLfOnlyLinesGiveTheSize) {
  ASSERT_TRUE(Exchange("HTTP/1.1 200 OK\ncontent-LENGTH: 4096\n\nBODY"));
  EXPECT_EQ(downloader.GetTotalSize(), 4096u);
  char body[8] = {};
  EXPECT_EQ(platform::ReceiveBytes(socket.Handle(), body, 4), 4) << "the header ends at LF LF";
  EXPECT_STREQ(body, "BODY");
}

TEST(SendRequest, FailedSendClosesSocketAndFails) {
  DownloaderProbe downloader;
  platform::Socket socket(platform::OpenTcpSocket());  // never connected
  EXPECT_FALSE(downloader.SendRequest(socket, "h", "http://h/", "f", 0));
  EXPECT_FALSE(socket.IsValid());
}

TEST(ParseContentLength, ReadsLikeAtoi) {
  struct Case {
    const char* header;
    int value;
  };
  const Case cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 4096\r\n\r\n", 4096},
      {"HTTP/1.1 200 OK\r\nContent-Length: 4096", 4096},    // cut off without CR LF
      {"HTTP/1.1 200 OK\r\nContent-Length:77\r\n\r\n", 77},
      {"HTTP/1.1 200 OK\r\ncontent-length: 4096\r\n\r\n", 4096},   // names ignore case
      {"HTTP/1.1 200 OK\nCONTENT-LENGTH:  4096 \n\n", 4096},      // LF-only lines
      {"HTTP/1.1 200 OK\r\n\r\n", 0},
      {"Content-Length: 12\r\nContent-Length: 34\r\n", 12},  // the first one counts
      {"Content-Length: -5\r\n", -5},
      {"Content-Length: +5\r\n", 5},
      {"Content-Length: 12ab\r\n", 12},
      {"Content-Length: abc\r\n", 0},
      {"Content-Length: \r\n5\r\n", 0},                     // nothing before the CR LF
      {"Content-Length:\t 2147483647\r\n", 2147483647},
      {"Content-Length: 99999999999999\r\n", 2147483647},    // saturates, never overflows
      {"Content-Length: -99999999999999\r\n", -2147483647 - 1},
      {"X-Content-Length: 9\r\n", 0},                       // whole names only
      {"X-Original-Content-Length: 52000\r\nContent-Length: 7\r\n", 7},
      {"Content-Length : 9\r\n", 0},                      // no blank before the colon
      {"HTTP/1.1 200 Content-Length: 9\r\n\r\n", 0},      // inside the status line
  };
  for (const Case& c : cases) EXPECT_EQ(DownloaderProbe::ParseContentLength(c.header), c.value) << c.header;
}

TEST(ParseFileSize, AcceptsOnlyPlainSizesBelow63Bits) {
  struct Case {
    const char* header;
    bool valid;
    uint64_t size;
  };
  const Case cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 4096\r\n\r\n", true, 4096},
      {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", true, 0},
      {"HTTP/1.1 200 OK\r\nContent-Length:\t12 \r\n\r\n", true, 12},
      {"HTTP/1.1 200 OK\r\nContent-Length: 2147483647\r\n\r\n", true, 2147483647u},
      {"HTTP/1.1 200 OK\r\nContent-Length: 4294967296\r\n\r\n", true, 4294967296u},
      {"HTTP/1.1 200 OK\r\nContent-Length: 9223372036854775807\r\n\r\n", false, 0},
      {"HTTP/1.1 200 OK\r\nContent-Length: 9223372036854775808\r\n\r\n", false, 0},
      {"HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n", false, 0},
      {"HTTP/1.1 200 OK\r\nContent-Length: +1\r\n\r\n", false, 0},
      {"HTTP/1.1 200 OK\r\nContent-Length: abc\r\n\r\n", false, 0},
      {"HTTP/1.1 200 OK\r\nContent-Length: 12ab\r\n\r\n", false, 0},
      {"HTTP/1.1 200 OK\r\nContent-Length: \r\n\r\n", false, 0},
      {"HTTP/1.1 200 OK\r\nContent-Length: 4096", false, 0},  // cut off: maybe more digits
      {"HTTP/1.1 200 OK\r\ncontent-length: 4096\r\n\r\n", true, 4096},
      {"HTTP/1.1 200 OK\nContent-Length: 4096\n\n", true, 4096},
      {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\n", true, 5},
      {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\ncontent-length: 6\r\n\r\n", false, 0},
      {"HTTP/1.1 200 OK\r\nX-Original-Content-Length: 52000\r\n\r\n", false, 0},
      {"HTTP/1.1 200 OK\r\n\r\n", false, 0},
  };
  for (const Case& c : cases) {
    uint64_t size = 12345;
    EXPECT_EQ(ParseFileSize(c.header, size), c.valid) << c.header;
    if (c.valid) {
      EXPECT_EQ(size, c.size) << c.header;
    }
  }
}

TEST(ResponseHeaderParser, ReadsFieldsAsServersSendThem) {
  struct Case {
    const char* text;
    bool complete;
    int status;
    const char* name;   // the field looked up
    const char* value;  // its value, or nullptr when it must not be found
  };
  const Case cases[] = {
      {"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 5-9/10\r\n\r\n", true, 206,
       "content-range", "bytes 5-9/10"},
      {"HTTP/1.1 200 OK\nLOCATION:   http://h/x \t\n\n", true, 200, "Location", "http://h/x"},
      {"HTTP/1.1 200 OK\r\nX-Content-Range: bytes 0-1/2\r\n\r\n", true, 200,
       "Content-Range", nullptr},
      {"HTTP/1.1 200 OK\r\nContent-Range : bytes 0-1/2\r\n\r\n", true, 200, "Content-Range",
       nullptr},
      {"HTTP/1.1 200 OK\r\n folded: no\r\n\r\n", true, 200, "folded", nullptr},
      {"HTTP/1.1 200 OK\r\nRetry-After: 5\r\n", false, 200, "Retry-After", "5"},
      {"HTTP/1.1 200 OK\r\n\r\nLocation: in-the-body\r\n", true, 200, "Location", nullptr},
      {"HTTP/1.0 200 OK\r\n\r\n", true, 200, "x", nullptr},
      {"HTTP/1.1 2000 OK\r\n\r\n", true, 0, "x", nullptr},
      {"HTTP/1.1 302\r\nLocation: /a\r\n\r\n", true, 302, "location", "/a"},
      {"", false, 0, "x", nullptr},
  };
  for (const Case& c : cases) {
    const ResponseHeader header = ParseResponseHeader(c.text);
    EXPECT_EQ(header.complete, c.complete) << c.text;
    EXPECT_EQ(header.status, c.status) << c.text;
    const HttpField* field = header.Find(c.name);
    if (c.value == nullptr) {
      EXPECT_EQ(field, nullptr) << c.text;
    } else {
      ASSERT_NE(field, nullptr) << c.text;
      EXPECT_EQ(field->value, c.value) << c.text;
    }
  }
}

TEST(ResponseHeaderParser, RangesCodingsAndRetryHints) {
  struct RangeCase {
    const char* value;
    bool valid;
    uint64_t first, last, total;
  };
  const RangeCase ranges[] = {
      {"bytes 100-199/200", true, 100, 199, 200},
      {"BYTES 0-0/*", true, 0, 0, kUnknownTotal},
      {"bytes 100-199/150", false, 0, 0, 0},  // ends past the file
      {"bytes 200-100/300", false, 0, 0, 0},
      {"bytes */300", false, 0, 0, 0},        // the form of a refusal
      {"bytes 1-2/3, 5-6/7", false, 0, 0, 0},
      {"items 1-2/3", false, 0, 0, 0},
      {"bytes -1-2/3", false, 0, 0, 0},
  };
  for (const RangeCase& c : ranges) {
    ContentRange range;
    EXPECT_EQ(ParseContentRange(c.value, range), c.valid) << c.value;
    if (c.valid) {
      EXPECT_EQ(range.first, c.first) << c.value;
      EXPECT_EQ(range.last, c.last) << c.value;
      EXPECT_EQ(range.total, c.total) << c.value;
    }
  }
  struct CodingCase {
    const char* text;
    BodyCoding coding;
    int retryAfter;
    bool multipart;
  };
  const CodingCase codings[] = {
      {"HTTP/1.1 200 OK\r\n\r\n", BodyCoding::Identity, -1, false},
      {"HTTP/1.1 200 OK\r\ntransfer-encoding:  Chunked\r\n\r\n", BodyCoding::Chunked, -1, false},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", BodyCoding::Unsupported,
       -1, false},
      {"HTTP/1.1 503 X\r\nRetry-After: 7\r\n\r\n", BodyCoding::Identity, 7, false},
      {"HTTP/1.1 503 X\r\nRetry-After: 3600\r\n\r\n", BodyCoding::Identity, 60, false},
      {"HTTP/1.1 503 X\r\nRetry-After: Fri, 31 Dec 1999 23:59:59 GMT\r\n\r\n",
       BodyCoding::Identity, -1, false},
      {"HTTP/1.1 206 P\r\nContent-Type: Multipart/ByteRanges; boundary=b\r\n\r\n",
       BodyCoding::Identity, -1, true},
  };
  for (const CodingCase& c : codings) {
    const ResponseHeader header = ParseResponseHeader(c.text);
    EXPECT_EQ(BodyCodingOf(header), c.coding) << c.text;
    EXPECT_EQ(RetryAfterSeconds(header), c.retryAfter) << c.text;
    EXPECT_EQ(IsMultipart(header), c.multipart) << c.text;
  }
}

TEST(RedirectTarget, AbsoluteAndRelativeHttpOnPort80Only) {
  struct Case {
    const char* location;
    const char* url;  // the next request's target; nullptr: not followed
    const char* host;
  };
  const Case cases[] = {
      {"http://b.example/x/f.exe", "http://b.example/x/f.exe", "b.example"},
      {"HTTP://b.example:80/f.exe", "http://b.example/f.exe", "b.example"},
      {"http://b.example", "http://b.example/", "b.example"},
      {"//c.example/g.exe", "http://c.example/g.exe", "c.example"},
      {"/root/g.exe", "http://h.example/root/g.exe", "h.example"},
      {"sub/g.exe?v=1/2", "http://h.example/dir/sub/g.exe?v=1/2", "h.example"},
      {"g.exe#part", "http://h.example/dir/g.exe", "h.example"},
      {"https://b.example/f.exe", nullptr, nullptr},
      {"http://b.example:8080/f.exe", nullptr, nullptr},
      {"ftp://b.example/f.exe", nullptr, nullptr},
      {"http://user@b.example/f.exe", nullptr, nullptr},
      {"http:///f.exe", nullptr, nullptr},
      {"/a b.exe", nullptr, nullptr},
      {"", nullptr, nullptr},
  };
  for (const Case& c : cases) {
    std::string host = "h.example";
    std::string prefix = "http://h.example/dir/";
    std::string name = "f.exe";
    const bool followed = FollowLocation(c.location, host, prefix, name);
    EXPECT_EQ(followed, c.url != nullptr) << c.location;
    if (!followed || c.url == nullptr) continue;
    EXPECT_EQ(prefix + name, c.url) << c.location;
    EXPECT_EQ(prefix.back(), '/') << c.location;
    EXPECT_EQ(host, c.host) << c.location;
  }
}

TEST(RedirectTarget, HttpAndHttpsOnAnyPortFromAnHttpsPage) {
  struct Case {
    const char* location;
    const char* url;  // nullptr: not followed
    bool secure;
    int port;
  };
  const Case cases[] = {
      {"//c.example/g.exe", "https://c.example/g.exe", true, 443},
      {"/g.exe", "https://h.example:8443/g.exe", true, 8443},
      {"g.exe", "https://h.example:8443/dir/g.exe", true, 8443},
      {"HTTPS://b.example:443/f.exe", "https://b.example/f.exe", true, 443},
      {"https://b.example:4431/f.exe", "https://b.example:4431/f.exe", true, 4431},
      {"http://b.example/f.exe", "http://b.example/f.exe", false, 80},
      {"http://b.example:443/f.exe", "http://b.example:443/f.exe", false, 443},
      {"https://b.example:0/f.exe", nullptr, true, 0},
      {"https://b.example:99999/f.exe", nullptr, true, 0},
      {"https://b.example:x/f.exe", nullptr, true, 0},
  };
  for (const Case& c : cases) {
    ServerAddress server{"h.example", 8443, true};
    std::string prefix = "https://h.example:8443/dir/";
    std::string name = "f.exe";
    const bool followed = FollowLocation(c.location, server, prefix, name);
    EXPECT_EQ(followed, c.url != nullptr) << c.location;
    if (!followed || c.url == nullptr) continue;
    EXPECT_EQ(prefix + name, c.url) << c.location;
    EXPECT_EQ(server.secure, c.secure) << c.location;
    EXPECT_EQ(server.port, c.port) << c.location;
    EXPECT_EQ(IsSecureAddress(prefix), c.secure) << c.location;
  }
}

TEST(RangeAnswer, CheckedBeforeAByteIsWritten) {
  struct Case {
    const char* header;
    uint32_t offset;
    DownloadErrorKind error;
    uint64_t skip;
  };
  // A file of 1000 bytes, asked for from `offset` on.
  const Case cases[] = {
      {"HTTP/1.1 206 P\r\nContent-Range: bytes 400-999/1000\r\n\r\n", 400,
       DownloadErrorKind::None, 0},
      {"HTTP/1.1 206 P\r\ncontent-range: bytes 400-999/*\r\n\r\n", 400,
       DownloadErrorKind::None, 0},
      {"HTTP/1.1 206 P\r\nContent-Range: bytes 0-999/1000\r\n\r\n", 400,
       DownloadErrorKind::BadRange, 0},
      {"HTTP/1.1 206 P\r\nContent-Length: 600\r\n\r\n", 400, DownloadErrorKind::BadRange, 0},
      {"HTTP/1.1 206 P\r\nContent-Type: multipart/byteranges; boundary=x\r\n"
       "Content-Range: bytes 400-999/1000\r\n\r\n", 400, DownloadErrorKind::BadRange, 0},
      {"HTTP/1.1 206 P\r\nContent-Range: bytes 400-1099/1100\r\n\r\n", 400,
       DownloadErrorKind::SizeChanged, 0},
      {"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n", 400, DownloadErrorKind::None, 400},
      {"HTTP/1.1 200 OK\r\nContent-Length: 1200\r\n\r\n", 400,
       DownloadErrorKind::SizeChanged, 0},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", 400, DownloadErrorKind::None,
       400},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\n", 0, DownloadErrorKind::BadAnswer,
       0},
      {"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\nContent-Length: 999\r\n\r\n", 0,
       DownloadErrorKind::BadAnswer, 0},
      {"HTTP/1.1 204 No Content\r\n\r\n", 0, DownloadErrorKind::Status, 0},
  };
  for (const Case& c : cases) {
    BodyPlan plan;
    const DownloadError error = PlanBody(ParseResponseHeader(c.header), c.offset, 1000, plan);
    EXPECT_EQ(error.kind, c.error) << c.header;
    if (!error.Failed()) {
      EXPECT_EQ(plan.skip, c.skip) << c.header;
    }
  }
}

// A request to a proxy in absolute form: its credentials go along, and its own refusals are
// errors of their own kind naming it; other statuses stay the server's, the proxy named.
TEST(RequestThroughProxy, CredentialsGoAlongAndRefusalsNameTheProxy) {
  struct Case {
    const char* answer;
    bool viaProxy;
    DownloadErrorKind kind;
    int status;
    bool permanent;
    const char* reason;
  };
  const Case cases[] = {
      {"HTTP/1.1 407 Proxy Authentication Required\r\n\r\n", true, DownloadErrorKind::Proxy, 407,
       true, "the proxy p.example:3128 asks for a sign-in (status 407)"},
      {"HTTP/1.0 502 Bad Gateway\r\n\r\n", true, DownloadErrorKind::Proxy, 502, false,
       "the proxy p.example:3128 cannot reach the server (status 502)"},
      {"HTTP/1.1 404 Not Found\r\n\r\n", true, DownloadErrorKind::Status, 404, true,
       "the server answered with status 404 (through the proxy p.example:3128)"},
      {"HTTP/1.1 407 Proxy Authentication Required\r\n\r\n", false, DownloadErrorKind::Status, 407,
       true, "the server answered with status 407"},
  };
  for (const Case& c : cases) {
    TestServer server;
    ASSERT_TRUE(server.Start("127.0.0.1", 0, [&c](const std::string&, int) {
      Reply reply;
      reply.bytes = c.answer;
      return reply;
    }));
    Connection connection(DownloaderProbe::ConnectDirect("127.0.0.1", server.Port()));
    if (c.viaProxy) connection.SetProxy("p.example:3128", "Proxy-Authorization: Basic dTpw\r\n");
    std::string header;
    const DownloadError error = DownloaderProbe::RequestFile(
        connection, "h.example", "http://h.example/dir/", "f.exe", 0, header);
    EXPECT_EQ(error.kind, c.kind) << c.answer;
    EXPECT_EQ(error.status, c.status) << c.answer;
    EXPECT_EQ(error.IsPermanent(), c.permanent) << c.answer;
    EXPECT_EQ(error.reason, c.reason);
    ASSERT_TRUE(server.WaitForRequests(1, 5000));
    const std::string sent = server.Requests()[0];
    EXPECT_EQ(sent.find("\r\nProxy-Authorization: Basic dTpw\r\n") != std::string::npos, c.viaProxy)
        << sent;
  }
}

}  // namespace
