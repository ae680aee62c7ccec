#include "harness.hpp"
#include "internal.hpp"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

extern char** environ;

namespace harness {

namespace fs = std::filesystem;
using namespace internal;

namespace {

std::string tail(const std::string& text, std::size_t bytes) {
    if (text.size() <= bytes) {
        return text;
    }
    return "[...]" + text.substr(text.size() - bytes);
}

}  // namespace

// ---------------------------------------------------------------------------
// Files and text

TempDir::TempDir(std::string_view prefix, std::string parent) {
    if (parent.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        parent = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
    }
    std::string templ = parent + "/" + std::string(prefix) + ".XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr) {
        throw_errno("mkdtemp " + templ);
    }
    path_ = buf.data();
}

TempDir::~TempDir() {
    if (!path_.empty()) {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
}

TempDir::TempDir(TempDir&& other) noexcept : path_(std::move(other.path_)) { other.path_.clear(); }

TempDir& TempDir::operator=(TempDir&& other) noexcept {
    if (this != &other) {
        if (!path_.empty()) {
            std::error_code ec;
            fs::remove_all(path_, ec);
        }
        path_ = std::move(other.path_);
        other.path_.clear();
    }
    return *this;
}

TempFile::TempFile(std::string_view content, std::string_view name)
    : dir_("lumivane-file"), path_(dir_.path() / name) {
    write_file(path_, content);
}

void write_file(const fs::path& path, std::string_view content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path.string());
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::size_t count_matches(const std::string& text, const std::regex& re) {
    return static_cast<std::size_t>(
        std::distance(std::sregex_iterator(text.begin(), text.end(), re), std::sregex_iterator()));
}

std::size_t count_matches(const std::string& text, const std::string& pattern) {
    return count_matches(text, std::regex(pattern));
}

// ---------------------------------------------------------------------------
// Tool availability

bool in_ci() {
    const char* ci = std::getenv("CI");
    if (ci == nullptr) {
        return false;
    }
    std::string v(ci);
    std::transform(v.begin(), v.end(), v.begin(), [](unsigned char c) { return std::tolower(c); });
    return v == "true" || v == "1" || v == "yes";
}

namespace {

std::optional<std::string> which_in(const std::string& name, const std::string& path_var) {
    if (name.empty()) {
        return std::nullopt;
    }
    if (name.find('/') != std::string::npos) {
        if (::access(name.c_str(), X_OK) == 0) {
            return name;
        }
        return std::nullopt;
    }
    std::stringstream dirs(path_var);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (dir.empty()) {
            dir = ".";
        }
        std::string candidate = dir + "/" + name;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return std::nullopt;
}

std::string default_path() {
    const char* p = std::getenv("PATH");
    std::string path = (p != nullptr) ? p : "/usr/local/bin:/usr/bin:/bin";
    // Root shells without a login environment sometimes lack the sbin dirs,
    // and useradd lives there.
    return path + ":/usr/local/sbin:/usr/sbin:/sbin";
}

}  // namespace

std::optional<std::string> which(const std::string& name) { return which_in(name, default_path()); }

std::string missing_tools(std::initializer_list<std::string> tools) {
    std::string missing;
    for (const auto& tool : tools) {
        if (!which(tool)) {
            missing += missing.empty() ? "missing tool(s): " : ", ";
            missing += tool;
        }
    }
    return missing;
}

// ---------------------------------------------------------------------------
// Child processes

Env merge(Env base, const Env& overrides) {
    for (const auto& [k, v] : overrides) {
        base[k] = v;
    }
    return base;
}

std::string ExitStatus::describe() const {
    if (signaled) {
        const char* name = ::strsignal(signal);
        return "signal " + std::to_string(signal) + " (" + (name != nullptr ? name : "?") + ")";
    }
    return "exit " + std::to_string(code);
}

std::ostream& operator<<(std::ostream& os, const ExitStatus& status) { return os << status.describe(); }

Process::Process(std::vector<std::string> argv, const Env& env, SpawnOptions options)
    : argv_(std::move(argv)), dir_("lumivane-proc") {
    if (argv_.empty()) {
        throw std::invalid_argument("Process: empty argv");
    }
    out_path_ = dir_.path() / "stdout";
    err_path_ = dir_.path() / "stderr";
    out_.path = out_path_;
    err_.path = err_path_;

    // Everything the child needs is prepared before fork(): between fork and
    // exec only async-signal-safe calls are allowed, and the test binary may
    // have threads.
    std::map<std::string, std::string> vars;
    if (!options.clear_env) {
        for (char** e = environ; *e != nullptr; ++e) {
            std::string_view kv(*e);
            auto eq = kv.find('=');
            if (eq != std::string_view::npos) {
                vars[std::string(kv.substr(0, eq))] = std::string(kv.substr(eq + 1));
            }
        }
    }
    for (const auto& [k, v] : env) {
        if (v) {
            vars[k] = *v;
        } else {
            vars.erase(k);
        }
    }
    std::vector<std::string> env_strings;
    env_strings.reserve(vars.size());
    for (const auto& [k, v] : vars) {
        env_strings.push_back(k + "=" + v);
    }
    std::vector<char*> envp;
    for (auto& s : env_strings) {
        envp.push_back(s.data());
    }
    envp.push_back(nullptr);
    std::vector<char*> cargv;
    for (auto& s : argv_) {
        cargv.push_back(s.data());
    }
    cargv.push_back(nullptr);

    auto path_it = vars.find("PATH");
    auto exe = which_in(argv_[0], path_it != vars.end() ? path_it->second + ":/usr/sbin:/sbin"
                                                         : default_path());
    if (!exe) {
        throw std::runtime_error("executable not found: " + argv_[0]);
    }

    std::vector<gid_t> groups;
    if (options.uid) {
        struct passwd* pw = ::getpwuid(*options.uid);
        gid_t gid = options.gid.value_or(pw != nullptr ? pw->pw_gid : 0);
        options.gid = gid;
        if (pw != nullptr) {
            int n = 64;
            groups.resize(static_cast<std::size_t>(n));
            if (::getgrouplist(pw->pw_name, gid, groups.data(), &n) < 0) {
                groups.resize(static_cast<std::size_t>(n));
                ::getgrouplist(pw->pw_name, gid, groups.data(), &n);
            }
            groups.resize(static_cast<std::size_t>(n));
        } else {
            groups.push_back(gid);
        }
    }

    int out_fd = ::open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err_fd = ::open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int in_fd = -1;
    if (options.stdin_pipe) {
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) < 0) {
            throw_errno("socketpair");
        }
        stdin_fd_ = sv[0];
        in_fd = sv[1];
        ::shutdown(sv[1], SHUT_WR);
    } else {
        in_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    int status_pipe[2];
    if (out_fd < 0 || err_fd < 0 || in_fd < 0 || ::pipe2(status_pipe, O_CLOEXEC) < 0) {
        throw_errno("Process: setting up child fds");
    }

    const char* cwd = options.cwd ? options.cwd->c_str() : nullptr;
    const char* exe_path = exe->c_str();
    const pid_t parent = ::getpid();
    const bool drop = options.uid.has_value();
    const uid_t uid = options.uid.value_or(0);
    const gid_t gid = options.gid.value_or(0);

    pid_t pid = ::fork();
    if (pid < 0) {
        throw_errno("fork");
    }
    if (pid == 0) {
        auto fail = [&](int stage) {
            int report[2] = {stage, errno};
            ssize_t ignored = ::write(status_pipe[1], report, sizeof report);
            (void)ignored;
            ::_exit(127);
        };
        ::setpgid(0, 0);
        const int src[3] = {in_fd, out_fd, err_fd};
        for (int target = 0; target < 3; ++target) {
            if (src[target] == target) {
                ::fcntl(target, F_SETFD, 0);
            } else if (::dup2(src[target], target) < 0) {
                fail(1);
            }
        }
        // Keep the test binary's other descriptors (sockets of other
        // compositors, gtest output) out of the child.
        ::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig = 1; sig < NSIG; ++sig) {
            ::signal(sig, SIG_DFL);
        }
        if (cwd != nullptr && ::chdir(cwd) < 0) {
            fail(2);
        }
        if (drop) {
            // Raw syscalls: glibc's wrappers synchronise credentials across
            // threads, which is not safe in a child of a threaded process.
            if (::syscall(SYS_setgroups, groups.size(), groups.data()) < 0 ||
                ::syscall(SYS_setresgid, gid, gid, gid) < 0 ||
                ::syscall(SYS_setresuid, uid, uid, uid) < 0) {
                fail(3);
            }
        }
        // Set after the credential change, which would clear it. If the test
        // binary dies (crash, ctest timeout), no compositor is left behind.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        ::execve(exe_path, cargv.data(), envp.data());
        fail(4);
    }

    ::setpgid(pid, pid);  // also from here, so a kill(-pid) right away cannot miss
    ::close(status_pipe[1]);
    ::close(out_fd);
    ::close(err_fd);
    ::close(in_fd);
    pid_ = pid;

    int report[2] = {0, 0};
    ssize_t n;
    do {
        n = ::read(status_pipe[0], report, sizeof report);
    } while (n < 0 && errno == EINTR);
    ::close(status_pipe[0]);
    if (n == static_cast<ssize_t>(sizeof report)) {
        stop(1000ms);
        static const char* stages[] = {"", "dup2", "chdir", "dropping privileges", "exec"};
        throw std::runtime_error("cannot start " + *exe + ": " + stages[report[0]] + ": " +
                                 std::strerror(report[1]));
    }
}

