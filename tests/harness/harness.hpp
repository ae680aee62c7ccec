// End-to-end test harness: real headless compositors (sway, labwc, phoc,
// Wayfire, weston, KWin, mutter, cage), the program under test as a child
// process, pixel read-back, and a wire-protocol proxy that can inject
// compositor events.
//
// Everything here talks to real executables, so every wait takes a timeout and
// every child is stopped by its PID (process group) when its owner goes away.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <compare>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

namespace harness {

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;

// ---------------------------------------------------------------------------
// Files and text

// A directory made with mkdtemp, removed recursively when this goes away.
class TempDir {
public:
    // Created under $TMPDIR (or /tmp). Compositor runtime dirs pass "/tmp"
    // explicitly because socket paths must stay shorter than 108 bytes.
    explicit TempDir(std::string_view prefix = "lumivane-test", std::string parent = {});
    ~TempDir();
    TempDir(TempDir&& other) noexcept;
    TempDir& operator=(TempDir&& other) noexcept;
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::string_view name) const { return path_ / name; }
    // Forget the directory without deleting it (to keep evidence of a failure).
    void keep() { path_.clear(); }

private:
    std::filesystem::path path_;
};

// A file inside its own TempDir; gone with it.
class TempFile {
public:
    explicit TempFile(std::string_view content, std::string_view name = "file");
    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }

private:
    TempDir dir_;
    std::filesystem::path path_;
};

void write_file(const std::filesystem::path& path, std::string_view content);
std::string read_file(const std::filesystem::path& path);  // throws when unreadable

// Number of non-overlapping matches of `re` anywhere in `text`; for the
// texts of tools, not for traces, which harness::Trace reads.
std::size_t count_matches(const std::string& text, const std::regex& re);
std::size_t count_matches(const std::string& text, const std::string& pattern);

// ---------------------------------------------------------------------------
// Tool availability: skip locally, fail in CI.

bool in_ci();  // CI=true (or 1) in the environment
// Absolute path of an executable: `name` itself when it contains a '/',
// otherwise searched in PATH.
std::optional<std::string> which(const std::string& name);
// Empty when every tool is present, otherwise a message naming the missing ones.
std::string missing_tools(std::initializer_list<std::string> tools);

// Use in a test body or in SetUp(); needs <gtest/gtest.h>.
#define HARNESS_SKIP_UNLESS(cond, message)                                          \
    do {                                                                            \
        if (!(cond)) {                                                              \
            if (::harness::in_ci()) {                                               \
                FAIL() << "required in CI but unavailable: " << (message);         \
            } else {                                                                \
                GTEST_SKIP() << (message);                                          \
            }                                                                       \
        }                                                                           \
    } while (0)

#define HARNESS_REQUIRE_TOOLS(...)                                                  \
    do {                                                                            \
        const std::string harness_missing_ = ::harness::missing_tools({__VA_ARGS__}); \
        HARNESS_SKIP_UNLESS(harness_missing_.empty(), harness_missing_);            \
    } while (0)

// Whether the Debian release in use packages `package` at all: a test for a
// compositor it lacks skips, in CI too, where a missing tool fails. The list
// is LUMIVANE_COMPOSITORS (scripts/test exports packages.sh's list for the
// release); without it every compositor counts as packaged and only the
// tools decide.
bool release_packages(const std::string& package);

#define HARNESS_SKIP_UNLESS_PACKAGED(package)                                       \
    do {                                                                            \
        if (!::harness::release_packages(package)) {                                \
            GTEST_SKIP() << "this Debian release does not package " << (package);  \
        }                                                                           \
    } while (0)

// A release number as programs print it: "1.10.1", "0.10.0-unknown".
struct Version {
    int major = 0, minor = 0, patch = 0;
    friend auto operator<=>(const Version&, const Version&) = default;
    std::string str() const;
    // The first "N.N" or "N.N.N" in `text`.
    static std::optional<Version> find(std::string_view text);
};
std::ostream& operator<<(std::ostream& os, const Version& v);

// ---------------------------------------------------------------------------
// Child processes

// Environment overrides applied on top of the inherited environment:
// a value sets the variable, std::nullopt removes it.
using Env = std::map<std::string, std::optional<std::string>>;
// Later maps win.
Env merge(Env base, const Env& overrides);

