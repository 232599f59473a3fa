// Connections are read by one polling thread until their request is whole,
// then answered by httplib's own parsing and routing (process_request) over
// a stream of the bytes read, on a worker of a bounded pool.
#include "HttpGate.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

namespace exporter {

namespace {

using Clock = std::chrono::steady_clock;

thread_local Clock::time_point t_received;
thread_local int t_socket = -1;
thread_local bool t_probeWorker = false;

// process_and_close_socket only hands the socket to the gate, so the
// accepting thread may as well call it.
class InlineQueue : public httplib::TaskQueue {
public:
    void enqueue(std::function<void()> fn) override { fn(); }
    void shutdown() override {}
};

// A short answer for a client that is being dropped: sent if the socket
// takes it at once, never waited for.
void Answer(int fd, const char* status, const char* reason)
{
    const std::string body = std::string(reason) + "\n";
    const std::string text = std::string("HTTP/1.1 ") + status +
                             "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    (void)!send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

void AnswerAndClose(int fd, const char* status, const char* reason)
{
    Answer(fd, status, reason);
    close(fd);
}

void AddressOf(int fd, bool peer, std::string& ip, int& port)
{
    sockaddr_storage a{};
    socklen_t length = sizeof a;
    if ((peer ? getpeername : getsockname)(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0)
        return;
    char text[INET6_ADDRSTRLEN] = "";
    if (a.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&a);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        port = ntohs(v4->sin_port);
    } else if (a.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&a);
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        port = ntohs(v6->sin6_port);
    }
    ip = text;
}

// The request as the gate read it; answers go to the socket, each write
// within the write time counted from the first.
class RequestStream final : public httplib::Stream {
public:
    RequestStream(int fd, std::string request, std::chrono::milliseconds writeTime)
        : fd_(fd), request_(std::move(request)), writeTime_(writeTime)
    {
    }
    bool is_readable() const override { return read_ < request_.size(); }
    bool is_writable() const override
    {
        if (writeBy_ == Clock::time_point{})
            writeBy_ = Clock::now() + writeTime_;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(writeBy_ - Clock::now());
            if (left.count() <= 0)
                return false;
            pollfd p{fd_, POLLOUT, 0};
            const int n = poll(&p, 1, int(left.count()));
            if (n > 0)
                return (p.revents & (POLLERR | POLLHUP)) == 0;
            if (n == 0 || errno != EINTR)
                return false;
        }
    }
    // The body is never read: no endpoint takes one.
    ssize_t read(char* ptr, size_t size) override
    {
        size = std::min(size, request_.size() - read_);
        std::memcpy(ptr, request_.data() + read_, size);
        read_ += size;
        return ssize_t(size);
    }
    ssize_t write(const char* ptr, size_t size) override
    {
        if (!is_writable())
            return -1;
        const ssize_t n = send(fd_, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return 0;  // httplib writes again
        return n;
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override { AddressOf(fd_, true, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { AddressOf(fd_, false, ip, port); }
    socket_t socket() const override { return fd_; }

private:
    int fd_;
    std::string request_;
    size_t read_ = 0;
    std::chrono::milliseconds writeTime_;
    mutable Clock::time_point writeBy_{};
};

struct Job {
    int fd = -1;
    std::string request;
    Clock::time_point received;
};

// Workers with a bounded queue; a job that finds it full is refused.
class Pool {
public:
    Pool(size_t workers, size_t maxQueued, std::function<void(Job&)> run) : maxQueued_(maxQueued), run_(std::move(run))
    {
        for (size_t i = 0; i < workers; ++i)
            threads_.emplace_back([this] { Work(); });
    }
    bool Offer(Job& job)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (finishing_ || jobs_.size() >= maxQueued_)
                return false;
            jobs_.push_back(std::move(job));
        }
        wake_.notify_one();
        return true;
    }
    // Queued jobs are told the server stops; those running are waited for.
    void Finish()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            finishing_ = true;
        }
        wake_.notify_all();
        for (std::thread& t : threads_)
            t.join();
        threads_.clear();
        for (Job& job : jobs_)
            AnswerAndClose(job.fd, "503 Service Unavailable", "the exporter is stopping");
        jobs_.clear();
    }

private:
    void Work()
    {
        for (;;) {
            Job job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [&] { return finishing_ || !jobs_.empty(); });
                if (finishing_)
                    return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            run_(job);
            close(job.fd);
        }
    }

    const size_t maxQueued_;
    std::function<void(Job&)> run_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    bool finishing_ = false;
    std::vector<std::thread> threads_;
};

