#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

// A small HTTP/1.1 server on loopback (127.0.0.1 unless told another address) for tests. It answers
// each request with the next canned reply of its queue, or else from its handler, and records every
// request as it arrived. Replies are raw bytes, so a test can answer garbage, cut a body short,
// close the connection or hold it open without a word; a reply may also go on with bytes made as
// they are sent (a body of any size without holding it). Connections are kept alive unless a reply
// says otherwise.
class ScriptedHttpServer {
public:
    struct Request {
        std::string method, target, version;
        std::vector<std::pair<std::string, std::string>> headers; // in arrival order, values trimmed
        std::string head;   // the request line and header lines exactly as received, blank line included
        std::string body;   // as many bytes as Content-Length says
        int connection = 0; // which accepted connection carried it, counting from 1

        std::optional<std::string> header(std::string_view name) const; // the first of that name, any case
        std::size_t count(std::string_view name) const;                 // how many of that name arrived
    };

    struct Reply {
        enum class Then { keepAlive, close, hold };
        std::string bytes;                  // written verbatim
        std::chrono::milliseconds delay{0}; // waited before writing
        Then then = Then::keepAlive;        // hold: keep the connection open and silent until stop()
        // Called after bytes until it returns false (or the client stops reading): each call fills
        // its argument with the next bytes to write.
        std::function<bool(std::string&)> more = nullptr;

        static Reply status(int code, std::string body = {},
                            const std::vector<std::pair<std::string, std::string>>& headers = {});
        static Reply multistatus(std::string xml) { // 207 with an XML content type
            return status(207, std::move(xml), {{"Content-Type", "application/xml; charset=utf-8"}});
        }
        static Reply raw(std::string bytes, Then then = Then::close) { return Reply{std::move(bytes), {}, then}; }
        static Reply cutShort(int code, std::string body, std::size_t declaredLength); // then closes
        static Reply stall() { return raw({}, Then::hold); }                           // no answer at all
        // A 207 whose body, made by more, ends when the connection closes.
        static Reply streamed(std::function<bool(std::string&)> more);
    };

    using Handler = std::function<Reply(const Request&)>;

    ScriptedHttpServer() : ScriptedHttpServer(Handler{}) {}
    explicit ScriptedHttpServer(Handler handler, std::string address = "127.0.0.1");
    ~ScriptedHttpServer() { stop(); }
    ScriptedHttpServer(const ScriptedHttpServer&) = delete;
    ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

    std::uint16_t port() const noexcept { return port_; }
    std::string url() const { return "http://" + address_ + ":" + std::to_string(port_); }

    // Queued replies answer first, one per request; then the handler, or else "500 Unscripted".
    void enqueue(Reply reply) {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(reply));
    }
    void setHandler(Handler handler) {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
    }

    std::vector<Request> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    void clearRequests() {
        std::lock_guard lock(mutex_);
        requests_.clear();
    }
    int connections() const noexcept { return connections_.load(); }
    int unscripted() const noexcept { return unscripted_.load(); }

    void stop(); // closes every connection and ends the server thread; the destructor calls it

private:
    struct Connection;
    void run();
    bool serve(Connection& connection); // false when the connection is to be closed
    Reply replyFor(const Request& request);
    void pause(std::chrono::milliseconds duration) const;

    std::string address_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::atomic<int> unscripted_{0};
    mutable std::mutex mutex_;
    std::deque<Reply> queue_;
    Handler handler_;
    std::vector<Request> requests_;
    std::thread thread_;
};