struct ExitStatus {
    bool signaled = false;
    int code = 0;    // exit code when !signaled
    int signal = 0;  // terminating signal when signaled
    bool success() const { return !signaled && code == 0; }
    std::string describe() const;  // "exit 0", "signal 11 (Segmentation fault)"
};
std::ostream& operator<<(std::ostream& os, const ExitStatus& status);

struct SpawnOptions {
    bool clear_env = false;   // start from an empty environment, not ours
    bool stdin_pipe = false;  // otherwise stdin is /dev/null
    std::optional<std::string> cwd;
    // Drop to this account in the child before exec (only meaningful as root).
    std::optional<uid_t> uid;
    std::optional<gid_t> gid;
};

// One child process, leader of its own process group, with stdout and stderr
// captured to files. Not copyable or movable: keep it in std::optional or
// std::unique_ptr when it has to outlive a scope.
class Process {
public:
    using TextPredicate = std::function<bool(const std::string&)>;

    // Throws std::runtime_error when the executable cannot be found or exec fails.
    explicit Process(std::vector<std::string> argv, const Env& env = {}, SpawnOptions options = {});
    // Stops the whole process group (SIGTERM, then SIGKILL) and reaps.
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    const std::vector<std::string>& argv() const { return argv_; }

    std::string stdout_text() const;
    std::string stderr_text() const;
    const std::filesystem::path& stdout_path() const { return out_path_; }
    const std::filesystem::path& stderr_path() const { return err_path_; }

    // Poll the captured text until the predicate holds, the process has exited
    // (checked once more after exit) or the timeout passes.
    bool wait_for_stdout(const std::string& needle, Millis timeout);
    bool wait_for_stdout(const std::regex& re, Millis timeout);
    bool wait_for_stdout(const TextPredicate& pred, Millis timeout);
    bool wait_for_stderr(const std::string& needle, Millis timeout);
    bool wait_for_stderr(const std::regex& re, Millis timeout);
    bool wait_for_stderr(const TextPredicate& pred, Millis timeout);

    // Status once the leader has exited; nullopt on timeout. The leader is
    // kept as a zombie until stop()/destruction so its PID cannot be reused
    // while its process group might still need a signal.
    std::optional<ExitStatus> wait_exit(Millis timeout);
    bool running();

    // Signal the whole process group (no-op once reaped).
    void kill(int sig = SIGTERM);
    // SIGTERM, wait up to `grace`, SIGKILL, then reap. Idempotent.
    ExitStatus stop(Millis grace = 3000ms);

    // Only with SpawnOptions::stdin_pipe. False when the child closed its end.
    bool write_stdin(std::string_view data);
    void close_stdin();

    // Human-readable dump (argv, status, tails of both streams) for failure messages.
    std::string describe(std::size_t tail_bytes = 4000) const;

private:
    struct Capture {
        std::filesystem::path path;
        std::string cache;
    };
    std::string refresh(Capture& cap) const;
    bool wait_text(Capture& cap, const TextPredicate& pred, Millis timeout);
    std::optional<ExitStatus> poll_exit();

    std::vector<std::string> argv_;
    TempDir dir_;
    std::filesystem::path out_path_;
    std::filesystem::path err_path_;
    mutable Capture out_;
    mutable Capture err_;
    pid_t pid_ = -1;
    int stdin_fd_ = -1;
    std::optional<ExitStatus> status_;
    bool reaped_ = false;
};

// ---------------------------------------------------------------------------
// Images

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};
std::ostream& operator<<(std::ostream& os, const Rgb& c);

struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;  // row-major, 3 bytes per pixel

    Rgb pixel(int x, int y) const;  // throws std::out_of_range
    // Pixels whose every channel is within `tolerance` of `colour`.
    std::size_t count_near(Rgb colour, int tolerance = 0) const;
    bool all_near(Rgb colour, int tolerance = 0) const {
        return count_near(colour, tolerance) == static_cast<std::size_t>(width) * height;
    }
    Rgb average() const;

    // Binary PPM (P6) with maxval 255; throws std::runtime_error otherwise.
    static Image parse_ppm(std::string_view data);
    static Image load_ppm(const std::filesystem::path& path);
    void save_ppm(const std::filesystem::path& path) const;
};

// ---------------------------------------------------------------------------
// Compositors

struct OutputInfo {
    std::string name;
    int x = 0, y = 0;
    int width = 0, height = 0;  // current mode, in pixels
    double scale = 1.0;
    bool active = false;
};

