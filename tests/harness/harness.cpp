#include "harness.hpp"

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
using Clock = std::chrono::steady_clock;

namespace {

[[noreturn]] void throw_errno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

std::string tail(const std::string& text, std::size_t bytes) {
    if (text.size() <= bytes) {
        return text;
    }
    return "[...]" + text.substr(text.size() - bytes);
}

void sleep_for(Millis ms) { std::this_thread::sleep_for(ms); }

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

std::vector<std::string> lines_matching(const std::string& text, const std::regex& re) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (std::regex_search(line, re)) {
            lines.push_back(line);
        }
    }
    return lines;
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
// A little JSON, enough for swaymsg's replies.

namespace {

struct Json {
    enum class Type { Null, Bool, Number, String, Array, Object } type = Type::Null;
    bool boolean = false;
    double number = 0;
    std::string string;
    std::vector<Json> array;
    std::vector<std::pair<std::string, Json>> object;

    const Json* get(std::string_view key) const {
        for (const auto& [k, v] : object) {
            if (k == key) {
                return &v;
            }
        }
        return nullptr;
    }
    int integer(std::string_view key, int fallback = 0) const {
        const Json* v = get(key);
        return (v != nullptr && v->type == Type::Number) ? static_cast<int>(v->number) : fallback;
    }
};

class JsonParser {
public:
    explicit JsonParser(std::string_view text) : s_(text) {}

    Json parse() {
        Json v = value(0);
        space();
        if (i_ != s_.size()) {
            error("trailing data");
        }
        return v;
    }

private:
    [[noreturn]] void error(const std::string& why) const {
        throw std::runtime_error("JSON: " + why + " at byte " + std::to_string(i_));
    }
    void space() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t')) {
            ++i_;
        }
    }
    bool eat(char c) {
        space();
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    void expect(char c) {
        if (!eat(c)) {
            error(std::string("expected '") + c + "'");
        }
    }
    bool literal(std::string_view word) {
        if (s_.substr(i_, word.size()) == word) {
            i_ += word.size();
            return true;
        }
        return false;
    }
    Json value(int depth) {
        if (depth > 64) {
            error("nested too deeply");
        }
        space();
        if (i_ >= s_.size()) {
            error("unexpected end");
        }
        Json v;
        const char c = s_[i_];
        if (c == '{') {
            ++i_;
            v.type = Json::Type::Object;
            if (eat('}')) {
                return v;
            }
            do {
                space();
                std::string key = str();
                expect(':');
                v.object.emplace_back(std::move(key), value(depth + 1));
            } while (eat(','));
            expect('}');
        } else if (c == '[') {
            ++i_;
            v.type = Json::Type::Array;
            if (eat(']')) {
                return v;
            }
            do {
                v.array.push_back(value(depth + 1));
            } while (eat(','));
            expect(']');
        } else if (c == '"') {
            v.type = Json::Type::String;
            v.string = str();
        } else if (literal("true")) {
            v.type = Json::Type::Bool;
            v.boolean = true;
        } else if (literal("false")) {
            v.type = Json::Type::Bool;
        } else if (literal("null")) {
            v.type = Json::Type::Null;
        } else {
            const std::size_t start = i_;
            while (i_ < s_.size() && (std::isdigit(static_cast<unsigned char>(s_[i_])) || s_[i_] == '-' ||
                                      s_[i_] == '+' || s_[i_] == '.' || s_[i_] == 'e' || s_[i_] == 'E')) {
                ++i_;
            }
            if (start == i_) {
                error("unexpected character");
            }
            v.type = Json::Type::Number;
            v.number = std::strtod(std::string(s_.substr(start, i_ - start)).c_str(), nullptr);
        }
        return v;
    }
    std::string str() {
        if (i_ >= s_.size() || s_[i_] != '"') {
            error("expected string");
        }
        ++i_;
        std::string out;
        while (i_ < s_.size() && s_[i_] != '"') {
            char c = s_[i_++];
            if (c != '\\') {
                out += c;
                continue;
            }
            if (i_ >= s_.size()) {
                break;
            }
            char e = s_[i_++];
            switch (e) {
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'u': {
                if (i_ + 4 > s_.size()) {
                    error("short \\u escape");
                }
                unsigned cp = static_cast<unsigned>(std::stoul(std::string(s_.substr(i_, 4)), nullptr, 16));
                i_ += 4;
                if (cp < 0x80) {
                    out += static_cast<char>(cp);
                } else if (cp < 0x800) {
                    out += static_cast<char>(0xC0 | (cp >> 6));
                    out += static_cast<char>(0x80 | (cp & 0x3F));
                } else {
                    out += static_cast<char>(0xE0 | (cp >> 12));
                    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                    out += static_cast<char>(0x80 | (cp & 0x3F));
                }
                break;
            }
            default: out += e; break;
            }
        }
        if (i_ >= s_.size()) {
            error("unterminated string");
        }
        ++i_;
        return out;
    }

    std::string_view s_;
    std::size_t i_ = 0;
};