// Where the request's headers end (after their empty line), searching from
// from; npos while they have not. Lines ending in LF alone end it too, so
// that such a client is told at once what is wrong rather than timed out.
size_t RequestEnd(const std::string& request, size_t from)
{
    const size_t crlf = request.find("\n\r\n", from), lf = request.find("\n\n", from);
    if (crlf != std::string::npos && (lf == std::string::npos || crlf < lf))
        return crlf + 3;
    return lf == std::string::npos ? lf : lf + 2;
}

// An absolute-form target (GET http://host:port/metrics HTTP/1.1), which a
// server must accept, made the path it names: the library routes paths only.
void ToOriginForm(std::string& request)
{
    const size_t target = request.find(' ') + 1;
    for (const std::string scheme : {"http://", "https://"}) {
        if (target == 0 || strncasecmp(request.c_str() + target, scheme.c_str(), scheme.size()) != 0)
            continue;
        const size_t path = request.find_first_of("/? \r\n", target + scheme.size());
        if (path != std::string::npos)
            request.replace(target, path - target, request[path] == '/' ? "" : "/");
        return;
    }
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// Whether the request is for /probe, its path read as the library reads it
// (spaces between the parts, %XX decoded), so that no spelling of a probe
// lands among the workers of the fast endpoints.
bool IsProbe(const std::string& request)
{
    const size_t line = request.find_first_of("\r\n");
    std::istringstream in(request.substr(0, line));
    std::string method, target;
    in >> method >> target;
    if (method != "GET" && method != "HEAD")
        return false;
    target = target.substr(0, target.find('?'));
    std::string path;
    for (size_t i = 0; i < target.size(); ++i) {
        if (target[i] == '%' && i + 2 < target.size() && HexDigit(target[i + 1]) >= 0 && HexDigit(target[i + 2]) >= 0) {
            path += char(HexDigit(target[i + 1]) * 16 + HexDigit(target[i + 2]));
            i += 2;
        } else {
            path += target[i];
        }
    }
    return path == "/probe";
}

}  // namespace

struct GatedServer::Impl {
    GateLimits limits;
    GateDrops drops;
    int wakeFd = -1;
    std::mutex mutex;
    std::vector<int> arrived;  // accepted, not yet seen by the gate
    bool finishing = false;
    std::unique_ptr<Pool> probes, others;
    std::thread gate;

    struct Waiting {
        int fd;
        std::string request;
        Clock::time_point deadline;
        // Answered as too large and still sending: what it sends is read and
        // let go until it stops or its deadline, as closing with bytes unread
        // would reset the connection and lose the answer.
        bool draining = false;
    };

    void Wake() const
    {
        const uint64_t one = 1;
        (void)!::write(wakeFd, &one, sizeof one);
    }

    void Dispatch(Waiting& w, size_t end)
    {
        Job job{w.fd, w.request.substr(0, end), Clock::now()};
        ToOriginForm(job.request);
        Pool& pool = IsProbe(job.request) ? *probes : *others;
        if (!pool.Offer(job)) {
            ++drops.busy;
            AnswerAndClose(w.fd, "503 Service Unavailable", "busy: too many requests waiting, try again");
        }
    }

    // Reads what came; false once the connection is handed on or dropped.
    bool Read(Waiting& w)
    {
        char buffer[4096];
        for (;;) {
            const size_t room =
                w.draining ? sizeof buffer : std::min(sizeof buffer, limits.maxRequestBytes + 1 - w.request.size());
            const ssize_t n = recv(w.fd, buffer, room, MSG_DONTWAIT);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return true;
            if (n <= 0) {
                close(w.fd);
                return false;
            }
            if (w.draining)
                continue;
            const size_t from = w.request.size() < 3 ? 0 : w.request.size() - 3;
            w.request.append(buffer, size_t(n));
            const size_t end = RequestEnd(w.request, from);
            if (end != std::string::npos && end <= limits.maxRequestBytes) {
                Dispatch(w, end);
                return false;
            }
            if (w.request.size() > limits.maxRequestBytes) {
                ++drops.tooLarge;
                if (w.request.find("\r\n") == std::string::npos)
                    Answer(w.fd, "414 URI Too Long", "request line too long");
                else
                    Answer(w.fd, "431 Request Header Fields Too Large", "request headers too long");
                shutdown(w.fd, SHUT_WR);
                w.draining = true;
                std::string().swap(w.request);
            }
        }
    }