Process::~Process() {
    try {
        stop();
    } catch (...) {
    }
}

std::string Process::refresh(Capture& cap) const {
    int fd = ::open(cap.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        char buf[65536];
        for (;;) {
            ssize_t n = ::pread(fd, buf, sizeof buf, static_cast<off_t>(cap.cache.size()));
            if (n <= 0) {
                break;
            }
            cap.cache.append(buf, static_cast<std::size_t>(n));
        }
        ::close(fd);
    }
    return cap.cache;
}

std::string Process::stdout_text() const { return refresh(out_); }
std::string Process::stderr_text() const { return refresh(err_); }

bool Process::wait_text(Capture& cap, const TextPredicate& pred, Millis timeout) {
    const auto deadline = Clock::now() + timeout;
    std::size_t checked = std::string::npos;
    for (;;) {
        // Look at the exit state before reading, so text written just before
        // exiting is still seen by the last check.
        const bool exited = poll_exit().has_value();
        refresh(cap);
        if (cap.cache.size() != checked) {
            checked = cap.cache.size();
            if (pred(cap.cache)) {
                return true;
            }
        }
        if (exited || Clock::now() >= deadline) {
            return false;
        }
        sleep_for(20ms);
    }
}

bool Process::wait_for_stdout(const std::string& needle, Millis timeout) {
    return wait_text(out_, [&](const std::string& t) { return t.find(needle) != std::string::npos; },
                     timeout);
}
bool Process::wait_for_stdout(const std::regex& re, Millis timeout) {
    return wait_text(out_, [&](const std::string& t) { return std::regex_search(t, re); }, timeout);
}
bool Process::wait_for_stdout(const TextPredicate& pred, Millis timeout) {
    return wait_text(out_, pred, timeout);
}
bool Process::wait_for_stderr(const std::string& needle, Millis timeout) {
    return wait_text(err_, [&](const std::string& t) { return t.find(needle) != std::string::npos; },
                     timeout);
}
bool Process::wait_for_stderr(const std::regex& re, Millis timeout) {
    return wait_text(err_, [&](const std::string& t) { return std::regex_search(t, re); }, timeout);
}
bool Process::wait_for_stderr(const TextPredicate& pred, Millis timeout) {
    return wait_text(err_, pred, timeout);
}