std::vector<OutputInfo> parse_outputs(const std::string& text) {
    Json root = JsonParser(text).parse();
    if (root.type != Json::Type::Array) {
        throw std::runtime_error("get_outputs: expected a JSON array");
    }
    std::vector<OutputInfo> outputs;
    for (const Json& o : root.array) {
        OutputInfo info;
        if (const Json* name = o.get("name"); name != nullptr && name->type == Json::Type::String) {
            info.name = name->string;
        }
        if (const Json* rect = o.get("rect"); rect != nullptr) {
            info.x = rect->integer("x");
            info.y = rect->integer("y");
        }
        if (const Json* mode = o.get("current_mode"); mode != nullptr) {
            info.width = mode->integer("width");
            info.height = mode->integer("height");
        }
        if (const Json* scale = o.get("scale"); scale != nullptr && scale->type == Json::Type::Number) {
            info.scale = scale->number;
        }
        if (const Json* active = o.get("active"); active != nullptr && active->type == Json::Type::Bool) {
            info.active = active->boolean;
        }
        outputs.push_back(std::move(info));
    }
    return outputs;
}

// ---------------------------------------------------------------------------
// Compositor helpers

struct Account {
    uid_t uid;
    gid_t gid;
};

std::optional<Account> lookup_account(const char* name) {
    struct passwd* pw = ::getpwnam(name);
    if (pw == nullptr) {
        return std::nullopt;
    }
    return Account{pw->pw_uid, pw->pw_gid};
}

Account ensure_account(const char* name) {
    if (auto acct = lookup_account(name)) {
        return *acct;
    }
    Process useradd({"useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", name});
    auto st = useradd.wait_exit(30000ms);
    // Another test binary may have created it at the same time; only the
    // account's existence matters.
    if (auto acct = lookup_account(name)) {
        return *acct;
    }
    throw std::runtime_error(std::string("cannot create account ") + name + " for sway (" +
                             (st ? st->describe() : std::string("timed out")) + "):\n" + useradd.describe());
}

