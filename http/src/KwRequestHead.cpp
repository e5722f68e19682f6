#include "KwRequestHead.h"

#include <microhttpd.h>

#include <strings.h>
#include <cstring>

namespace {

bool IsTokenChar(unsigned char c) {
    return isalnum(c) || (c != '\0' && strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

// A token as HTTP defines it (RFC 9110 5.6.2): methods and header names.
bool IsToken(const char* text, size_t length) {
    if (length == 0) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        if (!IsTokenChar(static_cast<unsigned char>(text[i]))) {
            return false;
        }
    }
    return true;
}

bool IsControl(unsigned char byte) {
    return byte < 0x20 || byte == 0x7F;
}

// Whether [from, to) is a line end as libmicrohttpd leaves it (CRLF or LF,
// each byte replaced by a NUL): between `fewest` and `most` NULs, nothing
// else.
bool LineEnd(const char* from, const char* to, long fewest, long most) {
    if (to - from < fewest || to - from > most) {
        return false;
    }
    for (const char* c = from; c < to; ++c) {
        if (*c != '\0') {
            return false;
        }
    }
    return true;
}

// The walk over the header lines, in the order they came.
struct Walk {
    const char* headStart;
    const char* headEnd;
    const char* lineEnd;  // of the previous line
    bool good = true;
    int hosts = 0;
};

MHD_Result VisitHeader(void* context, MHD_ValueKind, const char* name, size_t nameSize,
                       const char* value, size_t valueSize) {
    Walk& walk = *static_cast<Walk*>(context);
    // Each line where the last ended: a line folded into the previous one
    // (obs-fold), or a NUL in a value, leaves the strings elsewhere.
    if (name < walk.headStart || value < name || value + valueSize > walk.headEnd ||
        !LineEnd(walk.lineEnd, name, 1, 2) || !IsToken(name, nameSize) ||
        name[nameSize] != '\0') {  // the colon, replaced
        walk.good = false;
        return MHD_NO;
    }
    for (const char* c = name + nameSize + 1; c < value; ++c) {
        if (*c != ' ' && *c != '\t') {
            walk.good = false;
            return MHD_NO;
        }
    }
    for (size_t i = 0; i < valueSize; ++i) {
        unsigned char byte = static_cast<unsigned char>(value[i]);
        if (IsControl(byte) && byte != '\t') {  // a bare CR among them
            walk.good = false;
            return MHD_NO;
        }
    }
    if (strcasecmp(name, "Host") == 0) {
        ++walk.hosts;
    }
    // No body: a request is answered without reading one.
    if (strcasecmp(name, "Transfer-Encoding") == 0 ||
        (strcasecmp(name, "Content-Length") == 0 && strcmp(value, "0") != 0)) {
        walk.good = false;
        return MHD_NO;
    }
    walk.lineEnd = value + valueSize;
    return MHD_YES;
}

}  // namespace

KwSeenTarget KwSeeTarget(const char* uri) {
    KwSeenTarget seen;
    if (uri == nullptr) {
        return seen;
    }
    seen.start = uri;
    seen.length = strlen(uri);
    seen.clean = true;
    for (size_t i = 0; i < seen.length; ++i) {
        unsigned char byte = static_cast<unsigned char>(uri[i]);
        if (IsControl(byte) || byte == ' ') {
            seen.clean = false;
        }
    }
    return seen;
}

KwHeadVerdict KwCheckHead(MHD_Connection* connection, const char* method, const char* target,
                          const char* version, const KwSeenTarget& seen, size_t maxHeadBytes) {
    const MHD_ConnectionInfo* size =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE);
    if (size == nullptr || size->header_size > maxHeadBytes) {
        return KW_HEAD_TOO_LARGE;
    }
    // The request line: METHOD SP TARGET SP VERSION, each separator a NUL
    // now; the target as seen before anything in it was cut.
    size_t methodSize = strlen(method);
    Walk walk;
    walk.headStart = method;
    walk.headEnd = method + size->header_size;
    if (!IsToken(method, methodSize) || target != method + methodSize + 1 || !seen.clean ||
        seen.start != target || version <= target || version >= walk.headEnd ||
        static_cast<size_t>(version - 1 - target) != seen.length || KwTargetPath(target).empty()) {
        return KW_HEAD_BAD;
    }
    walk.lineEnd = version + strlen(version);
    MHD_get_connection_values_n(connection, MHD_HEADER_KIND, &VisitHeader, &walk);
    // The end of the last line, then the empty line.
    if (!walk.good || !LineEnd(walk.lineEnd, walk.headEnd, 2, 4)) {
        return KW_HEAD_BAD;
    }
    // RFC 9112 3.2: Host once, and in every HTTP/1.1 request.
    bool http10 = strcmp(version, "HTTP/1.0") == 0;
    if (walk.hosts > 1 || (walk.hosts == 0 && !http10)) {
        return KW_HEAD_BAD;
    }
    return KW_HEAD_GOOD;
}

std::string KwTargetPath(const char* target) {
    if (target[0] == '/') {
        return target;
    }
    for (const char* scheme : {"http://", "https://"}) {
        size_t length = strlen(scheme);
        if (strncasecmp(target, scheme, length) == 0) {
            const char* path = strchr(target + length, '/');
            return path != nullptr ? path : "/";
        }
    }
    return std::string();
}
