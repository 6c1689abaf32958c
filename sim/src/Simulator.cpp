// The simulated counter's server: one thread accepts, one thread serves each
// connection. Every wait polls the connection together with a wake-up pipe
// that Stop() makes readable, so no thread can keep Stop() waiting.
#include "dcjsim/Simulator.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <list>
#include <future>
#include <mutex>
#include <thread>

#include "Internal.h"

namespace dcjsim {

namespace {

using Clock = std::chrono::steady_clock;

// How long a finished connection waits for the peer's close before closing
// itself; draining first keeps late request bytes from turning our close
// into a reset that could cost the peer unread answer bytes.
constexpr std::chrono::milliseconds kCloseDrain{2000};

// Upload batching: many packets per sendmsg keeps small-packet downloads
// from costing a system call per packet.
constexpr size_t kBatchPackets = 256;  // 2 iovecs each, well below IOV_MAX
constexpr size_t kBatchBytes = 4u << 20;

enum class Io { Ok, PeerClosed, Stopped, Timeout, Error };

std::string ErrnoText(int err)
{
    char buf[128];
    // The GNU strerror_r may return a static string instead of filling buf.
    return std::string(strerror_r(err, buf, sizeof buf));
}

std::string Hex(uint32_t v)
{
    char buf[16];
    snprintf(buf, sizeof buf, "0x%02X", v);
    return buf;
}

const char* CommandName(uint32_t cmd)
{
    switch (cmd) {
    case 0xA1: return "upload-files";
    case 0xA2: return "clear-files";
    case 0xA3: return "get-counts";
    case 0xA4: return "clear-counts";
    case 0xA5: return "set-time";
    case 0xA6: return "confirm-download";
    case 0xA7: return "status";
    default: return "unknown";
    }
}

std::string Timestamp()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local;
    localtime_r(&ts.tv_sec, &local);
    char buf[48];
    size_t n = strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
    snprintf(buf + n, sizeof buf - n, ".%03ld", ts.tv_nsec / 1000000);
    return buf;
}

std::string AddressText(const sockaddr_storage& ss)
{
    char host[INET6_ADDRSTRLEN] = "?";
    unsigned port = 0;
    if (ss.ss_family == AF_INET) {
        const auto* a = reinterpret_cast<const sockaddr_in*>(&ss);
        inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
        port = ntohs(a->sin_port);
        return std::string(host) + ":" + std::to_string(port);
    }
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&ss);
    inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
    port = ntohs(a->sin6_port);
    return "[" + std::string(host) + "]:" + std::to_string(port);
}

// One accepted connection. Non-blocking; every wait also watches wakeFd.
class Conn {
public:
    Conn(int fd, int wakeFd) : m_fd(fd), m_wake(wakeFd) {}
    ~Conn()
    {
        if (m_fd >= 0) close(m_fd);
    }
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;

    void SetDrip(std::chrono::milliseconds delay)
    {
        m_drip = true;
        m_dripDelay = delay;
    }
    // A peer that sends or takes nothing for this long is gone (0: no limit).
    void SetStallLimit(std::chrono::milliseconds limit) { m_stall = limit; }
    uint64_t Sent() const { return m_sent; }
    int LastError() const { return m_error; }

    // Waits until fd has one of events (Ok), the wake pipe fires (Stopped)
    // or the deadline passes (Timeout).
    Io Wait(short events, const Clock::time_point* deadline)
    {
        pollfd p[2] = {{m_fd, events, 0}, {m_wake, POLLIN, 0}};
        for (;;) {
            int timeoutMs = -1;
            if (deadline) {
                auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
                // Longer waits in turns: the count is an int.
                timeoutMs = left > 0 ? static_cast<int>(std::min<decltype(left)>(left, INT_MAX)) : 0;
            }
            int n = poll(p, 2, timeoutMs);
            if (n < 0) {
                if (errno == EINTR) continue;
                m_error = errno;
                return Io::Error;
            }
            if (p[1].revents) return Io::Stopped;
            if (n == 0 && deadline && Clock::now() < *deadline) continue;
            if (n == 0) {
                m_error = ETIMEDOUT;  // a peer silent too long, as the log says
                return Io::Timeout;
            }
            return Io::Ok;
        }
    }

