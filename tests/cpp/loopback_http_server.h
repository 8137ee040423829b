// A tiny HTTP/1.1 server on 127.0.0.1 for the client tests: one thread per connection,
// keep-alive, Content-Length bodies only. The handler runs on the connection's thread and
// may block (to hold a long poll) until the server stops.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace mx::testing {

struct HttpRequest {
  std::string path;
  std::string head;  // the request line and the headers, as received
  std::string body;

  // The value of the first header `name` (as the client spelled it), or "".
  std::string header(const std::string& name) const {
    auto pos = head.find("\r\n" + name + ": ");
    if (pos == std::string::npos) return "";
    pos += name.size() + 4;
    return head.substr(pos, head.find("\r\n", pos) - pos);
  }
};

struct HttpReply {
  int status = 200;
  std::string body;
};

class LoopbackHttpServer {
 public:
  using Handler = std::function<HttpReply(const HttpRequest&)>;

  explicit LoopbackHttpServer(Handler handler) : handler_(std::move(handler)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int yes = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 16);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { accept_loop(); });
  }

  ~LoopbackHttpServer() { stop(); }

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

  // True once stop() began: a handler holding a request open should return then.
  bool stopping() const { return stopping_.load(); }

  // Blocks the calling handler until the server stops.
  void hold() {
    std::unique_lock lock(mutex_);
    stopped_.wait(lock, [this] { return stopping_.load(); });
  }

  void stop() {
    if (stopping_.exchange(true)) return;
    {
      std::lock_guard lock(mutex_);
      stopped_.notify_all();
      for (int fd : connections_) ::shutdown(fd, SHUT_RDWR);
    }
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    if (acceptor_.joinable()) acceptor_.join();
    std::vector<std::thread> workers;
    {
      std::lock_guard lock(mutex_);
      workers.swap(workers_);
    }
    for (auto& worker : workers) worker.join();
    for (int fd : connections_) ::close(fd);
    connections_.clear();
  }

 private:
  void accept_loop() {
    for (;;) {
      int fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0) return;
      std::lock_guard lock(mutex_);
      if (stopping_) {
        ::close(fd);
        return;
      }
      connections_.push_back(fd);
      workers_.emplace_back([this, fd] { serve(fd); });
    }
  }

  void serve(int fd) {
    std::string buffer;
    char chunk[4096];
    while (!stopping_) {
      auto header_end = buffer.find("\r\n\r\n");
      if (header_end == std::string::npos) {
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        buffer.append(chunk, static_cast<size_t>(n));
        continue;
      }
      std::string head = buffer.substr(0, header_end);
      size_t content_length = 0;
      if (auto pos = head.find("Content-Length: "); pos != std::string::npos) {
        content_length = std::stoul(head.substr(pos + 16));
      }
      while (buffer.size() < header_end + 4 + content_length) {
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return finish(fd);
        buffer.append(chunk, static_cast<size_t>(n));
      }
      HttpRequest request;
      auto first_space = head.find(' ');
      request.path =
          head.substr(first_space + 1, head.find(' ', first_space + 1) - first_space - 1);
      request.head = head;
      request.body = buffer.substr(header_end + 4, content_length);
      buffer.erase(0, header_end + 4 + content_length);

      HttpReply reply = handler_(request);
      if (stopping_) break;
      std::string out = "HTTP/1.1 " + std::to_string(reply.status) +
                        " X\r\nContent-Length: " + std::to_string(reply.body.size()) +
                        "\r\nContent-Type: application/json\r\n\r\n" + reply.body;
      ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
    }
    finish(fd);
  }

  void finish(int fd) {
    std::lock_guard lock(mutex_);
    ::shutdown(fd, SHUT_RDWR);
    // The descriptor is closed by the last owner; closing here while stop() walks the
    // list could hand the number to another socket, so it stays listed until then.
  }

  Handler handler_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::condition_variable stopped_;
  std::vector<int> connections_;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

}  // namespace mx::testing
