// web_client.cpp: the tests' HTTP client.
#include "web/web_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

namespace {

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

std::string lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

HttpReply parseHead(const std::string& head) {
    HttpReply reply;
    reply.status = std::atoi(head.c_str() + head.find(' ') + 1);
    for (size_t at = head.find("\r\n"); at != std::string::npos && at + 2 < head.size();) {
        size_t end = head.find("\r\n", at + 2);
        std::string line = head.substr(at + 2, end - at - 2);
        size_t colon = line.find(':');
        if (colon != std::string::npos)
            reply.headers[lower(line.substr(0, colon))] = line.substr(line.find_first_not_of(' ', colon + 1));
        at = end;
    }
    return reply;
}

}  // namespace

std::string HttpReply::header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? "" : it->second;
}

HttpConnection::HttpConnection(int port, const char* source, int limitSeconds) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval limit{limitSeconds, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in from = loopback(0);
    if (source)
        inet_pton(AF_INET, source, &from.sin_addr);
    sockaddr_in address = loopback(port);
    if ((source && bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) ||
        connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd_);
        fd_ = -1;
    }
}

HttpConnection::~HttpConnection() {
    if (fd_ >= 0)
        close(fd_);
}

bool HttpConnection::send(const std::string& bytes) {
    return fd_ >= 0 && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                           static_cast<ssize_t>(bytes.size());
}

bool HttpConnection::fill() {
    char chunk[65536];
    ssize_t n = fd_ >= 0 ? recv(fd_, chunk, sizeof chunk, 0) : -1;
    if (n <= 0)
        return false;
    pending_.append(chunk, static_cast<size_t>(n));
    return true;
}

std::optional<HttpReply> HttpConnection::read() {
    size_t headEnd;
    while ((headEnd = pending_.find("\r\n\r\n")) == std::string::npos) {
        if (!fill())
            return std::nullopt;
    }
    HttpReply reply = parseHead(pending_.substr(0, headEnd + 2));
    size_t length = std::stoul("0" + reply.header("content-length"));
    pending_.erase(0, headEnd + 4);
    while (pending_.size() < length) {
        if (!fill())
            return std::nullopt;
    }
    reply.body = pending_.substr(0, length);
    pending_.erase(0, length);
    return reply;
}

bool HttpConnection::closedSilently() {
    if (!pending_.empty() || fd_ < 0)
        return false;
    char byte;
    ssize_t n = recv(fd_, &byte, 1, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);  // a time-out is not a close
}

std::string httpRequest(const std::string& method, const std::string& path,
                        const std::string& extraHeaders, const std::string& body) {
    std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders;
    if (method == "POST")
        request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return request + "\r\n" + body;
}

HttpReply httpExchange(int port, const std::string& request) {
    HttpConnection connection(port);
    if (!connection.send(request))
        return {};
    return connection.read().value_or(HttpReply{});
}