    void Run()
    {
        std::vector<Waiting> waiting;  // oldest first
        std::vector<pollfd> polled;
        for (;;) {
            polled.assign(1, pollfd{wakeFd, POLLIN, 0});
            for (const Waiting& w : waiting)
                polled.push_back({w.fd, POLLIN, 0});
            int timeout = -1;
            if (!waiting.empty()) {
                const auto soonest = std::min_element(waiting.begin(), waiting.end(), [](auto& a, auto& b) {
                                         return a.deadline < b.deadline;
                                     })->deadline;
                timeout = int(std::max<int64_t>(
                    0, std::chrono::ceil<std::chrono::milliseconds>(soonest - Clock::now()).count()));
            }
            if (poll(polled.data(), polled.size(), timeout) < 0 && errno != EINTR)
                continue;
            std::vector<bool> keep(waiting.size(), true);
            for (size_t i = 0; i < waiting.size(); ++i)
                if (polled[i + 1].revents)
                    keep[i] = Read(waiting[i]);
            const auto now = Clock::now();
            for (size_t i = 0; i < waiting.size(); ++i)
                if (keep[i] && now >= waiting[i].deadline) {
                    if (waiting[i].draining) {
                        close(waiting[i].fd);
                    } else {
                        ++drops.timedOut;
                        AnswerAndClose(waiting[i].fd, "408 Request Timeout", "the request did not come whole in time");
                    }
                    keep[i] = false;
                }
            std::vector<Waiting> still;
            for (size_t i = 0; i < waiting.size(); ++i)
                if (keep[i])
                    still.push_back(std::move(waiting[i]));
            waiting.swap(still);
            if (polled[0].revents) {
                uint64_t count = 0;
                (void)!::read(wakeFd, &count, sizeof count);
                std::vector<int> fresh;
                bool finish = false;
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    fresh.swap(arrived);
                    finish = finishing;
                }
                if (finish) {
                    for (const Waiting& w : waiting)
                        close(w.fd);
                    for (int fd : fresh)
                        close(fd);
                    return;
                }
                for (int fd : fresh) {
                    if (waiting.size() >= limits.maxWaiting) {
                        // The oldest is the likeliest to be holding on on purpose.
                        ++drops.crowded;
                        close(waiting.front().fd);
                        waiting.erase(waiting.begin());
                    }
                    waiting.push_back({fd, {}, now + limits.requestTime});
                }
            }
        }
    }
};

GatedServer::GatedServer(GateLimits limits) : impl_(std::make_unique<Impl>())
{
    impl_->limits = limits;
    impl_->wakeFd = eventfd(0, EFD_CLOEXEC);
    new_task_queue = [] { return new InlineQueue; };
    auto answer = [this](Job& job, bool probeWorker) {
        t_probeWorker = probeWorker;
        t_received = job.received;
        t_socket = job.fd;
        RequestStream stream(job.fd, std::move(job.request), impl_->limits.writeTime);
        bool closed = true;
        process_request(stream, true, closed, nullptr);
    };
    impl_->probes =
        std::make_unique<Pool>(limits.probeWorkers, limits.maxQueued, [answer](Job& job) { answer(job, true); });
    impl_->others =
        std::make_unique<Pool>(limits.otherWorkers, limits.maxQueued, [answer](Job& job) { answer(job, false); });
    impl_->gate = std::thread([this] { impl_->Run(); });
}

GatedServer::~GatedServer()
{
    Finish();
    close(impl_->wakeFd);
}

std::chrono::steady_clock::time_point GatedServer::RequestReceived() { return t_received; }

int GatedServer::RequestSocket() { return t_socket; }

bool GatedServer::OnProbeWorker() { return t_probeWorker; }

const GateDrops& GatedServer::Drops() const { return impl_->drops; }

void GatedServer::Finish()
{
    if (!impl_->gate.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->finishing = true;
    }
    impl_->Wake();
    impl_->gate.join();
    impl_->probes->Finish();
    impl_->others->Finish();
}

int GatedServer::Bind(const std::string& host, int port)
{
    if (port == 0)
        port = bind_to_any_port(host);
    else if (!bind_to_port(host, port))
        port = -1;
    if (port > 0)
        ::listen(svr_sock_, SOMAXCONN);
    return port;
}

bool GatedServer::process_and_close_socket(socket_t sock)
{
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        if (impl_->finishing) {
            close(sock);
            return false;
        }
        impl_->arrived.push_back(sock);
    }
    impl_->Wake();
    return true;
}

}  // namespace exporter
