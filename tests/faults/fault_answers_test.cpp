// Answers as servers, CDNs and proxies really give them: chunked bodies, fields in any letter
// case, LF-only lines, a Content-Range missing, shifted or multipart, redirects, 416, a file
// that changes on the server, errors with Retry-After, a download file gone before its rename;
// and vantreo-fetch's output. Each run ends with the exact file or promptly with its reason.
#include <algorithm>
#include <memory>
#include <mutex>

#include "download/socket_layer.h"
#include "tests/faults/fault_fixture.h"
#include "tests/faults/fetch_runner.h"

using faults::FaultTest;
using faults::HeaderLength;
using faults::Outcome;
using faults::RunTask;
using testing_support::FileReply;
using testing_support::MakeBody;
using testing_support::RangeStartOf;
using testing_support::Reply;

namespace {

SocketLayer socketLayer;

#define ANSWERS_START_ON_PORT_80(server, handler) START_ON_PORT_80_IN(server, handler, 160, 169)

constexpr uint32_t kBodySize = 300001;
constexpr int kSuccessDeadlineMs = 30000;
// A failure that ends the item must do so long before this.
constexpr int kPromptMs = 3000;

// A reply's header lines, each rewritten by `edit` (the status line included).
void EditHeader(Reply& reply, const std::function<std::string(const std::string&)>& edit) {
  const size_t end = HeaderLength(reply) - 2;
  std::string header;
  for (size_t at = 0; at < end;) {
    const size_t next = reply.bytes.find("\r\n", at);
    header += edit(reply.bytes.substr(at, next - at)) + "\r\n";
    at = next + 2;
  }
  reply.bytes = header + reply.bytes.substr(end);
}

std::string Chunk(const std::string& content) {
  std::string out;
  for (size_t at = 0; at < content.size(); at += 7777) {
    const std::string piece = content.substr(at, 7777);
    char size[16];
    std::snprintf(size, sizeof size, "%zx", piece.size());
    out += std::string(size) + "\r\n" + piece + "\r\n";
  }
  return out + "0\r\n\r\n";
}

// Rewrites a file answer's body as chunks; `keepLength` leaves its Content-Length there.
void MakeChunked(Reply& reply, bool keepLength, bool malformed = false) {
  const size_t header = HeaderLength(reply);
  const std::string body = reply.bytes.substr(header);
  reply.bytes.erase(header);
  EditHeader(reply, [keepLength](const std::string& line) {
    if (line.compare(0, 15, "Content-Length:") == 0)
      return keepLength ? line + "\r\nTransfer-Encoding: chunked" : "Transfer-Encoding: chunked";
    return line;
  });
  reply.bytes += malformed ? "zz\r\n" + body : Chunk(body);
}

// What a case does to answer n (0: the size answer) for the bytes from `asked` on.
using Shape = std::function<void(Reply& reply, int n, uint32_t asked, const std::string& body)>;

struct AnswerCase {
  const char* name;
  Shape shape;
  bool succeeds;
};

// The body of `body` from `from` on, under the same header: a server mixing up offsets.
void BodyFrom(Reply& reply, const std::string& body, size_t from) {
  reply.bytes = reply.bytes.substr(0, HeaderLength(reply)) + body.substr(from);
}

const AnswerCase kAnswerCases[] = {
    {"ChunkedPartial",
     [](Reply& r, int n, uint32_t, const std::string&) { if (n > 0) MakeChunked(r, false); }, true},
    {"ChunkedPartialWithLength",
     [](Reply& r, int n, uint32_t, const std::string&) { if (n > 0) MakeChunked(r, true); }, true},
    {"MalformedChunkFirst",
     [](Reply& r, int n, uint32_t, const std::string&) { if (n > 0 && n < 6) MakeChunked(r, false, true); },
     true},
    {"LowerCaseFields",
     [](Reply& r, int, uint32_t, const std::string&) {
       EditHeader(r, [](std::string line) {
         for (size_t i = 0; i < line.find(':') && line.find(':') != std::string::npos; ++i)
           line[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(line[i])));
         return line;
       });
     }, true},
    {"UpperCaseFields",
     [](Reply& r, int, uint32_t, const std::string&) {
       EditHeader(r, [](std::string line) {
         for (size_t i = 0; i < line.find(':') && line.find(':') != std::string::npos; ++i)
           line[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(line[i])));
         return line;
       });
     }, true},
    {"LfOnlyLines",
     [](Reply& r, int, uint32_t, const std::string&) {
       const size_t end = HeaderLength(r);
       std::string header = r.bytes.substr(0, end);
       for (size_t at; (at = header.find("\r\n")) != std::string::npos;) header.erase(at, 1);
       r.bytes = header + r.bytes.substr(end);
     }, true},
    {"OriginalLengthFieldFirst",
     [](Reply& r, int, uint32_t, const std::string&) {
       r.bytes.insert(r.bytes.find("\r\n") + 2, "X-Original-Content-Length: 52000\r\n");
     }, true},
    {"ContentRangeMissingBodyElsewhere",
     [](Reply& r, int n, uint32_t asked, const std::string& body) {
       if (n == 0 || asked == 0 || n > 8) return;
       EditHeader(r, [](const std::string& line) {
         return line.compare(0, 14, "Content-Range:") == 0 ? "X-Was: range" : line;
       });
       BodyFrom(r, body, 0);
     }, true},
    {"ContentRangeShifted",
     [](Reply& r, int n, uint32_t asked, const std::string& body) {
       if (n == 0 || asked == 0 || n > 8) return;
       const size_t from = asked + 100;
       EditHeader(r, [&](const std::string& line) {
         if (line.compare(0, 14, "Content-Range:") != 0) return line;
         return "content-range: bytes " + std::to_string(from) + "-" +
                std::to_string(body.size() - 1) + "/" + std::to_string(body.size());
       });
       BodyFrom(r, body, from);
     }, true},
    {"ContentRangeOfAnotherSize",
     [](Reply& r, int n, uint32_t asked, const std::string& body) {
       if (n == 0 || asked == 0) return;
       EditHeader(r, [&](const std::string& line) {
         if (line.compare(0, 14, "Content-Range:") != 0) return line;
         return "Content-Range: bytes " + std::to_string(asked) + "-" +
                std::to_string(body.size() - 1) + "/" + std::to_string(body.size() + 1);
       });
     }, false},
    {"MultipartForOneRange",
     [](Reply& r, int n, uint32_t asked, const std::string& body) {
       if (n == 0 || asked == 0 || n > 8) return;
       const std::string part = "--B\r\nContent-Range: bytes " + std::to_string(asked) + "-" +
                                std::to_string(body.size() - 1) + "/" +
                                std::to_string(body.size()) + "\r\n\r\n" + body.substr(asked) +
                                "\r\n--B--\r\n";
       r.bytes = "HTTP/1.1 206 Partial Content\r\nContent-Type: multipart/byteranges; "
                 "boundary=B\r\nContent-Length: " + std::to_string(part.size()) + "\r\n\r\n" + part;
     }, true},
    {"DisagreeingLengths",
     [](Reply& r, int, uint32_t, const std::string&) {
       r.bytes.insert(r.bytes.find("\r\n") + 2, "Content-Length: 5\r\n");
     }, false},
};