    Io ReadExact(uint8_t* buf, size_t size, size_t* got)
    {
        *got = 0;
        while (*got < size) {
            ssize_t n = recv(m_fd, buf + *got, size - *got, 0);
            if (n > 0) {
                *got += static_cast<size_t>(n);
            } else if (n == 0) {
                return Io::PeerClosed;
            } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                Io w = WaitForPeer(POLLIN);
                if (w != Io::Ok) return w;
            } else if (errno != EINTR) {
                m_error = errno;
                return errno == ECONNRESET ? Io::PeerClosed : Io::Error;
            }
        }
        return Io::Ok;
    }

    // Sends everything in iov (which it consumes).
    Io Send(iovec* iov, size_t count)
    {
        if (m_drip) return Drip(iov, count);
        while (count > 0) {
            msghdr msg{};
            msg.msg_iov = iov;
            msg.msg_iovlen = count;
            ssize_t n = sendmsg(m_fd, &msg, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    Io w = WaitForPeer(POLLOUT);
                    if (w != Io::Ok) return w;
                    continue;
                }
                return Failed(errno);
            }
            m_sent += static_cast<uint64_t>(n);
            size_t done = static_cast<size_t>(n);
            while (count > 0 && done >= iov->iov_len) {
                done -= iov->iov_len;
                ++iov;
                --count;
            }
            if (count > 0) {
                iov->iov_base = static_cast<char*>(iov->iov_base) + done;
                iov->iov_len -= done;
            }
        }
        return Io::Ok;
    }

    Io Send(const void* data, size_t size)
    {
        iovec one{const_cast<void*>(data), size};
        return size ? Send(&one, 1) : Io::Ok;
    }

    // Until the peer closes or the simulator stops; what arrives is dropped.
    Io Hold(const Clock::time_point* deadline = nullptr)
    {
        char buf[4096];
        for (;;) {
            Io w = Wait(POLLIN, deadline);
            if (w != Io::Ok) return w;
            ssize_t n = recv(m_fd, buf, sizeof buf, 0);
            if (n == 0) return Io::PeerClosed;
            if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return Io::PeerClosed;
        }
    }

    // FIN first, then wait a little for the peer's own close.
    void ShutdownSend() { shutdown(m_fd, SHUT_WR); }
    void CloseGracefully()
    {
        ShutdownSend();
        const Clock::time_point deadline = Clock::now() + kCloseDrain;
        Hold(&deadline);
        Close();
    }
    void Reset()
    {
        linger lg{1, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        Close();
    }
    void Close()
    {
        if (m_fd >= 0) close(m_fd);
        m_fd = -1;
    }
    // Sleeps, unless Stop() comes first (Io::Timeout: slept in full).
    Io Sleep(std::chrono::milliseconds delay) { return Pause(delay); }

private:
    Io WaitForPeer(short events)
    {
        if (m_stall.count() <= 0) return Wait(events, nullptr);
        const Clock::time_point deadline = Clock::now() + m_stall;
        return Wait(events, &deadline);
    }

    Io Failed(int err)
    {
        m_error = err;
        return err == EPIPE || err == ECONNRESET ? Io::PeerClosed : Io::Error;
    }

    // Sleeps, unless Stop() comes first.
    Io Pause(std::chrono::milliseconds delay)
    {
        const Clock::time_point until = Clock::now() + delay;
        for (;;) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
            pollfd w{m_wake, POLLIN, 0};
            int n = poll(&w, 1, left > 0 ? static_cast<int>(left) : 0);
            if (n > 0) return Io::Stopped;
            if (n == 0) return Io::Timeout;
            if (errno != EINTR) {
                m_error = errno;
                return Io::Error;
            }
        }
    }

    Io Drip(const iovec* iov, size_t count)
    {
        for (size_t i = 0; i < count; ++i) {
            const char* p = static_cast<const char*>(iov[i].iov_base);
            for (size_t k = 0; k < iov[i].iov_len; ++k) {
                if (m_dripStarted) {
                    Io w = Pause(m_dripDelay);
                    if (w != Io::Timeout) return w;
                }
                m_dripStarted = true;
                for (;;) {
                    ssize_t n = send(m_fd, p + k, 1, MSG_NOSIGNAL);
                    if (n == 1) break;
                    if (n < 0 && errno == EINTR) continue;
                    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                        Io w = Wait(POLLOUT, nullptr);
                        if (w != Io::Ok) return w;
                        continue;
                    }
                    return Failed(n < 0 ? errno : EIO);
                }
                ++m_sent;
            }
        }
        return Io::Ok;
    }

    int m_fd;
    int m_wake;
    bool m_drip = false;
    bool m_dripStarted = false;
    std::chrono::milliseconds m_dripDelay{0};
    std::chrono::milliseconds m_stall{0};
    uint64_t m_sent = 0;
    int m_error = 0;
};