struct MsgResult {
    int status = -1;  // swaymsg exit code; -1 when it timed out or died by a signal
    std::string output;
};

// A global as a compositor announces it to a new client.
struct Global {
    std::string interface;
    std::uint32_t version = 0;
    std::uint32_t name = 0;
};
// The globals in wayland-info's list, in order.
std::vector<Global> parse_globals(const std::string& info);

// The account that runs the compositors which refuse root (as root only);
// created on demand.
inline constexpr const char* kTestAccount = "lumivane-test";

// A private D-Bus session bus (dbus-daemon), for compositors that want one.
class SessionBus {
public:
    explicit SessionBus(const std::filesystem::path& dir, Millis startup_timeout = 10000ms);
    ~SessionBus();
    SessionBus(const SessionBus&) = delete;
    SessionBus& operator=(const SessionBus&) = delete;

    const std::string& address() const { return address_; }

private:
    std::string path_;
    std::string address_;
    std::unique_ptr<Process> process_;
};

// One headless compositor in a private runtime directory that holds its
// Wayland socket. The kinds below differ only in how they start, when they
// count as ready, and whether and how they read their pixels back.
class Compositor {
public:
    virtual ~Compositor();
    Compositor(const Compositor&) = delete;
    Compositor& operator=(const Compositor&) = delete;

    const std::string& runtime_dir() const { return runtime_dir_; }
    const std::string& wayland_display() const { return display_; }
    std::string socket_path() const { return runtime_dir_ + "/" + display_; }
    // XDG_RUNTIME_DIR and WAYLAND_DISPLAY for a client; unsets WAYLAND_SOCKET and DISPLAY.
    virtual Env env() const;
    pid_t pid() const;
    Process& process() { return *process_; }
    std::string log() const;  // the compositor's stderr

    // Simulate the compositor going away: signal it and wait until it is gone.
    void kill(int sig = SIGTERM);

    // What wayland-info lists of it; throws when wayland-info fails.
    std::string wayland_info() const;
    // What it announces to a new client, in order, as wayland-info lists it.
    std::vector<Global> globals() const;
    // The highest version of `interface` it offers; 0 when it offers none.
    std::uint32_t offered(std::string_view interface) const;

    // An output's pixels; throws where the compositor offers no way to read them.
    virtual Image grab(const std::string& output) const;
    // Grab repeatedly until `pred` holds; `last` receives the final grab.
    bool wait_for_image(const std::string& output, const std::function<bool(const Image&)>& pred, Millis timeout,
                        Image* last = nullptr) const;

protected:
    explicit Compositor(std::string_view name);
    // Starts `argv` with `env` over a clean base (the runtime directory as
    // XDG_RUNTIME_DIR and HOME, no inherited display or bus) and polls `ready`
    // until it returns "" rather than what it still waits for.
    void launch(std::vector<std::string> argv, const Env& env, SpawnOptions options,
                const std::function<std::string()>& ready, Millis timeout);
    // As root: hands the runtime directory to kTestAccount and returns the
    // options that run the compositor as that account.
    SpawnOptions as_test_account();
    void give_to_process_owner(const std::filesystem::path& path, const SpawnOptions& options);
    // Name of the first socket in the runtime directory starting with `prefix`.
    std::string find_socket(std::string_view prefix) const;
    // "" once a client can connect to the Wayland socket.
    std::string socket_answers() const;
    // Stops the compositor; derived destructors call it before their own
    // members (a session bus, say) go.
    void shut_down();

    std::string name_;
    TempDir runtime_;
    std::string runtime_dir_;
    std::string display_;

private:
    std::unique_ptr<Process> process_;
};

// Headless sway (wlroots, pixman renderer) with `outputs` virtual outputs
// named HEADLESS-1..N, read back with grim. As root it runs as kTestAccount,
// since sway refuses root; clients stay root and reach it through env().
class Sway : public Compositor {
public:
    explicit Sway(int outputs = 2, std::string extra_config = {}, Millis startup_timeout = 20000ms);

    const std::string& ipc_socket() const { return ipc_socket_; }
    // Also SWAYSOCK.
    Env env() const override;

