#pragma once

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

// An HTTP/1.1 server on loopback for tests, one connection at a time. Each request, recorded, gets the
// next reply queued or else its handler's: raw bytes, so garbage, a cut body, a hang-up or silence (no
// bytes on a connection kept open).
class ScriptedHttpServer {
public:
    struct Request {
        std::string method = {}, target = {}, body = {};
        std::string head;   // the request line and header lines as received, blank line included
        int connection = 0; // the connection it came on, the first being 1
        // The value of the first header of that name as the client spells it; empty when there is none.
        std::string header(const std::string& name) const {
            const auto at = head.find("\r\n" + name + ": "), from = at + name.size() + 4;
            return at == std::string::npos ? "" : head.substr(from, head.find('\r', from) - from);
        }
    };
    struct Reply {
        std::string bytes;
        bool close = false; // after the bytes
        static Reply status(int code, const std::string& body = {}) {
            const auto length = std::to_string(body.size());
            return {"HTTP/1.1 " + std::to_string(code) + " Status\r\nContent-Length: " + length + "\r\n\r\n" + body};
        }
        static Reply raw(std::string bytes, bool close = true) { return {std::move(bytes), close}; }
    };
    using Handler = std::function<Reply(const Request&)>;

    explicit ScriptedHttpServer(Handler handler = {}) : handler_(std::move(handler)) {
        sockaddr_in bound{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof bound;
        const timeval wait{0, 20'000}; // for accept() and recv() (accepted sockets inherit it), so a stop is seen
        if (::setsockopt(listener_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0 ||
            ::bind(listener_, reinterpret_cast<sockaddr*>(&bound), length) != 0 || ::listen(listener_, 16) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &length) != 0)
            throw std::runtime_error("cannot listen on loopback");
        url_ = "http://127.0.0.1:" + std::to_string(ntohs(bound.sin_port));
        thread_ = std::jthread([this](const std::stop_token& stop) {
            for (int fd, count = 0; !stop.stop_requested();)
                if ((fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0)
                    serve(fd, ++count, stop), ::close(fd);
        });
    }
    ~ScriptedHttpServer() { thread_.request_stop(), thread_.join(), ::close(listener_); }

    const std::string& url() const { return url_; }
    // Each with the lock held for the whole expression.
    void enqueue(Reply reply) { std::lock_guard{mutex_}, queue_.push_back(std::move(reply)); }
    std::vector<Request> requests() const { return std::lock_guard{mutex_}, requests_; }
    void clearRequests() { std::lock_guard{mutex_}, requests_.clear(); }

private:
    // Answers each request once it is complete, until the client or a reply ends the connection.
    void serve(int fd, int connection, const std::stop_token& stop) {
        for (std::string buffer; !stop.stop_requested();) {
            char data[65536];
            const ssize_t got = ::recv(fd, data, sizeof data, 0);
            if (got < 0 && errno == EAGAIN) continue; // nothing came for 20 ms
            if (got <= 0) return;
            buffer.append(data, static_cast<std::size_t>(got));
            for (std::size_t end; (end = buffer.find("\r\n\r\n")) != std::string::npos;) {
                Request request{.head = buffer.substr(0, end + 4), .connection = connection};
                const auto size = std::strtoul(request.header("Content-Length").c_str(), nullptr, 10);
                if (buffer.size() < end + 4 + size) break;
                request.body = buffer.substr(end + 4, size);
                buffer.erase(0, end + 4 + size);
                std::istringstream(request.head) >> request.method >> request.target;
                std::unique_lock lock(mutex_);
                requests_.push_back(request);
                Reply reply = !queue_.empty() ? queue_.front() : handler_ ? handler_(request) : Reply::status(500);
                if (!queue_.empty()) queue_.erase(queue_.begin());
                lock.unlock();
                if (::send(fd, reply.bytes.data(), reply.bytes.size(), MSG_NOSIGNAL) < 0 || reply.close) return;
            }
        }
    }

    std::string url_;
    int listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    mutable std::mutex mutex_;
    std::vector<Reply> queue_;
    const Handler handler_;
    std::vector<Request> requests_;
    std::jthread thread_;
};