// What one exchange is going to do, fixed when its request has been read.
struct Plan {
    Scenario s;  // a copy without files
    std::shared_ptr<const std::vector<FsnFile>> files;
    bool valid = false;
    uint32_t cmd = 0;
    uint32_t retCode = 0;
    bool countFrame = false;
    bool upload = false;
    Fault fault = Fault::None;
};

enum class Step { Continue, Cut, Failed };

class Answer {
public:
    Answer(Conn& c, const Plan& plan) : m_conn(c), m_plan(plan) {}

    Step Emit(FaultAt where, const void* data, size_t size)
    {
        const bool partial = m_plan.fault == Fault::PartialThenStall || m_plan.fault == Fault::PartialThenClose;
        if (partial && !m_cut && where == m_plan.s.faultAt) {
            m_cut = true;
            const size_t n = m_plan.s.faultBytes < size ? m_plan.s.faultBytes : size;
            return Track(m_conn.Send(data, n)) == Io::Ok ? Step::Cut : Step::Failed;
        }
        return Track(m_conn.Send(data, size)) == Io::Ok ? Step::Continue : Step::Failed;
    }

    Step Upload()
    {
        const std::vector<FsnFile>& files = *m_plan.files;
        const Scenario& s = m_plan.s;
        const bool cutFirst = (m_plan.fault == Fault::PartialThenStall || m_plan.fault == Fault::PartialThenClose) &&
                              (s.faultAt == FaultAt::UploadHeader || s.faultAt == FaultAt::UploadData);
        // Header buffers are reused from batch to batch: no allocation per
        // packet once the first batch has been built.
        std::vector<std::vector<uint8_t>> headers(kBatchPackets);
        std::vector<iovec> iov;
        iov.reserve(2 * kBatchPackets);
        size_t used = 0, bytes = 0;
        auto flush = [&]() {
            Io r = iov.empty() ? Io::Ok : Track(m_conn.Send(iov.data(), iov.size()));
            iov.clear();
            used = bytes = 0;
            return r == Io::Ok;
        };
        const uint32_t fileCount = static_cast<uint32_t>(files.size());
        bool first = true;
        for (size_t f = 0; f < files.size(); ++f) {
            const FsnFile& file = files[f];
            const uint32_t packetCount = static_cast<uint32_t>(file.packets.size());
            for (size_t p = 0; p < file.packets.size(); ++p) {
                const std::string& data = file.packets[p];
                std::vector<uint8_t>& h = headers[used];
                h.assign(wire::kUploadHeaderSize, 0);
                detail::WriteUploadHeader(h.data(), file.machineNo, file.dateTime, file.sNo, static_cast<uint32_t>(p),
                                          packetCount, static_cast<uint32_t>(f), fileCount,
                                          static_cast<uint32_t>(data.size()));
                if (s.tweakUploadHeader) s.tweakUploadHeader(f, p, h);
                const bool cutHere = cutFirst && first;
                first = false;
                if (cutHere) {
                    Step st = Emit(FaultAt::UploadHeader, h.data(), h.size());
                    if (st == Step::Continue) st = Emit(FaultAt::UploadData, data.data(), data.size());
                    if (st != Step::Continue) return st;
                    ++m_packets;
                    continue;
                }
                if (!h.empty()) iov.push_back({h.data(), h.size()});
                if (!data.empty()) iov.push_back({const_cast<char*>(data.data()), data.size()});
                ++used;
                ++m_packets;
                bytes += h.size() + data.size();
                if ((used == kBatchPackets || bytes >= kBatchBytes) && !flush()) return Step::Failed;
            }
        }
        if (!flush()) return Step::Failed;
        return m_plan.fault == Fault::ExtraFileAfterPause ? ExtraFile(files.back(), fileCount) : Step::Continue;
    }