    MsgResult msg(const std::vector<std::string>& args, Millis timeout = 10000ms) const;
    // What sway says it is (get_version); throws when swaymsg fails.
    Version version() const;
    std::vector<OutputInfo> outputs() const;  // throws when swaymsg fails
    std::optional<OutputInfo> output(const std::string& name) const;
    // Plugs in a new headless output and returns its name (e.g. HEADLESS-3).
    std::string create_output(Millis timeout = 5000ms);
    // Sets the output mode and waits until sway reports it.
    void set_mode(const std::string& name, int width, int height, Millis timeout = 5000ms);
    // Sets the output scale, with a mode "WxH" in the same command if given
    // (so that the logical size can stay), and waits until sway reports it.
    void set_scale(const std::string& name, double scale, const std::string& mode = {}, Millis timeout = 5000ms);

    // Whether the two below work: a headless output can be disabled or
    // unplugged from sway 1.10 on (sway 1.7 knows no unplug, and fails to
    // commit a headless output's disable, which stays active).
    bool can_remove_outputs() const { return version() >= Version{1, 10, 0}; }
    // `output NAME disable`, then waits until sway reports the output inactive.
    void disable_output(const std::string& name, Millis timeout = 5000ms);
    // `output NAME unplug`, then waits until sway no longer lists the output.
    void unplug_output(const std::string& name, Millis timeout = 5000ms);

    Image grab(const std::string& output) const override;

    static constexpr const char* kAccount = kTestAccount;

private:
    void command_output(const std::string& name, const std::string& verb,
                        const std::function<bool(const std::optional<OutputInfo>&)>& done, Millis timeout);

    std::string ipc_socket_;
};

// labwc, phoc and Wayfire: wlroots compositors on the headless backend with
// the pixman renderer and WLR_HEADLESS_OUTPUTS outputs HEADLESS-1..N, run as
// kTestAccount like sway. They have no IPC of sway's kind; their outputs are
// read and changed through wlr-output-management (wlr-randr), their pixels
// read back with grim.
class Wlroots : public Compositor {
public:
    std::vector<OutputInfo> outputs() const;  // enabled or not; throws when wlr-randr fails
    std::optional<OutputInfo> output(const std::string& name) const;
    // A custom mode, then waits until the compositor reports it.
    void set_mode(const std::string& name, int width, int height, Millis timeout = 5000ms);
    // A scale, then waits until the compositor reports it.
    void set_scale(const std::string& name, double scale, Millis timeout = 5000ms);
    // Turns the output off, then waits until the compositor reports it off;
    // its wl_output global goes with it.
    void disable_output(const std::string& name, Millis timeout = 5000ms);

    Image grab(const std::string& output) const override;

protected:
    explicit Wlroots(std::string_view name) : Compositor(name) {}
    // Starts `argv` with `options` (as_test_account()) on `outputs` headless
    // outputs, and waits until its Wayland socket answers and wlr-randr lists
    // them all enabled.
    void start(std::vector<std::string> argv, int outputs, const SpawnOptions& options, Millis timeout);

private:
    std::string randr(const std::vector<std::string>& args, Millis timeout = 10000ms) const;
};

// labwc, an Openbox-like stacking compositor: an empty configuration folder.
class Labwc : public Wlroots {
public:
    explicit Labwc(int outputs = 1, Millis startup_timeout = 20000ms);
};

// phoc, the compositor under Phosh on phones: a configuration of [core]
// without Xwayland.
class Phoc : public Wlroots {
public:
    explicit Phoc(int outputs = 1, Millis startup_timeout = 20000ms);
};

// Wayfire, a compositor built from plugins, here with none: only 0.10 on
// (wlroots 0.19) starts without a DRM device.
class Wayfire : public Wlroots {
public:
    explicit Wayfire(int outputs = 1, Millis startup_timeout = 20000ms);
    // What `wayfire --version` says; nullopt when it says no version.
    static std::optional<Version> installed_version();
};

// Headless weston: no layer shell, one output (wl_output version 3 up to
// weston 10, version 4 from weston 14).
class Weston : public Compositor {
public:
    explicit Weston(int width = 1024, int height = 640, Millis startup_timeout = 20000ms);
};

