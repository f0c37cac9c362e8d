#include "download/socket_layer.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

// An address as a URL writes it: an IPv6 one in brackets.
std::string AddressName(const platform::NetAddress& address, int port) {
  const std::string text = address.Text();
  return (address.v6 ? "[" + text + "]" : text) + ":" + std::to_string(port);
}

int MillisecondsSince(Clock::time_point start) {
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

int MillisecondsUntil(Clock::time_point when) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

struct Attempt {
  platform::Socket socket;
  platform::NetAddress address;
  Clock::time_point began;
};

// A socket whose connect to `address` is under way, or an empty one with the reason.
platform::Socket BeginAttempt(const platform::NetAddress& address, std::string& why) {
  platform::Socket socket(platform::OpenTcpSocket(address.v6));
  if (!socket.IsValid()) {
    why = address.v6 ? "no IPv6 socket on this system" : "no IPv4 socket on this system";
    return socket;
  }
  platform::SetSocketTimeouts(socket.Handle(), kSendTimeoutMs, kReceiveTimeoutMs);
  // Non-blocking only for the connect, so that its wait can be bounded.
  if (!platform::SetSocketNonBlocking(socket.Handle(), true)) {
    why = "the socket cannot wait for a connect";
    return platform::Socket();
  }
  if (!platform::StartConnect(socket.Handle(), address, why)) return platform::Socket();
  return socket;
}

}  // namespace

std::vector<platform::NetAddress> InterleaveFamilies(
    const std::vector<platform::NetAddress>& found) {
  std::vector<platform::NetAddress> v6;
  std::vector<platform::NetAddress> v4;
  for (const platform::NetAddress& address : found) (address.v6 ? v6 : v4).push_back(address);
  std::vector<platform::NetAddress> ordered;
  for (size_t i = 0; i < v6.size() || i < v4.size(); ++i) {
    if (i < v6.size()) ordered.push_back(v6[i]);
    if (i < v4.size()) ordered.push_back(v4[i]);
  }
  return ordered;
}

DownloadError HostAddresses::Resolve() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (resolved_) return failure_;
  std::vector<platform::NetAddress> found;
  std::string why;
  if (platform::ResolveHost(platform::BareHost(host_), port_, found, why)) {
    ordered_ = InterleaveFamilies(found);
  } else {
    failure_ = MakeError(DownloadErrorKind::Connect, "the name " + host_ + " does not resolve: " + why);
  }
  resolved_ = true;
  return failure_;
}

std::vector<platform::NetAddress> HostAddresses::TryOrder() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ordered_;
}

void HostAddresses::Connected(const platform::NetAddress& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t i = 0; i < ordered_.size(); ++i) {
    if (ordered_[i].length == address.length &&
        std::equal(address.bytes, address.bytes + address.length, ordered_[i].bytes)) {
      std::rotate(ordered_.begin(), ordered_.begin() + static_cast<long>(i),
                  ordered_.begin() + static_cast<long>(i) + 1);
      return;
    }
  }
}

platform::Socket ConnectFirst(const std::vector<platform::NetAddress>& addresses, int port,
                              const StopTest& stopped, const ConnectLog& log,
                              platform::NetAddress& winner, DownloadError& error) {
  const auto note = [&log](const std::string& line) {
    if (log) log(line);
  };
  std::vector<Attempt> live;
  std::string faults;
  const auto failed = [&](const platform::NetAddress& address, const std::string& why) {
    note(AddressName(address, port) + " failed: " + why);
    faults += (faults.empty() ? "" : "; ") + AddressName(address, port) + " " + why;
  };
  size_t next = 0;
  const Clock::time_point raceBegan = Clock::now();
  Clock::time_point nextStart = raceBegan;
  for (;;) {
    if (stopped && stopped()) {
      error = MakeError(DownloadErrorKind::Stopped, "the download was stopped");
      return platform::Socket();
    }
    if (next < addresses.size() && (live.empty() || Clock::now() >= nextStart)) {
      const platform::NetAddress& address = addresses[next++];
      std::string why;
      platform::Socket socket = BeginAttempt(address, why);
      if (!socket.IsValid()) {
        failed(address, why);
        continue;
      }
      live.push_back(Attempt{std::move(socket), address, Clock::now()});
      nextStart = Clock::now() + std::chrono::milliseconds(kAttemptDelayMs);
      continue;
    }
    // An attempt that has had its whole time ends as a silent address.
    for (size_t i = 0; i < live.size();) {
      if (MillisecondsSince(live[i].began) < kConnectTimeoutSeconds * 1000) {
        ++i;
        continue;
      }
      failed(live[i].address, "no answer within " + std::to_string(kConnectTimeoutSeconds) + " s");
      live.erase(live.begin() + static_cast<long>(i));
    }
    if (live.empty()) {
      if (next < addresses.size()) continue;
      break;
    }
    int wait = kConnectSliceMs;
    if (next < addresses.size()) wait = std::min(wait, MillisecondsUntil(nextStart));
    for (const Attempt& attempt : live) {
      wait = std::min(wait, kConnectTimeoutSeconds * 1000 - MillisecondsSince(attempt.began));
    }
    std::vector<platform::socket_t> sockets;
    for (const Attempt& attempt : live) sockets.push_back(attempt.socket.Handle());
    bool connected = false;
    std::string why;
    const int done = platform::WaitForConnect(sockets, std::max(wait, 0), connected, why);
    if (done < 0) continue;
    Attempt& attempt = live[static_cast<size_t>(done)];
    if (connected && platform::SetSocketNonBlocking(attempt.socket.Handle(), false)) {
      for (const Attempt& other : live) {
        if (&other == &attempt) continue;
        note(AddressName(other.address, port) + " given up: no answer in " +
             std::to_string(MillisecondsSince(other.began)) + " ms, another address answered first");
      }
      note(AddressName(attempt.address, port) + " connected in " +
           std::to_string(MillisecondsSince(attempt.began)) + " ms, " +
           std::to_string(MillisecondsSince(raceBegan)) + " ms after the first attempt");
      winner = attempt.address;
      error = DownloadError();
      return std::move(attempt.socket);
    }
    failed(attempt.address, connected ? "the socket cannot block again" : why);
    live.erase(live.begin() + done);
    // A failure lets the next address go at once.
    nextStart = Clock::now();
  }
  error = MakeError(DownloadErrorKind::Connect,
                    addresses.empty() ? "no address to connect to" : "no address answered: " + faults);
  return platform::Socket();
}

SocketLayer::SocketLayer() { platform::StartSocketLibrary(); }

SocketLayer::~SocketLayer() { platform::StopSocketLibrary(); }

platform::Socket SocketLayer::ConnectWithTimeout(const std::string& host, int port,
                                                 const StopTest& stopped) {
  HostAddresses addresses(host, port);
  if (addresses.Resolve().Failed()) return platform::Socket();
  platform::NetAddress winner;
  DownloadError error;
  return ConnectFirst(addresses.TryOrder(), port, stopped, ConnectLog(), winner, error);
}