    // One file more than announced, numbered after the last, a pause later.
    Step ExtraFile(const FsnFile& file, uint32_t fileCount)
    {
        const Io paused = m_conn.Sleep(m_plan.s.extraFileDelay);
        if (paused != Io::Timeout) return Track(paused) == Io::Ok ? Step::Continue : Step::Failed;
        const std::string data = file.packets.empty() ? std::string("extra") : file.packets.front();
        std::vector<uint8_t> h(wire::kUploadHeaderSize, 0);
        detail::WriteUploadHeader(h.data(), file.machineNo, file.dateTime, "EXTRA", 0, 1, fileCount, fileCount,
                                  static_cast<uint32_t>(data.size()));
        iovec iov[2] = {{h.data(), h.size()}, {const_cast<char*>(data.data()), data.size()}};
        if (Track(m_conn.Send(iov, 2)) != Io::Ok) return Step::Failed;
        ++m_packets;
        return Step::Continue;
    }

    Io LastIo() const { return m_last; }
    size_t Packets() const { return m_packets; }

private:
    Io Track(Io r)
    {
        m_last = r;
        return r;
    }

    Conn& m_conn;
    const Plan& m_plan;
    bool m_cut = false;
    Io m_last = Io::Ok;
    size_t m_packets = 0;
};

}  // namespace

// ---------------------------------------------------------------------------

struct Simulator::Impl {
    mutable std::mutex mu;
    std::condition_variable cv;
    Scenario scenario;  // files are kept apart, in `files`
    std::shared_ptr<std::vector<FsnFile>> files = std::make_shared<std::vector<FsnFile>>();
    std::deque<ExchangeRecord> records;  // the latest recordLimit exchanges
    size_t finished = 0;                 // exchanges ended, kept or not
    size_t recordLimit = static_cast<size_t>(-1);
    std::function<void(const std::string&)> sink;
    std::string deviceTime;

    std::mutex runMu;  // Start / Stop
    bool running = false;
    int listenFd = -1;
    int wakeRead = -1, wakeWrite = -1;
    std::atomic<uint16_t> port{0};
    std::thread acceptThread;
    // Connections are served by pooled threads: a new connection waits for
    // no thread to be created once the pool has grown to the load.
    std::mutex poolMu;
    std::condition_variable poolCv;
    std::deque<std::pair<int, std::string>> queue;  // accepted, not yet served
    size_t idle = 0;
    bool stopping = false;
    std::list<std::thread> pool;  // touched by the accept thread, then by Stop() after joining it
    std::atomic<size_t> accepted{0};
    std::atomic<size_t> open{0};
    std::atomic<long long> stallMs{0};

    void Store(Scenario s)
    {
        files = std::make_shared<std::vector<FsnFile>>(std::move(s.files));
        s.files.clear();
        scenario = std::move(s);
    }

    // Under mu. Counts down faultConnections; false when no faults are left.
    bool TakeFault()
    {
        if (scenario.faultConnections == 0) return false;
        if (scenario.faultConnections > 0) --scenario.faultConnections;
        return true;
    }

    void Finish(const ExchangeRecord& rec, const std::string& peer, const std::string& extra)
    {
        std::function<void(const std::string&)> out;
        {
            std::lock_guard<std::mutex> lock(mu);
            out = sink;
        }
        // Logged before it is recorded: whoever waits for the record (the
        // program's --max-exchanges) then never exits before the line is out.
        if (out) {
            std::string cmd = rec.request.size() >= 12 ? Hex(rec.cmd) + " " + CommandName(rec.cmd) : "- -";
            out(Timestamp() + " " + peer + " " + cmd + " ret=" + std::to_string(rec.ackRetCode) + " " + rec.outcome +
                extra);
        }
        std::lock_guard<std::mutex> lock(mu);
        records.push_back(rec);
        ++finished;
        while (records.size() > recordLimit) records.pop_front();
        cv.notify_all();
    }

    void AcceptLoop();
    void WorkerLoop();
    void Serve(int fd, const std::string& peer);
    // After the accept thread has ended: lets the pool finish and drops
    // connections nobody served.
    void StopPool()
    {
        {
            std::lock_guard<std::mutex> lock(poolMu);
            stopping = true;
        }
        poolCv.notify_all();
        for (std::thread& t : pool) t.join();
        pool.clear();
        for (auto& job : queue) {
            close(job.first);
            --open;
        }
        queue.clear();
        stopping = false;
        idle = 0;
    }
};

void Simulator::Impl::WorkerLoop()
{
    std::unique_lock<std::mutex> lock(poolMu);
    for (;;) {
        ++idle;
        poolCv.wait(lock, [this] { return stopping || !queue.empty(); });
        --idle;
        if (queue.empty()) return;  // stopping
        std::pair<int, std::string> job = std::move(queue.front());
        queue.pop_front();
        lock.unlock();
        Serve(job.first, job.second);
        --open;
        lock.lock();
    }
}