class AnswerTest : public FaultTest, public ::testing::WithParamInterface<AnswerCase> {
 protected:
  void Serve(Shape shape, const std::string& served) {
    auto count = std::make_shared<std::atomic<int>>(0);
    testing_support::Handler handler = [shape, served, count](const std::string& request, int) {
      Reply reply = FileReply(request, served);
      const long range = RangeStartOf(request);
      shape(reply, count->fetch_add(1), range > 0 ? static_cast<uint32_t>(range) : 0, served);
      return reply;
    };
    ANSWERS_START_ON_PORT_80(server, handler);
  }
  const std::string body = MakeBody(kBodySize, 41);
};

TEST_P(AnswerTest, ExactFileOrCleanFailure) {
  ASSERT_NO_FATAL_FAILURE(Serve(GetParam().shape, body));
  DownloadTask task(faults::kSegments);
  AddItem(task, server.Address());
  const Outcome outcome = RunTask(task, GetParam().succeeds ? kSuccessDeadlineMs : 2000);
  if (GetParam().succeeds) {
    ExpectExactFile(outcome, task, body);
  } else {
    ExpectCleanFailure(outcome, task);
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, AnswerTest, ::testing::ValuesIn(kAnswerCases),
                         [](const ::testing::TestParamInfo<AnswerCase>& info) {
                           return std::string(info.param.name);
                         });

// --- Ends with its reason -------------------------------------------------------------------

class EndingTest : public AnswerTest {
 protected:
  // Runs the task; it must end on its own (not at the deadline) within kPromptMs.
  void ExpectPromptEnd(DownloadTask& task, DownloadErrorKind kind, const std::string& reason) {
    AddItem(task, server.Address());
    const auto start = faults::Clock::now();
    task.Start();
    while (task.IsRunning() && faults::MillisecondsSince(start) < 20000)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const long took = faults::MillisecondsSince(start);
    EXPECT_LT(took, kPromptMs) << "ended only at the deadline";
    EXPECT_TRUE(task.HasFailed());
    EXPECT_EQ(task.LastError().kind, kind) << task.LastError().reason;
    EXPECT_NE(task.LastError().reason.find(reason), std::string::npos) << task.LastError().reason;
    task.Stop();
    ExpectCleanFailure(Outcome::Failed, task);
  }
};

TEST_F(EndingTest, NotFoundEndsAtOnce) {
  ASSERT_NO_FATAL_FAILURE(Serve([](Reply& r, int, uint32_t, const std::string&) {
    r.bytes = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
  }, body));
  DownloadTask task(faults::kSegments);
  ExpectPromptEnd(task, DownloadErrorKind::Status, "status 404");
  EXPECT_EQ(server.Requests().size(), 1u);
}

TEST_F(EndingTest, RangeNotSatisfiableTwiceEnds) {
  ASSERT_NO_FATAL_FAILURE(Serve([](Reply& r, int n, uint32_t asked, const std::string&) {
    if (n > 0 && asked > 0) r.bytes = "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 0\r\n\r\n";
  }, body));
  DownloadTask task(faults::kSegments);
  ExpectPromptEnd(task, DownloadErrorKind::Status, "status 416, again after starting over");
}

TEST_F(EndingTest, SizeChangingEveryTimeEndsAfterTwoStartOvers) {
  auto sizes = std::make_shared<std::atomic<int>>(0);
  testing_support::Handler handler = [sizes](const std::string& request, int) {
    // Each size request finds a file one byte longer than the one before.
    const int version = RangeStartOf(request) < 0 ? sizes->fetch_add(1) + 1 : sizes->load();
    return FileReply(request, MakeBody(kBodySize + static_cast<uint32_t>(version), 7));
  };
  ANSWERS_START_ON_PORT_80(server, handler);
  DownloadTask task(faults::kSegments);
  ExpectPromptEnd(task, DownloadErrorKind::SizeChanged, "again after starting over");
}

TEST_F(EndingTest, RedirectsThatCannotBeFollowed) {
  struct Case {
    const char* location;
    const char* reason;
  };
  for (const Case& c : {Case{"ftp://secure.example/f.bin", "not an http or https address"},
                        Case{"http://127.0.0.1:65536/f.bin", "not an http or https address"},
                        Case{"/loop.bin", "more than 5 redirects"}}) {
    SCOPED_TRACE(c.location);
    server.Stop();
    const std::string location = c.location;
    ASSERT_NO_FATAL_FAILURE(Serve([location](Reply& r, int, uint32_t, const std::string&) {
      r.bytes = "HTTP/1.1 302 Found\r\nLocation: " + location + "\r\nContent-Length: 0\r\n\r\n";
    }, body));
    DownloadTask task(faults::kSegments);
    ExpectPromptEnd(task, DownloadErrorKind::Redirect, c.reason);
  }
}

// --- Recovered ------------------------------------------------------------------------------

TEST_F(AnswerTest, RedirectChainIsFollowedAndTheSegmentsUseTheFinalUrl) {
  testing_support::Handler handler = [this](const std::string& request, int) {
    const std::string line = request.substr(0, request.find("\r\n"));
    Reply reply;
    auto redirect = [&reply](const char* status, const std::string& to) {
      reply.bytes = std::string("HTTP/1.1 ") + status + "\r\nlocation: " + to + "\r\n\r\n";
    };
    if (line.find("/files/") != std::string::npos) {
      redirect("301 Moved Permanently", "http://" + server.Address() + ":80/a/first.bin");
    } else if (line.find("/a/first.bin") != std::string::npos) {
      redirect("302 Found", "/b/second.bin");       // relative to the host
    } else if (line.find("/b/second.bin") != std::string::npos) {
      redirect("307 Temporary Redirect", "c/final.bin?v=1");  // relative to the folder
    } else if (line.find("/b/c/final.bin?v=1 ") != std::string::npos) {
      reply = FileReply(request, body);
    } else {
      reply.bytes = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    }
    return reply;
  };
  ANSWERS_START_ON_PORT_80(server, handler);
  DownloadTask task(faults::kSegments);
  AddItem(task, server.Address());
  ExpectExactFile(RunTask(task, kSuccessDeadlineMs), task, body);
  const std::vector<std::string> requests = server.Requests();
  ASSERT_EQ(requests.size(), 4u + faults::kSegments);
  for (size_t i = 4; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].find("GET http://" + server.Address() + "/b/c/final.bin?v=1 HTTP/1.1\r\n"),
              0u) << requests[i];
  }
}