// Headless KWin, KDE Plasma's compositor and not wlroots-based: a layer
// shell (version 3 in KWin 5.27, 5 in KWin 6), outputs Virtual-0..N-1 of
// wl_output version 4, each width x height pixels at `scale`. Runs as root with its own
// session bus; pixels come through its D-Bus screenshot interface, since grim
// has no wlr-screencopy there.
class Kwin : public Compositor {
public:
    explicit Kwin(int outputs = 1, int width = 640, int height = 480, double scale = 1.0,
                  Millis startup_timeout = 30000ms);
    ~Kwin() override;

    // Whether grab() can work, asked of KWin: its screenshots need OpenGL
    // compositing, and KWin 6 composites with QPainter on llvmpipe (6.3 then
    // has no ScreenShot2 object, 6.7 cancels every capture). With OpenGL,
    // waits up to `timeout` for a first capture to work.
    bool screenshots_available(Millis timeout = 30000ms) const;
    // Throws std::runtime_error, saying why, where screenshots are unavailable.
    Image grab(const std::string& output) const override;

private:
    Image capture(const std::string& output) const;
    bool try_capture(const std::string& output) const;

    std::unique_ptr<SessionBus> bus_;
    mutable std::optional<bool> screenshots_;
};

// Headless mutter, GNOME's compositor: no layer shell, and its outputs at
// wl_output version 3 (mutter 43) or 4 (mutter 48 on). Runs as root with its
// own session bus.
class Mutter : public Compositor {
public:
    explicit Mutter(int width = 640, int height = 480, Millis startup_timeout = 30000ms);
    ~Mutter() override;

private:
    std::unique_ptr<SessionBus> bus_;
};

// cage, a wlroots kiosk: wl_output version 4 (HEADLESS-1) and no layer
// shell. Runs as kTestAccount with a long sleep as its one application, and
// ends by ending that.
class Cage : public Compositor {
public:
    explicit Cage(Millis startup_timeout = 20000ms);
    ~Cage() override;

private:
    void end_child();
    std::string child_pid_file_;
};

// ---------------------------------------------------------------------------
// Wire-protocol proxy (tests/wlproxy.cpp) between one client and a compositor.

// Path from $WLPROXY (set by meson), or empty.
std::string wlproxy_path();

class Proxy {
public:
    // `runtime_dir` becomes the client's XDG_RUNTIME_DIR; the client connects
    // through WAYLAND_DISPLAY set to the proxy's absolute socket path.
    Proxy(const std::string& upstream_socket, const std::string& runtime_dir,
          std::vector<std::string> hidden = {}, Millis startup_timeout = 10000ms);
    // `hidden` names interfaces whose globals the client never sees.
    explicit Proxy(const Compositor& compositor, std::vector<std::string> hidden = {},
                   Millis startup_timeout = 10000ms);
    ~Proxy();
    Proxy(const Proxy&) = delete;
    Proxy& operator=(const Proxy&) = delete;

    Env env() const;
    const std::string& socket_path() const { return socket_path_; }
    Process& process() { return *process_; }

    // Inject wl_registry.global_remove for the client's wl_output named `output`.
    // True once the proxy confirms; false when it does not know the output
    // (the client has not bound it or not received its name yet) or on timeout.
    bool remove(const std::string& output, Millis timeout = 5000ms);
    // Inject zwlr_layer_surface_v1.closed on the layer surface(s) the client made
    // for `output`. Same result convention as remove().
    bool close(const std::string& output, Millis timeout = 5000ms);
    // Inject `events`, comma-separated "closed" and "configure:WxH", in one
    // batch on the layer surface(s) of `output`, closed ones too (until the
    // compositor deletes them). Same result convention as remove().
    bool send(const std::string& output, const std::string& events, Millis timeout = 5000ms);

    // Rules, which can be armed before the client connects; true once the
    // proxy confirms. The next configure the compositor sends to the layer
    // surface(s) of `output` reaches the client as width x height.
    bool resize_next(const std::string& output, std::uint32_t width, std::uint32_t height,
                     Millis timeout = 5000ms);
    // Every wl_callback.done of a frame callback after the first `passed` is dropped.
    bool drop_frames_after(long passed, Millis timeout = 5000ms);

private:
    // Writes `line` and waits for `done` (true) or `unknown` (false, when given).
    bool command(const std::string& line, const std::string& done, const std::string& unknown, Millis timeout);

    TempDir dir_;
    std::string socket_path_;
    std::string runtime_dir_;
    std::unique_ptr<Process> process_;
    std::size_t consumed_ = 0;  // stdout bytes already matched to a command
};

}  // namespace harness
