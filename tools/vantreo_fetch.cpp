// vantreo-fetch: the install without a window. Downloads one URL with the installer's own
// download task into the temporary folder, optionally starts the file as the installer starts
// its setup program, and waits for it.
//
//   vantreo-fetch [--segments N] [--run "ARGS"] [--sha256 HEX] [--deadline SECONDS]
//                 [--log FILE] [--ca-file PEM] [--proxy URL | --noproxy] URL [URL...]
//
// URL is http:// or https://; several URLs are sources (mirrors) of the one file; --ca-file makes the certificates of PEM the only trusted roots
// of an https download for this run (the build's roots otherwise). --proxy replaces the
// system's proxy settings (Internet Options on Windows; http_proxy, https_proxy and no_proxy
// elsewhere) with one proxy for both schemes; --noproxy connects directly.
//
// A file to run passes the installer's check first (the program format; the build's signature
// and signer pins in the Windows build; the digest given with --sha256 or built in).
// Progress goes to standard error; standard output carries only "saved: <path>". Exit status
// 0 on success, 1 with a one-line message naming the cause on failure, at the deadline or on
// Ctrl-C.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "download/route.h"
#include "download/socket_layer.h"
#include "platform/proxy_rules.h"
#include "platform/console.h"
#include "tasks/download_task.h"
#include "tasks/install_log.h"
#include "tasks/url_utils.h"
#include "tools/fetch_status.h"
#include "wizard/failure_text.h"

namespace {

constexpr int kDefaultSegments = 4;
constexpr double kDefaultDeadlineSeconds = 120;
// Looks at the task this often (a finished task should not wait long to be noticed); the
// progress line changes at most every kRedrawMs.
constexpr int kTickMs = 20;
constexpr int kRedrawMs = 200;

const char kUsage[] =
    "usage: vantreo-fetch [--segments N] [--run \"ARGS\"] [--sha256 HEX] [--deadline SECONDS]\n"
    "                     [--log FILE] [--ca-file PEM] [--proxy URL | --noproxy] URL [URL...]\n"
    "  URL...              several sources of the same file: ranges are spread over them\n"
    "  --segments N        connections per file, 1 to 20 (default 4)\n"
    "  --run \"ARGS\"        start the downloaded file with these arguments and wait for it\n"
    "  --sha256 HEX        the file to run must have this SHA-256\n"
    "  --log FILE          append the installer's log lines to FILE\n"
    "  --deadline SECONDS  give up after this long (default 120)\n"
    "  --ca-file PEM       trust only the root certificates in PEM for an https URL\n"
    "  --proxy URL         go through this proxy ([http://][user:password@]host[:port];\n"
    "                      several separated by \";\" are tried in turn), not the system's\n"
    "  --noproxy           connect directly, whatever the system's proxy settings say\n";

struct Options {
  int segments = kDefaultSegments;
  bool run = false;
  std::string arguments;
  double deadlineSeconds = kDefaultDeadlineSeconds;
  std::string sha256;
  std::string log;
  std::string caFile;
  std::string proxy;
  bool noProxy = false;
  std::string url;
  bool help = false;
};

void Fail(const std::string& message) {
  std::fprintf(stderr, "vantreo-fetch: %s\n", message.c_str());
}

bool ParseNumber(const char* text, double& value) {
  char* end = nullptr;
  value = std::strtod(text, &end);
  return end != text && *end == '\0';
}

// True when every entry of a --proxy value is a proxy's address.
bool ValidProxyList(const std::string& text) {
  const std::vector<std::string> entries = platform::SplitProxyList(text);
  for (const std::string& entry : entries) {
    ProxyServer proxy;
    if (entry != "DIRECT" && !ParseProxy(entry, proxy)) return false;
  }
  return !entries.empty();
}

// False, with a message, when the command line is not usable.
bool ParseOptions(const std::vector<std::string>& arguments, Options& options) {
  const size_t count = arguments.size();
  for (size_t i = 0; i < count; ++i) {
    const std::string& argument = arguments[i];
    const bool hasValue = i + 1 < count;
    double number = 0;
    if (argument == "--segments" && hasValue) {
      if (!ParseNumber(arguments[++i].c_str(), number) || number < 1 || number > kMaxTaskSegments ||
          number != static_cast<int>(number)) {
        Fail("--segments takes a whole number from 1 to 20, not \"" + arguments[i] + "\"");
        return false;
      }
      options.segments = static_cast<int>(number);
    } else if (argument == "--run" && hasValue) {
      options.run = true;
      options.arguments = arguments[++i];
    } else if (argument == "--deadline" && hasValue) {
      if (!ParseNumber(arguments[++i].c_str(), number) || !(number > 0) || number > 1e6) {
        Fail("--deadline takes a number of seconds above 0, not \"" + arguments[i] + "\"");
        return false;
      }
      options.deadlineSeconds = number;
    } else if (argument == "--sha256" && hasValue) {
      options.sha256 = arguments[++i];
      if (options.sha256.size() != 64 ||
          options.sha256.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        Fail("--sha256 takes 64 hex digits, not \"" + options.sha256 + "\"");
        return false;
      }
    } else if (argument == "--log" && hasValue) {
      options.log = arguments[++i];
    } else if (argument == "--ca-file" && hasValue) {
      options.caFile = arguments[++i];
    } else if (argument == "--proxy" && hasValue) {
      options.proxy = arguments[++i];
      if (!ValidProxyList(options.proxy)) {
        Fail("--proxy takes [http://][user:password@]host[:port], not \"" + options.proxy + "\"");
        return false;
      }
    } else if (argument == "--noproxy") {
      options.noProxy = true;
    } else if (argument == "--help" || argument == "-h") {
      options.help = true;
    } else if (argument == "--segments" || argument == "--run" || argument == "--deadline" ||
               argument == "--sha256" || argument == "--log" || argument == "--ca-file" ||
               argument == "--proxy") {
      Fail(argument + " needs a value");
      return false;
    } else if (argument.compare(0, 2, "--") == 0) {
      Fail("unknown option " + argument);
      return false;
    } else if (argument.find(';') != std::string::npos) {
      Fail("give each source as its own argument, not \"" + argument + "\"");
      return false;
    } else {
      // Several URLs are sources of the one file.
      options.url += (options.url.empty() ? "" : ";") + argument;
    }
  }
  if (options.url.empty() && !options.help) {
    Fail("no URL given");
    return false;
  }
  if (options.noProxy && !options.proxy.empty()) {
    Fail("--proxy and --noproxy exclude each other");
    return false;
  }
  return true;
}

// Shows the progress on standard error: one line rewritten in place on a terminal, a new line
// for each change otherwise.
class ProgressView {
 public:
  ProgressView() : terminal_(platform::IsTerminal(stderr)) {}