TEST_F(AnswerTest, FileChangedOnceIsLearnedAgainAndDownloadedWhole) {
  const std::string replacement = MakeBody(kBodySize + 4000, 12);
  auto requests = std::make_shared<std::atomic<int>>(0);
  testing_support::Handler handler = [this, replacement, requests](const std::string& request,
                                                                    int) {
    return FileReply(request, requests->fetch_add(1) == 0 ? body : replacement);
  };
  ANSWERS_START_ON_PORT_80(server, handler);
  DownloadTask task(faults::kSegments);
  AddItem(task, server.Address());
  ExpectExactFile(RunTask(task, kSuccessDeadlineMs), task, replacement);
}

TEST_F(AnswerTest, RetryAfterIsHonoured) {
  std::vector<faults::Clock::time_point> sizeRequests;
  std::mutex mutex;
  testing_support::Handler handler = [&](const std::string& request, int) {
    std::lock_guard<std::mutex> lock(mutex);
    if (RangeStartOf(request) < 0 && sizeRequests.size() < 2) {
      sizeRequests.push_back(faults::Clock::now());
      Reply reply;
      reply.bytes = "HTTP/1.1 503 Busy\r\nRetry-After: 1\r\nContent-Length: 0\r\n\r\n";
      return reply;
    }
    if (RangeStartOf(request) < 0) sizeRequests.push_back(faults::Clock::now());
    return FileReply(request, body);
  };
  ANSWERS_START_ON_PORT_80(server, handler);
  DownloadTask task(faults::kSegments);
  AddItem(task, server.Address());  // retry pauses of 50 ms, which the server's 1 s overrules
  ExpectExactFile(RunTask(task, kSuccessDeadlineMs), task, body);
  server.Stop();
  ASSERT_GE(sizeRequests.size(), 3u);
  for (int i = 1; i < 3; ++i) {
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(sizeRequests[i] -
                                                                    sizeRequests[i - 1]).count(),
              900);
  }
}