void Simulator::Impl::AcceptLoop()
{
    pollfd p[2] = {{listenFd, POLLIN, 0}, {wakeRead, POLLIN, 0}};
    for (;;) {
        int n = poll(p, 2, -1);
        if (n < 0 && errno != EINTR) return;
        if (p[1].revents) return;
        if (n <= 0 || !(p[0].revents & POLLIN)) continue;
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        int fd = accept4(listenFd, reinterpret_cast<sockaddr*>(&ss), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: back off instead of spinning on poll.
                pollfd w{wakeRead, POLLIN, 0};
                if (poll(&w, 1, 100) > 0) return;
            }
            continue;
        }
        ++accepted;
        ++open;
        bool grow;
        {
            std::lock_guard<std::mutex> lock(poolMu);
            queue.emplace_back(fd, AddressText(ss));
            grow = queue.size() > idle;
        }
        poolCv.notify_one();
        if (grow) {
            try {
                pool.emplace_back([this] { WorkerLoop(); });
            } catch (const std::exception&) {
                // No thread to spare: an existing one takes it when free.
            }
        }
    }
}

void Simulator::Impl::Serve(int fd, const std::string& peer)
{
    Conn conn(fd, wakeRead);
    conn.SetStallLimit(std::chrono::milliseconds(stallMs.load()));
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ExchangeRecord rec;

    bool closeAtOnce = false;
    {
        std::lock_guard<std::mutex> lock(mu);
        // Nothing has been read, so faultCmd cannot apply here.
        closeAtOnce = scenario.fault == Fault::CloseAfterAccept && TakeFault();
    }
    if (closeAtOnce) {
        // FIN now; whatever the peer sends is dropped unread.
        conn.ShutdownSend();
        rec.outcome = "fault:close-after-accept";
        Finish(rec, peer, "");
        conn.CloseGracefully();
        return;
    }

    uint8_t buf[wire::kRequestSize];
    size_t got = 0;
    Io r = conn.ReadExact(buf, sizeof buf, &got);
    rec.request.assign(buf, buf + got);
    if (got >= 12) rec.cmd = wire::GetU32(buf + 8);
    if (r != Io::Ok) {
        rec.outcome = r == Io::Stopped   ? "stopped"
                      : r == Io::Timeout ? "peer silent"
                      : got == 0         ? "closed by peer"
                                         : "short request";
        Finish(rec, peer, got ? " bytes=" + std::to_string(got) : "");
        return;
    }

    Plan plan;
    wire::Request req;
    wire::DecodeRequest(rec.request, &req);
    plan.cmd = req.cmd;
    plan.valid = memcmp(req.startWord.data(), "QOLT", 4) == 0 && req.msgLength == wire::kRequestSize;
    {
        std::lock_guard<std::mutex> lock(mu);
        plan.s = scenario;
        plan.files = files;
        auto it = scenario.retCodes.find(plan.cmd);
        if (!plan.valid) {
            plan.retCode = 1;  // the device could not parse it
        } else if (it != scenario.retCodes.end()) {
            plan.retCode = it->second;
        } else if (plan.cmd == 0xA1) {
            plan.retCode = files->empty() ? 4 : 0;
        } else {
            plan.retCode = plan.cmd >= 0xA2 && plan.cmd <= 0xA7 ? 0 : 1;
        }
        plan.countFrame = plan.valid && plan.cmd == 0xA3 && plan.retCode == 0;
        plan.upload = plan.valid && plan.cmd == 0xA1 && plan.retCode == 0 && !files->empty();

        const Scenario& s = scenario;
        bool applies = s.faultCmd == 0 || s.faultCmd == plan.cmd;
        switch (s.fault) {
        case Fault::None:
        case Fault::CloseAfterAccept: applies = false; break;
        case Fault::ExtraFileAfterPause: applies = applies && plan.upload; break;
        case Fault::PartialThenStall:
        case Fault::PartialThenClose:
            applies = applies && (s.faultAt == FaultAt::Ack || (s.faultAt == FaultAt::CountFrame && plan.countFrame) ||
                                  (s.faultAt != FaultAt::CountFrame && plan.upload));
            break;
        default: break;
        }
        if (applies && TakeFault()) plan.fault = s.fault;
    }
    rec.ackRetCode = plan.retCode;

    if (plan.fault == Fault::NoAnswer) {
        rec.outcome = "fault:no-answer";
        Finish(rec, peer, "");
        conn.Hold();
        return;
    }
    if (plan.fault == Fault::Reset) {
        conn.Reset();
        rec.outcome = "fault:reset";
        Finish(rec, peer, "");
        return;
    }
    if (plan.fault == Fault::SlowDrip) conn.SetDrip(plan.s.dripDelay);

    Answer answer(conn, plan);
    const uint32_t ackCmd = plan.s.ackCmdOverride >= 0 ? static_cast<uint32_t>(plan.s.ackCmdOverride) : plan.cmd;
    const std::vector<uint8_t> ack = wire::EncodeAck(ackCmd, plan.retCode, plan.s.ackStartWord);
    Step st = answer.Emit(FaultAt::Ack, ack.data(), ack.size());
    std::string extra;

    // A command takes effect once its ack is out.
    if (st == Step::Continue && plan.valid && plan.retCode == 0) {
        if ((plan.cmd == 0xA2 || plan.cmd == 0xA6) && plan.s.clearFilesOnConfirm) {
            std::lock_guard<std::mutex> lock(mu);
            // Files put in since this request was read are new files: the
            // peer may already have its ack and have loaded the next set.
            if (files.get() == plan.files.get()) files = std::make_shared<std::vector<FsnFile>>();
        } else if (plan.cmd == 0xA5) {
            std::string t(reinterpret_cast<const char*>(req.para.data()), req.para.size());
            t.resize(strnlen(t.c_str(), t.size()));
            extra = " time=" + t;
            std::lock_guard<std::mutex> lock(mu);
            deviceTime = t;
        }
    }
    if (st == Step::Continue && plan.countFrame) {
        const std::vector<uint8_t> frame =
            wire::EncodeCountFrame(plan.s.denomCount, plan.s.rejectCount, plan.s.countCmd, plan.s.countStartWord);
        st = answer.Emit(FaultAt::CountFrame, frame.data(), frame.size());
    }
    if (st != Step::Failed && plan.upload) {
        if (st == Step::Continue) st = answer.Upload();
        extra = " files=" + std::to_string(plan.files->size()) + " packets=" + std::to_string(answer.Packets()) +
                " sent=" + std::to_string(conn.Sent());
    }

    const bool stall = plan.fault == Fault::PartialThenStall;
    if (st == Step::Continue) {
        rec.outcome = plan.fault == Fault::SlowDrip              ? "fault:slow-drip"
                      : plan.fault == Fault::ExtraFileAfterPause ? "fault:extra-file"
                                                                 : "ok";
    } else if (st == Step::Cut) {
        rec.outcome = stall ? "fault:stall" : "fault:partial-close";
        if (!stall) conn.ShutdownSend();
    } else {
        const Io io = answer.LastIo();
        rec.outcome = io == Io::PeerClosed ? "closed by peer"
                      : io == Io::Stopped  ? "stopped"
                                           : "send failed: " + ErrnoText(conn.LastError());
    }
    Finish(rec, peer, extra);
    if (st == Step::Cut && stall) {
        conn.Hold();
    } else if (st != Step::Failed) {
        conn.CloseGracefully();
    }
}

