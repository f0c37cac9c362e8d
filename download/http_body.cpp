#include "download/http_body.h"

#include <algorithm>

#include "download/socket_layer.h"

namespace {

// A chunk-size or trailer line longer than this is no framing this program understands.
constexpr size_t kMaxFramingLine = 1024;
constexpr int kMaxTrailerLines = 64;
// A chunk above 2 GiB cannot belong to a file this program fetches.
constexpr uint64_t kMaxChunk = 0x80000000u;

}  // namespace

WaitResult WaitForData(Connection& connection, WireClock::time_point deadline,
                       const StopTest& stopped) {
  for (;;) {
    if (stopped && stopped()) return WaitResult::Stopped;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - WireClock::now()).count();
    if (left <= 0) return WaitResult::Silent;
    const int slice = left < kStopSliceMs ? static_cast<int>(left) : kStopSliceMs;
    if (connection.WaitReadable(slice)) return WaitResult::Ready;
  }
}

int ReceiveSome(Connection& connection, char* buffer, int length,
                const StopTest& stopped, DownloadError& error) {
  const auto deadline = WireClock::now() + std::chrono::milliseconds(kReceiveTimeoutMs);
  for (;;) {
    switch (WaitForData(connection, deadline, stopped)) {
      case WaitResult::Stopped:
        error = MakeError(DownloadErrorKind::Stopped, "the download was stopped");
        return -1;
      case WaitResult::Silent:
        error = MakeError(DownloadErrorKind::TimedOut, "the server sent nothing for 5 s");
        return -1;
      case WaitResult::Ready:
        break;
    }
    int got = 0;
    switch (connection.Receive(buffer, length, got)) {
      case Connection::Outcome::Data: return got;
      case Connection::Outcome::Closed: return 0;
      case Connection::Outcome::NotYet: continue;  // part of a TLS record: wait for the rest
      case Connection::Outcome::Broken: break;
    }
    error = MakeError(DownloadErrorKind::Closed, "the connection broke");
    return -1;
  }
}

BodyReader::BodyReader(Connection& connection, BodyCoding coding, bool lengthKnown,
                       uint64_t length, StopTest stopped)
    : connection_(connection),
      coding_(coding),
      lengthKnown_(lengthKnown && coding == BodyCoding::Identity),
      left_(lengthKnown_ ? length : 0),
      stopped_(std::move(stopped)) {}

int BodyReader::Read(char* out, int capacity) {
  if (coding_ == BodyCoding::Chunked) return ReadChunked(out, capacity);
  // Without a stated length the body ends where the server closes.
  if (!lengthKnown_) return ReadRaw(out, capacity);
  if (left_ == 0) return 0;
  const int want = static_cast<int>(std::min<uint64_t>(left_, static_cast<uint64_t>(capacity)));
  const int got = ReadRaw(out, want);
  if (got == 0) {
    error_ = MakeError(DownloadErrorKind::Closed,
                       "the connection ended before the answer's body was whole");
    return -1;
  }
  if (got > 0) left_ -= static_cast<uint64_t>(got);
  return got;
}

int BodyReader::ReadRaw(char* out, int capacity) {
  if (bufferStart_ < bufferEnd_) {
    const int count = std::min(capacity, bufferEnd_ - bufferStart_);
    std::copy(buffer_ + bufferStart_, buffer_ + bufferStart_ + count, out);
    bufferStart_ += count;
    return count;
  }
  return ReceiveSome(connection_, out, capacity, stopped_, error_);
}

bool BodyReader::NextByte(char& byte) {
  if (bufferStart_ == bufferEnd_) {
    const int got = ReceiveSome(connection_, buffer_, sizeof buffer_, stopped_, error_);
    if (got <= 0) {
      if (got == 0) error_ = MakeError(DownloadErrorKind::Closed,
                                       "the connection ended inside the chunked body");
      return false;
    }
    bufferStart_ = 0;
    bufferEnd_ = got;
  }
  byte = buffer_[bufferStart_++];
  return true;
}

bool BodyReader::ReadLine(std::string& line) {
  line.clear();
  char byte = 0;
  while (NextByte(byte)) {
    if (byte == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return true;
    }
    if (line.size() == kMaxFramingLine) {
      Malformed("a chunk line without end");
      return false;
    }
    line += byte;
  }
  return false;
}

int BodyReader::Malformed(const char* what) {
  error_ = MakeError(DownloadErrorKind::BadAnswer,
                     std::string("the chunked body is malformed: ") + what);
  return -1;
}

int BodyReader::ReadChunked(char* out, int capacity) {
  std::string line;
  while (true) {
    switch (chunk_) {
      case Chunk::Size: {
        if (!ReadLine(line)) return -1;
        // Hex digits, then blanks or extensions (";name=value"), which carry nothing here.
        size_t i = 0;
        uint64_t size = 0;
        for (; i < line.size() && HexValue(line[i]) >= 0; ++i) {
          size = size * 16 + static_cast<uint64_t>(HexValue(line[i]));
          if (size >= kMaxChunk) return Malformed("a chunk too large");
        }
        const char next = i < line.size() ? line[i] : ';';
        if (i == 0 || (next != ';' && next != ' ' && next != '\t'))
          return Malformed("a chunk size that is no hex number");
        left_ = size;
        chunk_ = size == 0 ? Chunk::Trailer : Chunk::Data;
        break;
      }
      case Chunk::Data: {
        const int want = static_cast<int>(std::min<uint64_t>(left_, static_cast<uint64_t>(capacity)));
        const int got = ReadRaw(out, want);
        if (got <= 0) {
          if (got == 0) error_ = MakeError(DownloadErrorKind::Closed,
                                           "the connection ended inside a chunk");
          return -1;
        }
        left_ -= static_cast<uint64_t>(got);
        if (left_ == 0) chunk_ = Chunk::DataEnd;
        return got;
      }
      case Chunk::DataEnd:
        if (!ReadLine(line)) return -1;
        if (!line.empty()) return Malformed("a chunk longer than its size");
        chunk_ = Chunk::Size;
        break;
      case Chunk::Trailer:
        // Trailer fields up to the empty line; none of them matters for the file.
        for (int lines = 0;; ++lines) {
          if (lines == kMaxTrailerLines) return Malformed("too many trailer lines");
          if (!ReadLine(line)) return -1;
          if (line.empty()) break;
        }
        chunk_ = Chunk::End;
        break;
      case Chunk::End:
        return 0;
    }
  }
}