// "Retry-After: 0" from a busy server, to the size request or to a range request: the pauses
// between its requests grow as the back-off's do (here 50 ms, then up to 400 ms), never one
// request per poll for ever.
TEST_F(AnswerTest, RetryAfterZeroNeverShortensOrStopsTheBackOff) {
  const uint32_t segmentStart = kBodySize / faults::kSegments;
  for (const bool sizeRequest : {true, false}) {
    SCOPED_TRACE(sizeRequest ? "size request" : "range request");
    std::vector<faults::Clock::time_point> times;
    std::mutex mutex;
    testing_support::Handler handler = [&](const std::string& request, int) {
      std::lock_guard<std::mutex> lock(mutex);
      const long start = RangeStartOf(request);
      const bool busy = sizeRequest ? start < 0 : start > 0;
      if (!busy) return FileReply(request, body);
      if (sizeRequest || start == static_cast<long>(segmentStart))
        times.push_back(faults::Clock::now());
      Reply reply;
      reply.bytes = "HTTP/1.1 503 Busy\r\nRetry-After: 0\r\nContent-Length: 0\r\n\r\n";
      return reply;
    };
    ANSWERS_START_ON_PORT_80(server, handler);
    DownloadTask task(faults::kSegments);
    AddItem(task, server.Address());
    task.Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    task.Stop();
    server.Stop();
    ASSERT_GE(times.size(), 4u);
    EXPECT_LE(times.size(), 12u);
    // Once grown, the back-off stays at its longest (400 ms, less a quarter at most).
    for (size_t i = times.size() - 2; i < times.size(); ++i) {
      EXPECT_GE(times[i] - times[i - 1], std::chrono::milliseconds(290)) << "request " << i;
    }
  }
}