// ---------------------------------------------------------------------------

Simulator::Simulator(Scenario scenario) : m_impl(new Impl)
{
    m_impl->Store(std::move(scenario));
}

Simulator::~Simulator()
{
    Stop();
}

bool Simulator::Start(uint16_t port, const std::string& bindAddress, std::string* error)
{
    Impl& d = *m_impl;
    std::lock_guard<std::mutex> run(d.runMu);
    auto fail = [&](const std::string& what, int err) {
        if (error) *error = what + ": " + ErrnoText(err);
        return false;
    };
    if (d.running) {
        if (error) *error = "already running";
        return false;
    }
    sockaddr_storage ss{};
    socklen_t len = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&ss);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&ss);
    if (inet_pton(AF_INET, bindAddress.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        len = sizeof *v4;
    } else if (inet_pton(AF_INET6, bindAddress.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        len = sizeof *v6;
    } else {
        if (error) *error = "not a numeric IPv4 or IPv6 address: " + bindAddress;
        return false;
    }
    const std::string where = bindAddress + ":" + std::to_string(port);
    int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return fail("socket", errno);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || listen(fd, 128) != 0) {
        int err = errno;
        close(fd);
        return fail("listen on " + where, err);
    }
    len = sizeof ss;
    getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        int err = errno;
        close(fd);
        return fail("pipe", err);
    }
    d.listenFd = fd;
    d.wakeRead = pipeFds[0];
    d.wakeWrite = pipeFds[1];
    d.port = ntohs(ss.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
    try {
        // Returns once the thread runs its loop: a caller that forks right
        // after Start() must not catch the new thread in its start-up (a
        // sanitizer's allocator lock would be a dead thread's in the child).
        std::promise<void> started;
        std::future<void> running = started.get_future();
        d.acceptThread = std::thread([&d, &started] {
            started.set_value();
            d.AcceptLoop();
        });
        running.wait();
    } catch (const std::exception& e) {
        close(d.listenFd);
        close(d.wakeRead);
        close(d.wakeWrite);
        d.listenFd = d.wakeRead = d.wakeWrite = -1;
        if (error) *error = std::string("thread: ") + e.what();
        return false;
    }
    d.running = true;
    return true;
}