std::optional<ExitStatus> Process::poll_exit() {
    if (status_ || pid_ <= 0) {
        return status_;
    }
    siginfo_t info{};
    // WNOWAIT leaves a zombie: the PID (and so the process group ID) stays
    // reserved until stop() has signalled any stragglers in the group.
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == pid_) {
        ExitStatus st;
        if (info.si_code == CLD_EXITED) {
            st.code = info.si_status;
        } else {
            st.signaled = true;
            st.signal = info.si_status;
        }
        status_ = st;
    }
    return status_;
}

std::optional<ExitStatus> Process::wait_exit(Millis timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (auto st = poll_exit()) {
            return st;
        }
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        sleep_for(10ms);
    }
}

bool Process::running() { return !poll_exit().has_value(); }

void Process::kill(int sig) {
    if (pid_ > 0 && !reaped_) {
        ::kill(-pid_, sig);
    }
}

ExitStatus Process::stop(Millis grace) {
    if (reaped_) {
        return status_.value_or(ExitStatus{});
    }
    if (stdin_fd_ >= 0) {
        ::close(stdin_fd_);
        stdin_fd_ = -1;
    }
    if (pid_ <= 0) {
        return ExitStatus{};
    }
    if (!poll_exit()) {
        kill(SIGTERM);
        if (!wait_exit(grace)) {
            kill(SIGKILL);
            wait_exit(10000ms);
        }
    }
    // The leader is a zombie now (or unkillable); take its group down with it.
    kill(SIGKILL);
    if (status_) {
        int st = 0;
        while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
        }
        reaped_ = true;
    }
    return status_.value_or(ExitStatus{true, 0, SIGKILL});
}

