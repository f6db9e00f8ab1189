// web_client.h: a small HTTP/1.1 client on plain sockets, so tests control
// exactly what is sent (chunks, methods, two requests on one connection).
#pragma once

#include <sys/socket.h>

#include <map>
#include <optional>
#include <string>

#include "test_support.h"  // freePort

struct HttpReply {
    int status = 0;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;

    std::string header(const std::string& name) const;
    bool has(const std::string& name) const { return headers.count(name) != 0; }
};

class HttpConnection {
public:
    // From `source`, a loopback address such as "127.0.0.2", when given. A
    // read that waits `limitSeconds` for a byte gives up.
    explicit HttpConnection(int port, const char* source = nullptr, int limitSeconds = 5);
    ~HttpConnection();
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    bool send(const std::string& bytes);
    // The next reply; none when the server closed the connection first.
    std::optional<HttpReply> read();
    // True when the server has closed the connection without sending anything.
    bool closedSilently();

private:
    int fd_ = -1;
    std::string pending_;
    bool fill();
};

// "GET <path>" or "POST <path>" with the body, and any extra header lines
// ("Name: value\r\n"), as one complete request.
std::string httpRequest(const std::string& method, const std::string& path,
                        const std::string& extraHeaders = "", const std::string& body = "");
// One request on a fresh connection; a reply with status 0 when none came.
HttpReply httpExchange(int port, const std::string& request);