void Simulator::Stop()
{
    Impl& d = *m_impl;
    std::lock_guard<std::mutex> run(d.runMu);
    if (!d.running) return;
    // Never read: the pipe stays readable and wakes every poll at once.
    ssize_t w;
    do {
        w = write(d.wakeWrite, "x", 1);
    } while (w < 0 && errno == EINTR);
    d.acceptThread.join();
    d.StopPool();
    close(d.listenFd);
    close(d.wakeRead);
    close(d.wakeWrite);
    d.listenFd = d.wakeRead = d.wakeWrite = -1;
    d.running = false;
}

uint16_t Simulator::Port() const
{
    return m_impl->port;
}

void Simulator::SetScenario(Scenario scenario)
{
    std::lock_guard<std::mutex> lock(m_impl->mu);
    m_impl->Store(std::move(scenario));
}

void Simulator::Edit(const std::function<void(Scenario&)>& change)
{
    Impl& d = *m_impl;
    std::lock_guard<std::mutex> lock(d.mu);
    Scenario s = d.scenario;
    // Move the files out when no upload holds them, so a large set is not
    // copied for a small edit.
    if (d.files.use_count() == 1) {
        s.files = std::move(*d.files);
    } else {
        s.files = *d.files;
    }
    change(s);
    d.Store(std::move(s));
}

Scenario Simulator::CurrentScenario() const
{
    std::lock_guard<std::mutex> lock(m_impl->mu);
    Scenario s = m_impl->scenario;
    s.files = *m_impl->files;
    return s;
}

std::vector<ExchangeRecord> Simulator::Exchanges() const
{
    std::lock_guard<std::mutex> lock(m_impl->mu);
    return std::vector<ExchangeRecord>(m_impl->records.begin(), m_impl->records.end());
}

std::vector<std::vector<uint8_t>> Simulator::RequestFrames() const
{
    std::lock_guard<std::mutex> lock(m_impl->mu);
    std::vector<std::vector<uint8_t>> frames;
    for (const ExchangeRecord& r : m_impl->records) {
        if (!r.request.empty()) frames.push_back(r.request);
    }
    return frames;
}

size_t Simulator::Connections() const
{
    return m_impl->accepted;
}

void Simulator::SetPeerStallLimit(std::chrono::milliseconds limit)
{
    m_impl->stallMs = limit.count() > 0 ? limit.count() : 0;
}

size_t Simulator::OpenConnections() const
{
    return m_impl->open;
}

std::string Simulator::DeviceTime() const
{
    std::lock_guard<std::mutex> lock(m_impl->mu);
    return m_impl->deviceTime;
}

void Simulator::SetRecordLimit(size_t latest)
{
    std::lock_guard<std::mutex> lock(m_impl->mu);
    m_impl->recordLimit = latest;
    while (m_impl->records.size() > latest) m_impl->records.pop_front();
}

bool Simulator::WaitForExchanges(size_t n, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(m_impl->mu);
    return m_impl->cv.wait_for(lock, timeout, [&] { return m_impl->finished >= n; });
}

void Simulator::SetLogSink(std::function<void(const std::string&)> sink)
{
    std::lock_guard<std::mutex> lock(m_impl->mu);
    m_impl->sink = std::move(sink);
}

}  // namespace dcjsim