// A task whose download file is taken away just before its rename, as a temp cleaner or a
// scanner's quarantine would: the file is downloaded once more, under the same name.
class FileCleanerTask : public DownloadTask {
 public:
  FileCleanerTask() : DownloadTask(faults::kSegments) {}
  ~FileCleanerTask() override { Stop(); }
  std::atomic<int> commits{0};

 protected:
  void BeforeCommit(const DownloadItem& item) override {
    if (commits.fetch_add(1) == 0) std::remove(DownloadPath(item.localPath).c_str());
  }
};

TEST_F(AnswerTest, DownloadFileTakenBeforeItsRenameIsFetchedAgain) {
  ASSERT_NO_FATAL_FAILURE(Serve([](Reply&, int, uint32_t, const std::string&) {}, body));
  FileCleanerTask task;
  AddItem(task, server.Address());
  ExpectExactFile(RunTask(task, kSuccessDeadlineMs), task, body);
  EXPECT_EQ(task.ItemAt(0)->localPath, temp + fileName) << "no \"_tmp\" name for a lost file";
  EXPECT_EQ(task.commits.load(), 2);
  EXPECT_EQ(server.Requests().size(), 2u * (1 + faults::kSegments));
}

// --- vantreo-fetch --------------------------------------------------------------------------

TEST_F(AnswerTest, FetchToolOutputAndPromptEnds) {
  const std::string tool = faults::FetchTool();
  ASSERT_FALSE(tool.empty()) << "VANTREO_FETCH names the tool under test";
  // Three bytes in four segments: three empty segments, each "done" at once.
  ASSERT_NO_FATAL_FAILURE(Serve([](Reply&, int, uint32_t, const std::string&) {}, "abc"));
  faults::ChildResult result = faults::RunChild({tool, Url(server.Address())}, {}, 20000);
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out, "saved: " + temp + fileName + "\n") << "only its own line";
  std::remove((temp + fileName).c_str());

  // A server that falls silent after a few body bytes: the deadline ends it on time.
  server.Stop();
  ASSERT_NO_FATAL_FAILURE(Serve([](Reply& r, int, uint32_t, const std::string&) {
    r.pauseAfter = HeaderLength(r) + 10;
    r.pauseMs = 20000;
  }, body));
  result = faults::RunChild({tool, "--deadline", "2", Url(server.Address())}, {}, 20000);
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_LT(result.wallSeconds, 2.5) << "the deadline of 2 s took " << result.wallSeconds << " s";
  EXPECT_EQ(result.out, "");
  std::printf("--deadline 2 on a silent server ended after %.2f s\n", result.wallSeconds);

  // A missing file: one line naming the cause, at once.
  server.Stop();
  ASSERT_NO_FATAL_FAILURE(Serve([](Reply& r, int, uint32_t, const std::string&) {
    r.bytes = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
  }, body));
  result = faults::RunChild({tool, Url(server.Address())}, {}, 20000);
  EXPECT_EQ(result.exitCode, 1);
  const std::string message = "vantreo-fetch: the server answered with status 404\n";
  ASSERT_GE(result.err.size(), message.size());
  EXPECT_EQ(result.err.substr(result.err.size() - message.size()), message) << result.err;
  EXPECT_EQ(result.err.find("vantreo-fetch:"), result.err.size() - message.size()) << "one line";
  EXPECT_LT(result.wallSeconds, 2.0);
}

}  // namespace