bool Process::write_stdin(std::string_view data) {
    if (stdin_fd_ < 0) {
        return false;
    }
    while (!data.empty()) {
        ssize_t n = ::send(stdin_fd_, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void Process::close_stdin() {
    if (stdin_fd_ >= 0) {
        ::close(stdin_fd_);
        stdin_fd_ = -1;
    }
}

std::string Process::describe(std::size_t tail_bytes) const {
    std::string s = "command:";
    for (const auto& a : argv_) {
        s += " " + a;
    }
    s += "\npid: " + std::to_string(pid_);
    s += "\nstatus: " + (status_ ? status_->describe() : std::string("running"));
    s += "\n--- stdout ---\n" + tail(refresh(out_), tail_bytes);
    s += "\n--- stderr ---\n" + tail(refresh(err_), tail_bytes) + "\n";
    return s;
}

// ---------------------------------------------------------------------------
// Images

std::ostream& operator<<(std::ostream& os, const Rgb& c) {
    return os << "rgb(" << int(c.r) << ", " << int(c.g) << ", " << int(c.b) << ")";
}

Rgb Image::pixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= width || y >= height) {
        throw std::out_of_range("pixel (" + std::to_string(x) + ", " + std::to_string(y) +
                                ") outside " + std::to_string(width) + "x" + std::to_string(height));
    }
    const std::size_t i = (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                           static_cast<std::size_t>(x)) * 3;
    return Rgb{rgb[i], rgb[i + 1], rgb[i + 2]};
}

std::size_t Image::count_near(Rgb colour, int tolerance) const {
    std::size_t count = 0;
    for (std::size_t i = 0; i + 2 < rgb.size(); i += 3) {
        if (std::abs(int(rgb[i]) - colour.r) <= tolerance &&
            std::abs(int(rgb[i + 1]) - colour.g) <= tolerance &&
            std::abs(int(rgb[i + 2]) - colour.b) <= tolerance) {
            ++count;
        }
    }
    return count;
}

Rgb Image::average() const {
    if (rgb.empty()) {
        return {};
    }
    std::uint64_t sum[3] = {0, 0, 0};
    for (std::size_t i = 0; i + 2 < rgb.size(); i += 3) {
        sum[0] += rgb[i];
        sum[1] += rgb[i + 1];
        sum[2] += rgb[i + 2];
    }
    const std::uint64_t n = rgb.size() / 3;
    return Rgb{static_cast<std::uint8_t>((sum[0] + n / 2) / n), static_cast<std::uint8_t>((sum[1] + n / 2) / n),
               static_cast<std::uint8_t>((sum[2] + n / 2) / n)};
}

Image Image::parse_ppm(std::string_view data) {
    std::size_t pos = 0;
    auto fail = [](const std::string& why) -> Image { throw std::runtime_error("bad PPM: " + why); };
    auto skip_space = [&] {
        while (pos < data.size()) {
            if (data[pos] == '#') {
                while (pos < data.size() && data[pos] != '\n') {
                    ++pos;
                }
            } else if (std::isspace(static_cast<unsigned char>(data[pos]))) {
                ++pos;
            } else {
                break;
            }
        }
    };
    auto number = [&]() -> long {
        skip_space();
        long v = 0;
        std::size_t start = pos;
        while (pos < data.size() && std::isdigit(static_cast<unsigned char>(data[pos])) && v < 1000000) {
            v = v * 10 + (data[pos] - '0');
            ++pos;
        }
        if (pos == start) {
            throw std::runtime_error("bad PPM: expected a number at byte " + std::to_string(start));
        }
        return v;
    };
    if (data.size() < 2 || data.substr(0, 2) != "P6") {
        return fail("not P6");
    }
    pos = 2;
    const long w = number();
    const long h = number();
    const long maxval = number();
    if (w <= 0 || h <= 0 || w > 65535 || h > 65535) {
        return fail("size " + std::to_string(w) + "x" + std::to_string(h));
    }
    if (maxval != 255) {
        return fail("maxval " + std::to_string(maxval));
    }
    if (pos >= data.size() || !std::isspace(static_cast<unsigned char>(data[pos]))) {
        return fail("no separator before pixel data");
    }
    ++pos;
    const std::size_t bytes = static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 3;
    if (data.size() - pos < bytes) {
        return fail("truncated: " + std::to_string(data.size() - pos) + " of " + std::to_string(bytes) +
                    " pixel bytes");
    }
    Image img;
    img.width = static_cast<int>(w);
    img.height = static_cast<int>(h);
    img.rgb.assign(reinterpret_cast<const std::uint8_t*>(data.data() + pos),
                   reinterpret_cast<const std::uint8_t*>(data.data() + pos + bytes));
    return img;
}

Image Image::load_ppm(const fs::path& path) { return parse_ppm(read_file(path)); }

void Image::save_ppm(const fs::path& path) const {
    std::string out = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    out.append(reinterpret_cast<const char*>(rgb.data()), rgb.size());
    write_file(path, out);
}

// ---------------------------------------------------------------------------
// Proxy

std::string wlproxy_path() {
    const char* p = std::getenv("WLPROXY");
    if (p == nullptr || *p == '\0' || ::access(p, X_OK) != 0) {
        return {};
    }
    return p;
}

Proxy::Proxy(const std::string& upstream_socket, const std::string& runtime_dir, std::vector<std::string> hidden,
             Millis startup_timeout)
    : dir_("lumivane-proxy", "/tmp"), socket_path_((dir_.path() / "wayland-proxy").string()),
      runtime_dir_(runtime_dir) {
    const std::string exe = wlproxy_path();
    if (exe.empty()) {
        throw std::runtime_error("WLPROXY is not set to the wlproxy executable");
    }
    // Readable by everyone: the proxy runs as us, the client may not.
    ::chmod(dir_.path().c_str(), 0755);
    SpawnOptions options;
    options.stdin_pipe = true;
    std::vector<std::string> argv = {exe};
    for (const auto& interface : hidden) {
        argv.insert(argv.end(), {"--hide", interface});
    }
    argv.insert(argv.end(), {upstream_socket, socket_path_});
    process_ = std::make_unique<Process>(argv, Env{}, options);
    if (!process_->wait_for_stdout("ready\n", startup_timeout)) {
        throw std::runtime_error("wlproxy did not get ready\n" + process_->describe());
    }
    const std::string out = process_->stdout_text();
    consumed_ = out.find("ready\n") + 6;
}

Proxy::Proxy(const Compositor& compositor, std::vector<std::string> hidden, Millis startup_timeout)
    : Proxy(compositor.socket_path(), compositor.runtime_dir(), std::move(hidden), startup_timeout) {}

Proxy::~Proxy() {
    if (process_) {
        process_->stop();
    }
}

Env Proxy::env() const {
    return {
        {"XDG_RUNTIME_DIR", runtime_dir_},
        {"WAYLAND_DISPLAY", socket_path_},
        {"WAYLAND_SOCKET", std::nullopt},
        {"DISPLAY", std::nullopt},
    };
}

bool Proxy::command(const std::string& line, const std::string& done_line, const std::string& unknown_line,
                    Millis timeout) {
    const std::string done = done_line + "\n";
    const std::string unknown = unknown_line.empty() ? std::string() : unknown_line + "\n";
    if (!process_->write_stdin(line + "\n")) {
        return false;
    }
    bool injected = false;
    std::size_t end = std::string::npos;
    const bool answered = process_->wait_for_stdout(
        [&](const std::string& text) {
            if (text.size() <= consumed_) {
                return false;
            }
            const std::string_view fresh = std::string_view(text).substr(consumed_);
            if (auto at = fresh.find(done); at != std::string_view::npos) {
                injected = true;
                end = consumed_ + at + done.size();
                return true;
            }
            if (auto at = fresh.find(unknown); !unknown.empty() && at != std::string_view::npos) {
                end = consumed_ + at + unknown.size();
                return true;
            }
            return false;
        },
        timeout);
    if (answered) {
        consumed_ = end;
    }
    return answered && injected;
}

bool Proxy::remove(const std::string& output, Millis timeout) {
    return command("remove " + output, "injected remove " + output, "unknown " + output, timeout);
}

bool Proxy::close(const std::string& output, Millis timeout) {
    return command("close " + output, "injected close " + output, "unknown " + output, timeout);
}

bool Proxy::send(const std::string& output, const std::string& events, Millis timeout) {
    return command("send " + events + " " + output, "injected send " + output, "unknown " + output, timeout);
}

bool Proxy::resize_next(const std::string& output, std::uint32_t width, std::uint32_t height, Millis timeout) {
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    return command("resize " + size + " " + output, "armed resize " + output, {}, timeout);
}

bool Proxy::drop_frames_after(long passed, Millis timeout) {
    const std::string n = std::to_string(passed);
    return command("frames " + n, "armed frames " + n, {}, timeout);
}

}  // namespace harness
