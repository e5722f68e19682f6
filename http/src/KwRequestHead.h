// Whether a request head that libmicrohttpd parsed is well formed as RFC
// 9112 has it, beyond what libmicrohttpd checks itself.
//
// libmicrohttpd parses the head in place and cuts its strings at the first
// NUL, so a NUL in the target or in a header value would go unseen in the
// strings it hands on: "GET /metrics\0x" reads "/metrics". The checks here
// see the target as sent (from the URI log callback, before anything in it
// is cut) and walk the head's bytes between the strings, where only the
// separators libmicrohttpd replaced may stand. What remains unseen: a NUL
// right before a bare LF reads as a CR, and hides nothing.
#ifndef KW_REQUEST_HEAD_H
#define KW_REQUEST_HEAD_H

#include <cstddef>
#include <string>

struct MHD_Connection;

// The target as the URI log callback sees it: where it starts and how
// many bytes precede a NUL or its end, and whether a control byte or a
// space is among them.
struct KwSeenTarget {
    const char* start = nullptr;
    size_t length = 0;
    bool clean = false;
};
KwSeenTarget KwSeeTarget(const char* uri);

enum KwHeadVerdict { KW_HEAD_GOOD, KW_HEAD_BAD, KW_HEAD_TOO_LARGE };

// The head as the access handler's first call has it (method, target and
// version are libmicrohttpd's strings). Bad: a method that is not a token;
// a target that is not what was seen, or holds a control byte, a space or a
// NUL, or is neither a path nor an absolute URL; a header line that is
// folded, or whose name is not a token or whose value holds a control byte
// (a tab aside) or a NUL; an HTTP/1.1 request without Host, or any request
// with two; a body (Transfer-Encoding, or a Content-Length other than 0).
KwHeadVerdict KwCheckHead(MHD_Connection* connection, const char* method, const char* target,
                          const char* version, const KwSeenTarget& seen, size_t maxHeadBytes);

// The path of an origin-form ("/metrics") or absolute-form
// ("http://host:port/metrics") target; empty for any other ("*", "metrics").
std::string KwTargetPath(const char* target);

#endif  // KW_REQUEST_HEAD_H