  void Show(const std::string& line) {
    if (line == shown_) return;
    if (terminal_) {
      std::string text = "\r" + line;
      if (line.size() < shown_.size()) text += std::string(shown_.size() - line.size(), ' ');
      platform::WriteUtf8(stderr, text);
    } else {
      platform::WriteUtf8(stderr, line + "\n");
    }
    std::fflush(stderr);
    shown_ = line;
  }
  // Ends the line in place so that what follows starts on a line of its own.
  void Close() {
    if (terminal_ && !shown_.empty()) std::fputs("\n", stderr);
    shown_.clear();
  }

 private:
  bool terminal_;
  std::string shown_;
};

// Why the task had not succeeded when it was given up: the last failure it met, or else what
// its progress shows.
std::string WhyUnfinished(const DownloadTask& task) {
  const DownloadItem& item = *task.ItemAt(0);
  const DownloadError error = task.LastError();
  if (error.Failed() && item.state.load() != ItemState::Done &&
      item.state.load() != ItemState::Busy)
    return error.reason;
  if (task.GetProgress().currentItem.load() == nullptr)
    return "the download did not start: the server could not be reached, refused the file or "
           "announced no size";
  switch (item.state.load()) {
    case ItemState::Busy:
      return "the program was still running; it goes on without us";
    case ItemState::Failed:
      return "the downloaded program could not be started";
    case ItemState::Done:
      return "the file was written but the task had not ended";
    default:
      return "the download did not finish";
  }
}

// The text of a PEM file; false when it cannot be read or holds no certificate.
bool ReadRoots(const std::string& path, std::string& pem) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  pem = text.str();
  return file.good() && pem.find("-----BEGIN CERTIFICATE-----") != std::string::npos;
}