bool is_socket_file(const fs::path& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

bool can_connect(const std::string& path) {
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) {
        return false;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

// ---------------------------------------------------------------------------
// Sway

Sway::Sway(int outputs, std::string extra_config, Millis startup_timeout)
    : runtime_("lumivane-sway", "/tmp"), runtime_dir_(runtime_.path().string()) {
    if (outputs < 1) {
        throw std::invalid_argument("Sway needs at least one output");
    }
    SpawnOptions options;
    options.cwd = runtime_dir_;
    std::optional<Account> account;
    if (::geteuid() == 0) {
        account = ensure_account(kAccount);
        if (::chown(runtime_dir_.c_str(), account->uid, account->gid) < 0) {
            throw_errno("chown " + runtime_dir_);
        }
        options.uid = account->uid;
        options.gid = account->gid;
    }
    ::chmod(runtime_dir_.c_str(), 0700);

    // No "output * bg" line: whatever shows on an output besides the clear
    // colour comes from the clients under test.
    const fs::path config = runtime_.path() / "sway.config";
    write_file(config, "xwayland disable\n" + extra_config + "\n");
    if (account && ::chown(config.c_str(), account->uid, account->gid) < 0) {
        throw_errno("chown " + config.string());
    }

    const Env env = {
        {"XDG_RUNTIME_DIR", runtime_dir_},
        {"HOME", runtime_dir_},
        {"WLR_BACKENDS", "headless"},
        {"WLR_RENDERER", "pixman"},
        {"WLR_LIBINPUT_NO_DEVICES", "1"},
        {"WLR_HEADLESS_OUTPUTS", std::to_string(outputs)},
        {"WAYLAND_DISPLAY", std::nullopt},
        {"WAYLAND_SOCKET", std::nullopt},
        {"WAYLAND_DEBUG", std::nullopt},
        {"DISPLAY", std::nullopt},
        {"SWAYSOCK", std::nullopt},
        {"I3SOCK", std::nullopt},
    };
    process_ = std::make_unique<Process>(std::vector<std::string>{"sway", "-c", config.string()}, env, options);

    const auto deadline = Clock::now() + startup_timeout;
    std::string last_problem = "no sockets yet";
    for (;;) {
        if (!process_->running()) {
            throw std::runtime_error("sway exited during start-up\n" + process_->describe());
        }
        if (display_.empty() || ipc_socket_.empty()) {
            std::error_code ec;
            for (const auto& entry : fs::directory_iterator(runtime_.path(), ec)) {
                const std::string name = entry.path().filename().string();
                if (display_.empty() && name.rfind("wayland-", 0) == 0 && is_socket_file(entry.path())) {
                    display_ = name;
                } else if (ipc_socket_.empty() && name.rfind("sway-ipc.", 0) == 0 && is_socket_file(entry.path())) {
                    ipc_socket_ = entry.path().string();
                }
            }
        }
        if (!display_.empty() && !ipc_socket_.empty()) {
            MsgResult r = msg({"-t", "get_outputs", "-r"}, 5000ms);
            if (r.status == 0) {
                try {
                    if (parse_outputs(r.output).size() >= static_cast<std::size_t>(outputs)) {
                        return;
                    }
                    last_problem = "outputs not all there: " + r.output;
                } catch (const std::exception& e) {
                    last_problem = e.what();
                }
            } else {
                last_problem = "swaymsg status " + std::to_string(r.status) + ": " + r.output;
            }
        }
        if (Clock::now() >= deadline) {
            throw std::runtime_error("sway not ready after " + std::to_string(startup_timeout.count()) +
                                     " ms (" + last_problem + ")\n" + process_->describe());
        }
        sleep_for(50ms);
    }
}

Sway::~Sway() {
    if (process_) {
        process_->stop();
    }
}

Env Sway::env() const {
    return {
        {"XDG_RUNTIME_DIR", runtime_dir_}, {"WAYLAND_DISPLAY", display_}, {"SWAYSOCK", ipc_socket_},
        {"WAYLAND_SOCKET", std::nullopt},  {"DISPLAY", std::nullopt},
    };
}

pid_t Sway::pid() const { return process_->pid(); }

std::string Sway::log() const { return process_->stderr_text(); }

MsgResult Sway::msg(const std::vector<std::string>& args, Millis timeout) const {
    std::vector<std::string> argv = {"swaymsg", "-s", ipc_socket_};
    argv.insert(argv.end(), args.begin(), args.end());
    Process p(argv, Env{{"SWAYSOCK", std::nullopt}, {"I3SOCK", std::nullopt}});
    MsgResult r;
    auto st = p.wait_exit(timeout);
    r.output = p.stdout_text();
    if (st && !st->signaled) {
        r.status = st->code;
    }
    if (r.status != 0) {
        r.output += p.stderr_text();
    }
    return r;
}

std::vector<OutputInfo> Sway::outputs() const {
    MsgResult r = msg({"-t", "get_outputs", "-r"});
    if (r.status != 0) {
        throw std::runtime_error("swaymsg get_outputs failed (" + std::to_string(r.status) + "): " + r.output);
    }
    return parse_outputs(r.output);
}

std::optional<OutputInfo> Sway::output(const std::string& name) const {
    for (auto& o : outputs()) {
        if (o.name == name) {
            return o;
        }
    }
    return std::nullopt;
}

std::string Sway::create_output(Millis timeout) {
    std::vector<std::string> before;
    for (const auto& o : outputs()) {
        before.push_back(o.name);
    }
    MsgResult r = msg({"create_output"});
    if (r.status != 0) {
        throw std::runtime_error("swaymsg create_output failed: " + r.output);
    }
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        for (const auto& o : outputs()) {
            if (std::find(before.begin(), before.end(), o.name) == before.end()) {
                return o.name;
            }
        }
        if (Clock::now() >= deadline) {
            throw std::runtime_error("no new output after create_output");
        }
        sleep_for(50ms);
    }
}

void Sway::set_mode(const std::string& name, int width, int height, Millis timeout) {
    MsgResult r = msg({"output", name, "mode", std::to_string(width) + "x" + std::to_string(height)});
    if (r.status != 0) {
        throw std::runtime_error("swaymsg output " + name + " mode failed: " + r.output);
    }
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        auto o = output(name);
        if (o && o->width == width && o->height == height) {
            return;
        }
        if (Clock::now() >= deadline) {
            throw std::runtime_error("output " + name + " did not take mode " + std::to_string(width) + "x" +
                                     std::to_string(height));
        }
        sleep_for(50ms);
    }
}

