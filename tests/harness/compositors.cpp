// The compositors the end-to-end tests start: each headless, in a private
// runtime directory, stopped by its PID when its owner goes away.
#include "harness.hpp"
#include "internal.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace harness {

namespace fs = std::filesystem;
using namespace internal;

namespace {

// ---------------------------------------------------------------------------
// swaymsg's replies

using Json = nlohmann::json;

// `object[key]`, or `fallback` where the member is missing or null (as
// sway leaves a disabled output's mode and scale).
template <typename T>
T member(const Json& object, const char* key, T fallback) {
    if (!object.is_object()) {
        return fallback;
    }
    const auto it = object.find(key);
    return it == object.end() || it->is_null() ? fallback : it->template get<T>();
}

std::vector<OutputInfo> parse_outputs(const std::string& text) {
    const Json root = Json::parse(text);
    if (!root.is_array()) {
        throw std::runtime_error("get_outputs: expected a JSON array");
    }
    std::vector<OutputInfo> outputs;
    for (const Json& o : root) {
        OutputInfo info;
        info.name = member<std::string>(o, "name", "");
        const Json rect = member(o, "rect", Json::object());
        info.x = member(rect, "x", 0);
        info.y = member(rect, "y", 0);
        const Json mode = member(o, "current_mode", Json::object());
        info.width = member(mode, "width", 0);
        info.height = member(mode, "height", 0);
        info.scale = member(o, "scale", 1.0);
        info.active = member(o, "active", false);
        outputs.push_back(std::move(info));
    }
    return outputs;
}

// Polls `output` until it reports `scale`.
void wait_for_scale(const std::string& name, double scale,
                    const std::function<std::optional<OutputInfo>(const std::string&)>& output, Millis timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        auto o = output(name);
        if (o && std::abs(o->scale - scale) < 1e-3) {
            return;
        }
        if (Clock::now() >= deadline) {
            throw std::runtime_error("output " + name + " did not take scale " + std::to_string(scale));
        }
        sleep_for(50ms);
    }
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

// WLR_HEADLESS_OUTPUTS outputs on wlroots' headless backend, drawn by pixman.
Env headless_env(int outputs) {
    return {
        {"WLR_BACKENDS", "headless"},
        {"WLR_RENDERER", "pixman"},
        {"WLR_LIBINPUT_NO_DEVICES", "1"},
        {"WLR_HEADLESS_OUTPUTS", std::to_string(outputs)},
    };
}

// An output's pixels through wlr-screencopy.
Image grim(const Env& env, const std::string& output) {
    Process grim({"grim", "-o", output, "-t", "ppm", "-"}, env);
    auto st = grim.wait_exit(10000ms);
    if (!st || !st->success()) {
        throw std::runtime_error("grim failed\n" + grim.describe(1000));
    }
    return Image::parse_ppm(grim.stdout_text());
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
// Releases

std::string Version::str() const {
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

std::ostream& operator<<(std::ostream& os, const Version& v) { return os << v.str(); }

std::optional<Version> Version::find(std::string_view text) {
    static const std::regex number(R"((\d+)\.(\d+)(?:\.(\d+))?)");
    std::match_results<std::string_view::const_iterator> m;
    if (!std::regex_search(text.begin(), text.end(), m, number)) {
        return std::nullopt;
    }
    return Version{std::stoi(m[1].str()), std::stoi(m[2].str()), m[3].matched ? std::stoi(m[3].str()) : 0};
}

bool release_packages(const std::string& package) {
    const char* list = std::getenv("LUMIVANE_COMPOSITORS");
    if (list == nullptr) {
        return true;
    }
    std::istringstream words(list);
    for (std::string word; words >> word;) {
        if (word == package) {
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// What every compositor shares

Compositor::Compositor(std::string_view name)
    : name_(name), runtime_("lumivane-" + std::string(name), "/tmp"), runtime_dir_(runtime_.path().string()) {
    ::chmod(runtime_dir_.c_str(), 0700);
}

Compositor::~Compositor() { shut_down(); }

void Compositor::shut_down() {
    if (process_) {
        process_->stop();
    }
}

SpawnOptions Compositor::as_test_account() {
    SpawnOptions options;
    options.cwd = runtime_dir_;
    if (::geteuid() != 0) {
        return options;
    }
    const Account account = ensure_account(kTestAccount);
    if (::chown(runtime_dir_.c_str(), account.uid, account.gid) < 0) {
        throw_errno("chown " + runtime_dir_);
    }
    options.uid = account.uid;
    options.gid = account.gid;
    return options;
}

void Compositor::give_to_process_owner(const fs::path& path, const SpawnOptions& options) {
    if (options.uid && ::chown(path.c_str(), *options.uid, *options.gid) < 0) {
        throw_errno("chown " + path.string());
    }
}

void Compositor::launch(std::vector<std::string> argv, const Env& env, SpawnOptions options,
                        const std::function<std::string()>& ready, Millis timeout) {
    const Env base = {
        {"XDG_RUNTIME_DIR", runtime_dir_},
        {"HOME", runtime_dir_},
        {"WAYLAND_DISPLAY", std::nullopt},
        {"WAYLAND_SOCKET", std::nullopt},
        {"WAYLAND_DEBUG", std::nullopt},
        {"DISPLAY", std::nullopt},
        {"DBUS_SESSION_BUS_ADDRESS", std::nullopt},
    };
    if (!options.cwd) {
        options.cwd = runtime_dir_;
    }
    process_ = std::make_unique<Process>(std::move(argv), merge(base, env), options);
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (!process_->running()) {
            throw std::runtime_error(name_ + " exited during start-up\n" + process_->describe());
        }
        const std::string problem = ready();
        if (problem.empty()) {
            return;
        }
        if (Clock::now() >= deadline) {
            throw std::runtime_error(name_ + " not ready after " + std::to_string(timeout.count()) + " ms (" +
                                     problem + ")\n" + process_->describe());
        }
        sleep_for(50ms);
    }
}

std::string Compositor::find_socket(std::string_view prefix) const {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(runtime_dir_, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0 && is_socket_file(entry.path())) {
            return name;
        }
    }
    return {};
}

std::string Compositor::socket_answers() const {
    if (display_.empty()) {
        return "no Wayland socket yet";
    }
    return can_connect(socket_path()) ? std::string() : "nothing answers on " + socket_path();
}

Env Compositor::env() const {
    return {
        {"XDG_RUNTIME_DIR", runtime_dir_},
        {"WAYLAND_DISPLAY", display_},
        {"WAYLAND_SOCKET", std::nullopt},
        {"DISPLAY", std::nullopt},
    };
}

pid_t Compositor::pid() const { return process_->pid(); }

std::string Compositor::log() const { return process_->stderr_text(); }

void Compositor::kill(int sig) {
    process_->kill(sig);
    if (!process_->wait_exit(5000ms)) {
        process_->kill(SIGKILL);
    }
    process_->stop();
}

std::vector<Global> parse_globals(const std::string& info) {
    // "interface: 'wl_output',          version:  4, name: 46"
    static const std::regex line(R"(^interface: '(\w+)',\s+version:\s+(\d+), name:\s+(\d+))");
    std::vector<Global> globals;
    std::istringstream in(info);
    std::smatch m;
    for (std::string text; std::getline(in, text);) {
        if (std::regex_search(text, m, line)) {
            globals.push_back({m[1].str(), static_cast<std::uint32_t>(std::stoul(m[2].str())),
                               static_cast<std::uint32_t>(std::stoul(m[3].str()))});
        }
    }
    return globals;
}

std::string Compositor::wayland_info() const {
    Process info({"wayland-info"}, env());
    const auto status = info.wait_exit(10000ms);
    if (!status || !status->success()) {
        throw std::runtime_error("wayland-info failed on " + name_ + "\n" + info.describe(2000));
    }
    return info.stdout_text();
}

std::vector<Global> Compositor::globals() const { return parse_globals(wayland_info()); }

std::uint32_t Compositor::offered(std::string_view interface) const {
    std::uint32_t version = 0;
    for (const Global& g : globals()) {
        if (g.interface == interface) {
            version = std::max(version, g.version);
        }
    }
    return version;
}

Image Compositor::grab(const std::string&) const {
    throw std::logic_error(name_ + " offers the tests no way to read its pixels");
}

bool Compositor::wait_for_image(const std::string& output, const std::function<bool(const Image&)>& pred,
                                Millis timeout, Image* last) const {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        Image img = grab(output);
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

// ---------------------------------------------------------------------------
// Sway

Sway::Sway(int outputs, std::string extra_config, Millis startup_timeout) : Compositor("sway") {
    if (outputs < 1) {
        throw std::invalid_argument("Sway needs at least one output");
    }
    // sway refuses to run as root.
    const SpawnOptions options = as_test_account();
    // No "output * bg" line: whatever shows on an output besides the clear
    // colour comes from the clients under test.
    const fs::path config = fs::path(runtime_dir_) / "sway.config";
    write_file(config, "xwayland disable\n" + extra_config + "\n");
    give_to_process_owner(config, options);

    const Env env = merge(headless_env(outputs), {{"SWAYSOCK", std::nullopt}, {"I3SOCK", std::nullopt}});
    launch({"sway", "-c", config.string()}, env, options, [&]() -> std::string {
        if (display_.empty()) {
            display_ = find_socket("wayland-");
        }
        if (ipc_socket_.empty()) {
            if (std::string ipc = find_socket("sway-ipc."); !ipc.empty()) {
                ipc_socket_ = runtime_dir_ + "/" + ipc;
            }
        }
        if (display_.empty() || ipc_socket_.empty()) {
            return "no sockets yet";
        }
        MsgResult r = msg({"-t", "get_outputs", "-r"}, 5000ms);
        if (r.status != 0) {
            return "swaymsg status " + std::to_string(r.status) + ": " + r.output;
        }
        try {
            if (parse_outputs(r.output).size() >= static_cast<std::size_t>(outputs)) {
                return {};
            }
            return "outputs not all there: " + r.output;
        } catch (const std::exception& e) {
            return e.what();
        }
    }, startup_timeout);
}

Env Sway::env() const { return merge(Compositor::env(), {{"SWAYSOCK", ipc_socket_}}); }

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

void Sway::set_scale(const std::string& name, double scale, const std::string& mode, Millis timeout) {
    std::vector<std::string> command = {"output", name, "scale", std::to_string(scale)};
    if (!mode.empty()) {
        command.insert(command.end(), {"mode", mode});
    }
    MsgResult r = msg(command);
    if (r.status != 0) {
        throw std::runtime_error("swaymsg output " + name + " scale failed: " + r.output);
    }
    wait_for_scale(name, scale, [&](const std::string& n) { return output(n); }, timeout);
}

Version Sway::version() const {
    MsgResult r = msg({"-t", "get_version", "-r"});
    if (r.status != 0) {
        throw std::runtime_error("swaymsg get_version failed (" + std::to_string(r.status) + "): " + r.output);
    }
    const Json reply = Json::parse(r.output);
    return Version{member(reply, "major", 0), member(reply, "minor", 0), member(reply, "patch", 0)};
}

void Sway::command_output(const std::string& name, const std::string& verb,
                          const std::function<bool(const std::optional<OutputInfo>&)>& done, Millis timeout) {
    MsgResult r = msg({"output", name, verb});
    if (r.status != 0) {
        throw std::runtime_error("swaymsg output " + name + " " + verb + " failed: " + r.output);
    }
    const auto deadline = Clock::now() + timeout;
    while (!done(output(name))) {
        if (Clock::now() >= deadline) {
            throw std::runtime_error("sway did not " + verb + " " + name + " (sway " + version().str() + ")");
        }
        sleep_for(50ms);
    }
}

void Sway::disable_output(const std::string& name, Millis timeout) {
    command_output(name, "disable", [](const std::optional<OutputInfo>& o) { return o && !o->active; }, timeout);
}

void Sway::unplug_output(const std::string& name, Millis timeout) {
    command_output(name, "unplug", [](const std::optional<OutputInfo>& o) { return !o; }, timeout);
}

Image Sway::grab(const std::string& name) const { return grim(env(), name); }

// ---------------------------------------------------------------------------
// labwc, phoc and Wayfire

namespace {

// wlr-randr's --json: a list of heads with "name", "enabled" and "modes",
// the current one marked "current"; what a disabled head leaves out reads
// as its default.
std::vector<OutputInfo> parse_heads(const std::string& text) {
    const Json root = Json::parse(text);
    if (!root.is_array()) {
        throw std::runtime_error("wlr-randr --json: expected a JSON array");
    }
    std::vector<OutputInfo> outputs;
    for (const Json& head : root) {
        OutputInfo info;
        info.name = member<std::string>(head, "name", "");
        info.active = member(head, "enabled", false);
        const Json position = member(head, "position", Json::object());
        info.x = member(position, "x", 0);
        info.y = member(position, "y", 0);
        info.scale = member(head, "scale", 1.0);
        for (const Json& mode : member(head, "modes", Json::array())) {
            if (member(mode, "current", false)) {
                info.width = member(mode, "width", 0);
                info.height = member(mode, "height", 0);
            }
        }
        outputs.push_back(std::move(info));
    }
    return outputs;
}

}  // namespace

void Wlroots::start(std::vector<std::string> argv, int outputs, const SpawnOptions& options, Millis timeout) {
    if (outputs < 1) {
        throw std::invalid_argument(name_ + " needs at least one output");
    }
    launch(std::move(argv), headless_env(outputs), options, [&]() -> std::string {
        if (display_.empty()) {
            display_ = find_socket("wayland-");
        }
        if (std::string problem = socket_answers(); !problem.empty()) {
            return problem;
        }
        try {
            const auto heads = this->outputs();
            const auto enabled = std::count_if(heads.begin(), heads.end(), [](const auto& o) { return o.active; });
            return enabled >= outputs ? std::string() : "outputs not all there";
        } catch (const std::exception& e) {
            return e.what();
        }
    }, timeout);
}

std::string Wlroots::randr(const std::vector<std::string>& args, Millis timeout) const {
    std::vector<std::string> argv = {"wlr-randr"};
    argv.insert(argv.end(), args.begin(), args.end());
    Process p(argv, env());
    const auto status = p.wait_exit(timeout);
    if (!status || !status->success()) {
        throw std::runtime_error("wlr-randr failed on " + name_ + "\n" + p.describe(2000));
    }
    return p.stdout_text();
}

std::vector<OutputInfo> Wlroots::outputs() const { return parse_heads(randr({"--json"})); }

std::optional<OutputInfo> Wlroots::output(const std::string& name) const {
    for (auto& o : outputs()) {
        if (o.name == name) {
            return o;
        }
    }
    return std::nullopt;
}

void Wlroots::set_mode(const std::string& name, int width, int height, Millis timeout) {
    randr({"--output", name, "--custom-mode", std::to_string(width) + "x" + std::to_string(height)});
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        auto o = output(name);
        if (o && o->width == width && o->height == height) {
            return;
        }
        if (Clock::now() >= deadline) {
            throw std::runtime_error(name_ + ": output " + name + " did not take mode " + std::to_string(width) +
                                     "x" + std::to_string(height));
        }
        sleep_for(50ms);
    }
}

void Wlroots::set_scale(const std::string& name, double scale, Millis timeout) {
    randr({"--output", name, "--scale", std::to_string(scale)});
    wait_for_scale(name, scale, [&](const std::string& n) { return output(n); }, timeout);
}

void Wlroots::disable_output(const std::string& name, Millis timeout) {
    randr({"--output", name, "--off"});
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        auto o = output(name);
        if (o && !o->active) {
            return;
        }
        if (Clock::now() >= deadline) {
            throw std::runtime_error(name_ + ": output " + name + " did not turn off");
        }
        sleep_for(50ms);
    }
}

Image Wlroots::grab(const std::string& output) const { return grim(env(), output); }

Labwc::Labwc(int outputs, Millis startup_timeout) : Wlroots("labwc") {
    const SpawnOptions options = as_test_account();
    // An empty folder: labwc's defaults, and none of the user's files.
    const fs::path config = fs::path(runtime_dir_) / "labwc";
    fs::create_directory(config);
    give_to_process_owner(config, options);
    start({"labwc", "-C", config.string()}, outputs, options, startup_timeout);
}

Phoc::Phoc(int outputs, Millis startup_timeout) : Wlroots("phoc") {
    const SpawnOptions options = as_test_account();
    const fs::path config = fs::path(runtime_dir_) / "phoc.ini";
    write_file(config, "[core]\nxwayland=false\n");
    give_to_process_owner(config, options);
    start({"phoc", "-C", config.string()}, outputs, options, startup_timeout);
}

Wayfire::Wayfire(int outputs, Millis startup_timeout) : Wlroots("wayfire") {
    const SpawnOptions options = as_test_account();
    // No plugins: no panel, background or animation of Wayfire's own.
    const fs::path config = fs::path(runtime_dir_) / "wayfire.ini";
    write_file(config, "[core]\nplugins =\nxwayland = false\n");
    give_to_process_owner(config, options);
    start({"wayfire", "-c", config.string()}, outputs, options, startup_timeout);
}

std::optional<Version> Wayfire::installed_version() {
    if (!which("wayfire")) {
        return std::nullopt;
    }
    Process p({"wayfire", "--version"});
    const auto status = p.wait_exit(10000ms);
    if (!status) {
        return std::nullopt;
    }
    return Version::find(p.stdout_text() + p.stderr_text());
}

// ---------------------------------------------------------------------------
// Weston

Weston::Weston(int width, int height, Millis startup_timeout) : Compositor("weston") {
    display_ = "wayland-weston";
    launch({"weston", "--backend=headless-backend.so", "--socket=" + display_, "--no-config", "--idle-time=0",
            "--width=" + std::to_string(width), "--height=" + std::to_string(height)},
           {}, {}, [&] { return socket_answers(); }, startup_timeout);
}

// ---------------------------------------------------------------------------
// A private session bus

SessionBus::SessionBus(const fs::path& dir, Millis startup_timeout)
    : path_((dir / "bus").string()), address_("unix:path=" + path_) {
    process_ = std::make_unique<Process>(
        std::vector<std::string>{"dbus-daemon", "--session", "--address=" + address_, "--nofork", "--nopidfile"});
    const auto deadline = Clock::now() + startup_timeout;
    while (!can_connect(path_)) {
        if (!process_->running() || Clock::now() >= deadline) {
            throw std::runtime_error("dbus-daemon did not start\n" + process_->describe());
        }
        sleep_for(20ms);
    }
}

SessionBus::~SessionBus() { process_->stop(); }

namespace {

// One connection to a bus, closed when it goes.
struct BusConnection {
    sd_bus* bus = nullptr;

    explicit BusConnection(const std::string& address) {
        int r = sd_bus_new(&bus);
        if (r >= 0) r = sd_bus_set_address(bus, address.c_str());
        if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
        if (r >= 0) r = sd_bus_start(bus);
        if (r < 0) {
            sd_bus_unref(bus);
            throw std::runtime_error("cannot connect to " + address + ": " + std::strerror(-r));
        }
    }
    ~BusConnection() { sd_bus_flush_close_unref(bus); }
    BusConnection(const BusConnection&) = delete;
    BusConnection& operator=(const BusConnection&) = delete;
};

struct BusError {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~BusError() { sd_bus_error_free(&error); }
    std::string describe(int r) const {
        return error.message ? std::string(error.name) + ": " + error.message : std::strerror(-r);
    }
};

// Whether KWin's screenshot interface is there yet: it comes with an effect
// that loads a while after KWin has taken its name on the bus.
bool screenshots_offered(const std::string& address) {
    try {
        BusConnection c(address);
        BusError error;
        sd_bus_message* reply = nullptr;
        const int r = sd_bus_get_property(c.bus, "org.kde.KWin", "/org/kde/KWin/ScreenShot2",
                                          "org.kde.KWin.ScreenShot2", "Version", &error.error, &reply, "u");
        sd_bus_message_unref(reply);
        return r >= 0;
    } catch (const std::exception&) {
        return false;
    }
}

// Whether KWin composites its outputs yet; false while it does not answer.
bool compositing_active(const std::string& address) {
    try {
        BusConnection c(address);
        BusError error;
        int active = 0;
        return sd_bus_get_property_trivial(c.bus, "org.kde.KWin", "/Compositor", "org.kde.kwin.Compositing",
                                           "active", &error.error, 'b', &active) >= 0 &&
               active != 0;
    } catch (const std::exception&) {
        return false;
    }
}

// "gl2", "qpainter" or, while KWin does not answer, "unknown".
std::string compositing_type(const std::string& address) {
    try {
        BusConnection c(address);
        BusError error;
        char* type = nullptr;
        if (sd_bus_get_property_string(c.bus, "org.kde.KWin", "/Compositor", "org.kde.kwin.Compositing",
                                       "compositingType", &error.error, &type) < 0) {
            return "unknown";
        }
        std::string out = type;
        std::free(type);
        return out;
    } catch (const std::exception&) {
        return "unknown";
    }
}

// The unsigned entries of an a{sv} dictionary; the others are skipped.
std::map<std::string, std::uint32_t> read_uint_dict(sd_bus_message* m) {
    std::map<std::string, std::uint32_t> values;
    if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0) {
        throw std::runtime_error("screenshot reply is not a{sv}");
    }
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
        const char* key = nullptr;
        const char* contents = nullptr;
        char type = 0;
        sd_bus_message_read(m, "s", &key);
        sd_bus_message_peek_type(m, &type, &contents);
        std::uint32_t value = 0;
        if (contents != nullptr && std::strcmp(contents, "u") == 0 && sd_bus_message_read(m, "v", "u", &value) >= 0) {
            values[key] = value;
        } else {
            sd_bus_message_skip(m, "v");
        }
        sd_bus_message_exit_container(m);
    }
    sd_bus_message_exit_container(m);
    return values;
}

// Everything written to `fd` until its writer closes it.
std::string read_to_end(int fd, Millis timeout) {
    std::string data;
    const auto deadline = Clock::now() + timeout;
    char buf[65536];
    for (;;) {
        const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
        pollfd pfd{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&pfd, 1, static_cast<int>(left)) <= 0) {
            throw std::runtime_error("screenshot data did not arrive in time");
        }
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return data;
        }
        data.append(buf, static_cast<std::size_t>(n));
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// KWin

Kwin::Kwin(int outputs, int width, int height, double scale, Millis startup_timeout) : Compositor("kwin") {
    bus_ = std::make_unique<SessionBus>(runtime_dir_);
    // Debian's binary carries a file capability that a container may refuse
    // to exec; a plain copy runs. Its name must stay kwin_wayland, which
    // KWin's own Qt platform plugin checks before it agrees to load.
    const fs::path exe = fs::path(runtime_dir_) / "bin" / "kwin_wayland";
    fs::create_directories(exe.parent_path());
    const auto installed = which("kwin_wayland");
    if (!installed) {
        throw std::runtime_error("kwin_wayland is not installed");
    }
    fs::copy_file(*installed, exe);
    display_ = "wayland-kwin";
    const Env env = {
        {"DBUS_SESSION_BUS_ADDRESS", bus_->address()},
        {"KWIN_SCREENSHOT_NO_PERMISSION_CHECKS", "1"},
        {"KWIN_COMPOSE", "O2"},
        {"QT_QPA_PLATFORM", std::nullopt},
    };
    std::vector<std::string> argv = {exe.string(), "--virtual", "--width", std::to_string(width), "--height",
                                     std::to_string(height), "--output-count", std::to_string(outputs),
                                     "--no-lockscreen", "--socket", display_};
    Env scaled;
    if (scale != 1.0) {
        // KWin 5 takes the scale from its command line; KWin 6 then gives the
        // outputs the size times the scale, in pixels, but their scale from its
        // output configuration, 1 where it has none: it gets one.
        argv.insert(argv.end(), {"--scale", std::to_string(scale)});
        Json setup = {{"lidClosed", false}, {"outputs", Json::array()}};
        Json configs = Json::array();
        for (int i = 0; i < outputs; ++i) {
            configs.push_back({{"connectorName", "Virtual-" + std::to_string(i)},
                               {"mode", {{"width", std::lround(width * scale)},
                                         {"height", std::lround(height * scale)},
                                         {"refreshRate", 60000}}},
                               {"scale", scale},
                               {"transform", "Normal"}});
            setup["outputs"].push_back({{"enabled", true},
                                        {"outputIndex", i},
                                        {"position", {{"x", std::lround(i * width)}, {"y", 0}}},
                                        {"priority", i}});
        }
        const fs::path config = fs::path(runtime_dir_) / ".config";
        fs::create_directories(config);
        write_file(config / "kwinoutputconfig.json",
                   Json::array({{{"name", "outputs"}, {"data", configs}},
                                {{"name", "setups"}, {"data", Json::array({setup})}}})
                       .dump(4));
        scaled = {{"XDG_CONFIG_HOME", config.string()}};
    }
    launch(std::move(argv), merge(env, scaled), {}, [&]() -> std::string {
               if (std::string problem = socket_answers(); !problem.empty()) {
                   return problem;
               }
               // Screenshots are another question (screenshots_available):
               // KWin 6 here never offers them.
               return compositing_active(bus_->address()) ? std::string() : "KWin does not composite yet";
           }, startup_timeout);
}

Kwin::~Kwin() { shut_down(); }

bool Kwin::screenshots_available(Millis timeout) const {
    const auto deadline = Clock::now() + timeout;
    while (!screenshots_) {
        // Under QPainter KWin 6.3 has no ScreenShot2 object and KWin 6.7
        // cancels every capture; with OpenGL the interface comes a while
        // after start-up, and a capture that works settles it.
        if (compositing_type(bus_->address()) == "qpainter") {
            screenshots_ = false;
        } else if (screenshots_offered(bus_->address()) && try_capture("Virtual-0")) {
            screenshots_ = true;
        } else if (Clock::now() >= deadline) {
            screenshots_ = false;
        } else {
            sleep_for(100ms);
        }
    }
    return *screenshots_;
}

bool Kwin::try_capture(const std::string& output) const {
    try {
        capture(output);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

Image Kwin::grab(const std::string& output) const {
    if (!screenshots_available()) {
        const std::string type = compositing_type(bus_->address());
        throw std::runtime_error(type == "qpainter"
                                     ? "KWin offers no screenshots here: it composites with QPainter, and its "
                                       "screenshots need OpenGL"
                                     : "KWin's screenshots did not start working (compositing: " + type + ")");
    }
    return capture(output);
}

Image Kwin::capture(const std::string& output) const {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) < 0) {
        throw_errno("pipe2");
    }
    BusConnection c(bus_->address());
    BusError error;
    sd_bus_message* call = nullptr;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_call(c.bus, &call, "org.kde.KWin", "/org/kde/KWin/ScreenShot2",
                                           "org.kde.KWin.ScreenShot2", "CaptureScreen");
    // At the output's pixels, as grim reads them, rather than its logical size.
    if (r >= 0) r = sd_bus_message_append(call, "sa{sv}h", output.c_str(), 1, "native-resolution", "b", 1, fds[1]);
    if (r >= 0) r = sd_bus_call(c.bus, call, 10'000'000, &error.error, &reply);
    // The message held a copy of the write end; with ours closed too, KWin
    // holds the only one and the read below ends when it is done writing.
    sd_bus_message_unref(call);
    ::close(fds[1]);
    std::string data;
    std::map<std::string, std::uint32_t> info;
    try {
        if (r < 0) {
            throw std::runtime_error("CaptureScreen(" + output + ") failed: " + error.describe(r));
        }
        info = read_uint_dict(reply);
        sd_bus_message_unref(reply);
        reply = nullptr;
        data = read_to_end(fds[0], 10000ms);
    } catch (...) {
        sd_bus_message_unref(reply);
        ::close(fds[0]);
        throw;
    }
    ::close(fds[0]);

    // QImage formats RGB32, ARGB32 and ARGB32_Premultiplied: one 32-bit word
    // 0xAARRGGBB per pixel, so B, G, R, A in memory.
    const std::uint32_t format = info["format"];
    if (format < 4 || format > 6) {
        throw std::runtime_error("screenshot in QImage format " + std::to_string(format));
    }
    Image img;
    img.width = static_cast<int>(info["width"]);
    img.height = static_cast<int>(info["height"]);
    const std::size_t stride = info["stride"];
    if (img.width <= 0 || img.height <= 0 || stride < std::size_t(img.width) * 4 ||
        data.size() < stride * std::size_t(img.height)) {
        throw std::runtime_error("screenshot of " + std::to_string(data.size()) + " bytes for " +
                                 std::to_string(img.width) + "x" + std::to_string(img.height));
    }
    img.rgb.reserve(std::size_t(img.width) * img.height * 3);
    for (int y = 0; y < img.height; ++y) {
        const char* row = data.data() + stride * std::size_t(y);
        for (int x = 0; x < img.width; ++x) {
            const char* px = row + std::size_t(x) * 4;
            img.rgb.insert(img.rgb.end(), {std::uint8_t(px[2]), std::uint8_t(px[1]), std::uint8_t(px[0])});
        }
    }
    return img;
}

// ---------------------------------------------------------------------------
// mutter

Mutter::Mutter(int width, int height, Millis startup_timeout) : Compositor("mutter") {
    bus_ = std::make_unique<SessionBus>(runtime_dir_);
    display_ = "wayland-mutter";
    launch({"mutter", "--headless", "--wayland", "--no-x11",
            "--virtual-monitor", std::to_string(width) + "x" + std::to_string(height),
            "--wayland-display=" + display_},
           {{"DBUS_SESSION_BUS_ADDRESS", bus_->address()}}, {}, [&] { return socket_answers(); },
           startup_timeout);
}

Mutter::~Mutter() { shut_down(); }

// ---------------------------------------------------------------------------
// cage

Cage::Cage(Millis startup_timeout) : Compositor("cage") {
    // cage always sets up Xwayland's sockets there, and gives up without them.
    if (::geteuid() == 0 && ::mkdir("/tmp/.X11-unix", 01777) == 0) {
        ::chmod("/tmp/.X11-unix", 01777);
    }
    const SpawnOptions options = as_test_account();
    // The kiosk's one application: a shell that says its PID and becomes a
    // long sleep. cage ends cleanly when it ends; SIGTERM makes cage abort.
    child_pid_file_ = (fs::path(runtime_dir_) / "child.pid").string();
    const Env env = {
        {"WLR_BACKENDS", "headless"},
        {"WLR_RENDERER", "pixman"},
        {"WLR_LIBINPUT_NO_DEVICES", "1"},
    };
    launch({"cage", "--", "/bin/sh", "-c", "echo $$ > \"$0\" && exec sleep 3600", child_pid_file_}, env, options,
           [&]() -> std::string {
               if (display_.empty()) {
                   display_ = find_socket("wayland-");
               }
               return socket_answers();
           }, startup_timeout);
}

Cage::~Cage() {
    end_child();
    shut_down();
}

void Cage::end_child() {
    std::string text;
    try {
        text = read_file(child_pid_file_);
    } catch (const std::exception&) {
        return;
    }
    const pid_t child = static_cast<pid_t>(std::atol(text.c_str()));
    if (child > 1 && ::kill(child, SIGTERM) == 0) {
        process().wait_exit(5000ms);
    }
}

}  // namespace harness