int Fetch(const Options& options) {
  if (options.noProxy || !options.proxy.empty()) {
    platform::ProxySettings settings;
    settings.httpProxy = options.proxy;
    settings.httpsProxy = options.proxy;
    settings.source = options.noProxy ? "the command line (--noproxy)" : "the command line (--proxy)";
    OverrideProxySettings(settings);
  }
  DownloadTask task(options.segments);
  if (!options.caFile.empty()) {
    std::string pem;
    if (!ReadRoots(options.caFile, pem)) {
      Fail("--ca-file " + options.caFile + " holds no readable PEM certificate");
      return 1;
    }
    task.SetPinnedRoots(pem);
  }
  platform::ProgramPolicy policy = platform::BuildProgramPolicy();
  if (!options.sha256.empty()) policy.sha256Hex = options.sha256;
  task.SetProgramPolicy(policy);
  task.AddItem(options.url, "", 0, options.run ? 1 : 0, options.arguments);
  const TaskProgress& progress = task.GetProgress();
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                    std::chrono::duration<double>(options.deadlineSeconds));
  FetchStatus status;
  ProgressView view;
  auto lastDraw = start - std::chrono::milliseconds(kRedrawMs);
  task.Start();

  while (true) {
    // Read before the finished test: a worker that ends in between is seen as finished on
    // this pass or the next, never as one that stopped short.
    const bool running = task.IsRunning();
    const auto now = std::chrono::steady_clock::now();
    const DownloadItem* current = progress.currentItem.load();
    const uint64_t done = progress.bytesDone.load();
    const uint64_t total = progress.bytesTotal.load();
    const uint64_t nowMs = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count());
    const std::string text = status.Update(
        done, total, current != nullptr ? current->state.load() : ItemState::Pending,
        current != nullptr, nowMs);
    if (task.IsFinished()) {
      view.Show(ProgressLine(done, total, text));
      view.Close();
      task.DeletePartFiles();
      std::printf("saved: %s\n", task.ItemAt(0)->localPath.c_str());
      return 0;
    }
    if (task.HasFailed()) {
      view.Close();
      task.DeletePartFiles();
      if (task.GetRefusal() != platform::ProgramCheck::Ok) {
        Fail(std::string("refused: ") + platform::ProgramCheckText(task.GetRefusal()) +
             "; it was deleted and not started");
        return 1;
      }
      // A full disk or a scanner's block: the status line the wizard shows, then the reason.
      const std::string local = LocalFailureText(task.LastError());
      Fail((local.empty() ? std::string() : local + ": ") + task.LastError().reason);
      return 1;
    }
    if (platform::InterruptRequested()) {
      view.Close();
      task.Stop();
      task.DeletePartFiles();
      Fail("interrupted; the download was abandoned and its part files deleted");
      return 1;
    }
    if (now >= deadline || !running) {
      view.Close();
      const std::string why = WhyUnfinished(task);
      task.Stop();
      task.DeletePartFiles();
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%g", options.deadlineSeconds);
      Fail(now >= deadline ? "gave up after " + std::string(seconds) + " s: " + why : why);
      return 1;
    }
    if (now - lastDraw >= std::chrono::milliseconds(kRedrawMs)) {
      view.Show(ProgressLine(done, total, text));
      lastDraw = now;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kTickMs));
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(platform::Arguments(argc, argv), options)) {
    std::fputs(kUsage, stderr);
    return 1;
  }
  if (options.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (!options.log.empty() && !install_log::Open(options.log)) {
    Fail("cannot write the log " + options.log);
    return 1;
  }
  SocketLayer sockets;
  // Standard output is this program's own report: the segments' lines stay off it.
  SetFinishedLineStream(nullptr);
  platform::CatchInterrupts();
  install_log::Write("START", "vantreo-fetch " + options.url);
  const int status = Fetch(options);
  install_log::Writef("END", "exit status %d", status);
  return status;
}