Image Sway::grab(const std::string& name) const {
    Process grim({"grim", "-o", name, "-t", "ppm", "-"}, env());
    auto st = grim.wait_exit(10000ms);
    if (!st || !st->success()) {
        throw std::runtime_error("grim failed\n" + grim.describe(1000));
    }
    return Image::parse_ppm(grim.stdout_text());
}

bool Sway::wait_for_image(const std::string& name, const std::function<bool(const Image&)>& pred,
                          Millis timeout, Image* last) const {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        Image img = grab(name);
        const bool ok = pred(img);
        if (last != nullptr) {
            *last = std::move(img);
        }
        if (ok) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        sleep_for(50ms);
    }
}

void Sway::kill(int sig) {
    process_->kill(sig);
    if (!process_->wait_exit(5000ms)) {
        process_->kill(SIGKILL);
    }
    process_->stop();
}

// ---------------------------------------------------------------------------
// Weston

Weston::Weston(int width, int height, Millis startup_timeout)
    : runtime_("lumivane-weston", "/tmp"), runtime_dir_(runtime_.path().string()), display_("wayland-weston") {
    ::chmod(runtime_dir_.c_str(), 0700);
    const Env env = {
        {"XDG_RUNTIME_DIR", runtime_dir_},
        {"WAYLAND_DISPLAY", std::nullopt},
        {"WAYLAND_SOCKET", std::nullopt},
        {"WAYLAND_DEBUG", std::nullopt},
        {"DISPLAY", std::nullopt},
    };
    SpawnOptions options;
    options.cwd = runtime_dir_;
    process_ = std::make_unique<Process>(
        std::vector<std::string>{"weston", "--backend=headless-backend.so", "--socket=" + display_, "--no-config",
                                 "--idle-time=0", "--width=" + std::to_string(width),
                                 "--height=" + std::to_string(height)},
        env, options);
    const auto deadline = Clock::now() + startup_timeout;
    for (;;) {
        if (!process_->running()) {
            throw std::runtime_error("weston exited during start-up\n" + process_->describe());
        }
        if (is_socket_file(socket_path()) && can_connect(socket_path())) {
            return;
        }
        if (Clock::now() >= deadline) {
            throw std::runtime_error("weston not ready\n" + process_->describe());
        }
        sleep_for(50ms);
    }
}

Weston::~Weston() {
    if (process_) {
        process_->stop();
    }
}

Env Weston::env() const {
    return {
        {"XDG_RUNTIME_DIR", runtime_dir_},
        {"WAYLAND_DISPLAY", display_},
        {"WAYLAND_SOCKET", std::nullopt},
        {"DISPLAY", std::nullopt},
    };
}

pid_t Weston::pid() const { return process_->pid(); }

std::string Weston::log() const { return process_->stderr_text(); }

void Weston::kill(int sig) {
    process_->kill(sig);
    if (!process_->wait_exit(5000ms)) {
        process_->kill(SIGKILL);
    }
    process_->stop();
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

Proxy::Proxy(const std::string& upstream_socket, const std::string& runtime_dir, Millis startup_timeout)
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
    process_ = std::make_unique<Process>(std::vector<std::string>{exe, upstream_socket, socket_path_}, Env{},
                                         options);
    if (!process_->wait_for_stdout("ready\n", startup_timeout)) {
        throw std::runtime_error("wlproxy did not get ready\n" + process_->describe());
    }
    const std::string out = process_->stdout_text();
    consumed_ = out.find("ready\n") + 6;
}

Proxy::Proxy(const Sway& sway, Millis startup_timeout)
    : Proxy(sway.socket_path(), sway.runtime_dir(), startup_timeout) {}

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

bool Proxy::command(const std::string& verb, const std::string& output, Millis timeout) {
    const std::string done = "injected " + verb + " " + output + "\n";
    const std::string unknown = "unknown " + output + "\n";
    if (!process_->write_stdin(verb + " " + output + "\n")) {
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
            if (auto at = fresh.find(unknown); at != std::string_view::npos) {
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

bool Proxy::remove(const std::string& output, Millis timeout) { return command("remove", output, timeout); }

bool Proxy::close(const std::string& output, Millis timeout) { return command("close", output, timeout); }

}  // namespace harness
