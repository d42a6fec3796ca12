#include "support/ScriptedHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return std::tolower(x & 0xFF) == std::tolower(y & 0xFF); });
}

std::string trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t"), last = text.find_last_not_of(" \t\r");
    return first == std::string_view::npos ? std::string() : std::string(text.substr(first, last - first + 1));
}

std::string statusLine(int code) {
    const std::string_view reasons = "|200 OK|201 Created|204 No Content|207 Multi-Status|301 Moved Permanently"
                                     "|401 Unauthorized|403 Forbidden|404 Not Found|405 Method Not Allowed"
                                     "|409 Conflict|412 Precondition Failed|500 Internal Server Error|";
    const auto at = reasons.find("|" + std::to_string(code) + " ");
    if (at == std::string_view::npos) return "HTTP/1.1 " + std::to_string(code) + " Status\r\n";
    return "HTTP/1.1 " + std::string(reasons.substr(at + 1, reasons.find('|', at + 1) - at - 1)) + "\r\n";
}

// False when the peer went away or stopped reading for the send time-out.
bool sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

} // namespace

struct ScriptedHttpServer::Connection {
    int fd = -1;
    int id = 0;
    std::string buffer;
    bool held = false;
};

std::optional<std::string> ScriptedHttpServer::Request::header(std::string_view name) const {
    for (const auto& [key, value] : headers)
        if (equalsIgnoringCase(key, name)) return value;
    return std::nullopt;
}

std::size_t ScriptedHttpServer::Request::count(std::string_view name) const {
    return static_cast<std::size_t>(std::count_if(
        headers.begin(), headers.end(), [&](const auto& field) { return equalsIgnoringCase(field.first, name); }));
}

ScriptedHttpServer::Reply
ScriptedHttpServer::Reply::status(int code, std::string body,
                                  const std::vector<std::pair<std::string, std::string>>& headers) {
    std::string bytes = statusLine(code);
    for (const auto& [name, value] : headers)
        bytes += name + ": " + value + "\r\n";
    return Reply{bytes + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body};
}

ScriptedHttpServer::Reply ScriptedHttpServer::Reply::cutShort(int code, std::string body, std::size_t declaredLength) {
    return raw(statusLine(code) + "Content-Length: " + std::to_string(declaredLength) + "\r\n\r\n" + body);
}

ScriptedHttpServer::Reply ScriptedHttpServer::Reply::streamed(std::function<bool(std::string&)> more) {
    Reply reply = raw("HTTP/1.1 207 Multi-Status\r\nContent-Type: application/xml\r\nConnection: close\r\n\r\n");
    reply.more = std::move(more);
    return reply;
}

ScriptedHttpServer::ScriptedHttpServer(Handler handler, std::string address)
    : address_(std::move(address)), handler_(std::move(handler)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
    sockaddr_in bound{};
    bound.sin_family = AF_INET; // port 0: the system picks a free one
    socklen_t length = sizeof bound;
    if (::inet_pton(AF_INET, address_.c_str(), &bound.sin_addr) != 1 ||
        ::bind(listener_, reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0 || ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        const std::string error = std::strerror(errno);
        ::close(listener_);
        throw std::runtime_error("listen on " + address_ + ": " + error);
    }
    port_ = ntohs(bound.sin_port);
    thread_ = std::thread([this] { run(); });
}

void ScriptedHttpServer::stop() {
    if (stopping_.exchange(true)) return;
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) ::close(listener_);
    listener_ = -1;
}

void ScriptedHttpServer::pause(std::chrono::milliseconds duration) const {
    const auto until = std::chrono::steady_clock::now() + duration;
    while (!stopping_ && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

ScriptedHttpServer::Reply ScriptedHttpServer::replyFor(const Request& request) {
    Handler handler;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        if (!queue_.empty()) {
            Reply reply = std::move(queue_.front());
            queue_.pop_front();
            return reply;
        }
        handler = handler_;
    }
    if (handler) return handler(request);
    ++unscripted_;
    return Reply::raw("HTTP/1.1 500 Unscripted\r\nContent-Length: 0\r\n\r\n", Reply::Then::keepAlive);
}

// Answers every complete request in the connection's buffer.
bool ScriptedHttpServer::serve(Connection& connection) {
    while (!connection.held) {
        const auto headEnd = connection.buffer.find("\r\n\r\n");
        if (headEnd == std::string::npos) return true;
        Request request;
        request.connection = connection.id;
        request.head = connection.buffer.substr(0, headEnd + 4);
        const auto lineEnd = request.head.find("\r\n");
        const std::string line = request.head.substr(0, lineEnd);
        const auto firstSpace = line.find(' '), lastSpace = line.rfind(' ');
        if (firstSpace == std::string::npos || lastSpace == firstSpace) return false; // not HTTP: hang up
        request.method = line.substr(0, firstSpace);
        request.target = line.substr(firstSpace + 1, lastSpace - firstSpace - 1);
        request.version = line.substr(lastSpace + 1);
        for (std::size_t at = lineEnd + 2, end; at < headEnd; at = end + 2) {
            end = request.head.find("\r\n", at);
            const std::string field = request.head.substr(at, end - at);
            if (const auto colon = field.find(':'); colon != std::string::npos)
                request.headers.emplace_back(field.substr(0, colon), trim(field.substr(colon + 1)));
        }
        // Bodies come with a Content-Length: the client neither chunks nor waits for "100 Continue".
        const auto length = request.header("Content-Length");
        const std::size_t total = headEnd + 4 + (length ? std::stoul(*length) : 0);
        if (connection.buffer.size() < total) return true; // the rest of the body is still to come
        request.body = connection.buffer.substr(headEnd + 4, total - headEnd - 4);
        connection.buffer.erase(0, total);
        const Reply reply = replyFor(request);
        pause(reply.delay);
        bool sending = sendAll(connection.fd, reply.bytes);
        for (std::string piece; sending && reply.more && !stopping_ && reply.more(piece); piece.clear())
            sending = sendAll(connection.fd, piece);
        if (reply.then == Reply::Then::close) return false;
        connection.held = reply.then == Reply::Then::hold;
    }
    connection.buffer.clear();
    return true;
}

void ScriptedHttpServer::run() {
    std::vector<Connection> open;
    while (!stopping_) {
        std::vector<pollfd> watched{{listener_, POLLIN, 0}};
        for (const auto& connection : open)
            watched.push_back({connection.fd, POLLIN, 0});
        if (::poll(watched.data(), watched.size(), 20) <= 0) continue;
        if (watched[0].revents & POLLIN) {
            if (const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC); fd >= 0) {
                timeval sendLimit{5, 0}; // a client that stops reading cannot block the server for good
                ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
                open.push_back(Connection{fd, ++connections_, {}, false});
            }
        }
        for (std::size_t i = 1; i < watched.size(); ++i) {
            if (!(watched[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            auto& connection = open[i - 1];
            char data[65536];
            const ssize_t got = ::recv(connection.fd, data, sizeof data, 0);
            if (got > 0) connection.buffer.append(data, static_cast<std::size_t>(got));
            if (got <= 0 || !serve(connection)) {
                ::close(connection.fd);
                connection.fd = -1;
            }
        }
        std::erase_if(open, [](const Connection& c) { return c.fd < 0; });
    }
    for (const auto& connection : open)
        ::close(connection.fd);
}
