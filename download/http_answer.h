// What an answer means for the download: how a range answer's body is to be read (or why it
// is refused), the file size a size answer announces, and where a redirect leads. Pure
// functions of the parsed header, apart from the connection.
#pragma once

#include <cstdint>
#include <string>

#include "download/connection.h"
#include "download/download_error.h"
#include "download/http_header.h"

// How an answer to a request from `offset` on must be read, for a file of `total` bytes: its
// body's framing and how many of its first bytes come before `offset`.
struct BodyPlan {
  BodyCoding coding = BodyCoding::Identity;
  bool lengthKnown = false;
  uint64_t length = 0;
  uint64_t skip = 0;
};

// A partial answer must be for exactly the bytes asked for, of a file of that size, in one
// piece; a whole answer (the server ignored the range) is passed over up to the offset.
DownloadError PlanBody(const ResponseHeader& header, uint64_t offset, uint64_t total,
                       BodyPlan& plan);

// The file size a size answer announces: its length, or the whole of a partial answer.
DownloadError SizeOf(const ResponseHeader& header, uint64_t& size);

bool IsRedirect(int status);

// Takes a redirect's target as the next URL: an absolute http address on port 80, or a path
// on the same host (from its root, or from the folder of `urlPrefix`). False for anything
// else (another scheme or port, bytes no request line may carry), nothing changed then.
bool FollowLocation(std::string location, std::string& host, std::string& urlPrefix,
                    std::string& fileName);
// The same for http and https: an absolute http or https address on any port, or a path on the
// same server. `server` becomes the target's (scheme, host, port); whether a change of scheme
// may be followed is the caller's choice.
bool FollowLocation(std::string location, ServerAddress& server, std::string& urlPrefix,
                    std::string& fileName);

// True for an absolute address whose scheme is https (any letter case).
bool IsSecureAddress(const std::string& url);

// A server's text as a message may show it: no control bytes (a terminal would obey them),
// not endless.
std::string Printable(const std::string& text);
