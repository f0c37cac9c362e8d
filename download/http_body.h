// The connection's reads as the downloader uses them: every wait is cut into short slices that
// ask whether to stop, so a stop ends a silent connection within kStopSliceMs; and a response
// body read as it is, up to its stated length, or decoded from its chunks.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "download/download_error.h"
#include "download/http_header.h"
#include "download/connection.h"
#include "download/socket_layer.h"
#include "platform/sockets.h"

// The longest a stop waits for a read that is waiting for the server.
constexpr int kStopSliceMs = 100;

using WireClock = std::chrono::steady_clock;

enum class WaitResult { Ready, Silent, Stopped };

// Waits until the socket has a byte (or its close) to read, the deadline passes (Silent), or
// `stopped` says so.
WaitResult WaitForData(Connection& connection, WireClock::time_point deadline,
                       const StopTest& stopped);

// One receive once data is there, after at most the receive time-out of silence: the count,
// 0 when the server closed, -1 with `error` set (silence, a broken connection, a stop).
int ReceiveSome(Connection& connection, char* buffer, int length,
                const StopTest& stopped, DownloadError& error);

class BodyReader {
 public:
  // `length` counts only when `lengthKnown`; a chunked body carries its own ends.
  BodyReader(Connection& connection, BodyCoding coding, bool lengthKnown,
             uint64_t length, StopTest stopped);
  // Up to `capacity` body bytes: the count, 0 at the body's end, -1 on a failure (Error()).
  int Read(char* out, int capacity);
  const DownloadError& Error() const { return error_; }

 private:
  enum class Chunk { Size, Data, DataEnd, Trailer, End };
  int ReadChunked(char* out, int capacity);
  // Raw bytes: what is buffered first, then one receive.
  int ReadRaw(char* out, int capacity);
  bool NextByte(char& byte);
  bool ReadLine(std::string& line);
  // Records a framing error; -1.
  int Malformed(const char* what);

  Connection& connection_;
  const BodyCoding coding_;
  const bool lengthKnown_;
  uint64_t left_;  // identity: body bytes still to come; chunked: of the current chunk
  StopTest stopped_;
  DownloadError error_;
  Chunk chunk_ = Chunk::Size;
  char buffer_[1024];
  int bufferStart_ = 0;
  int bufferEnd_ = 0;
};
