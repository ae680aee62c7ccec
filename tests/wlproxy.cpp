// wlproxy [--hide INTERFACE]... UPSTREAM_SOCKET LISTEN_SOCKET
//
// Sits between one Wayland client and a compositor and forwards the byte
// stream and the file descriptors unchanged in both directions, except the
// wl_registry.global events of a hidden interface, which the client never
// sees: a compositor without that global, as far as the client can tell. It
// frames the messages just enough to know which wl_output is which, so the
// tests can inject events that a headless compositor never sends on its own:
//
//   stdin "remove NAME" -> wl_registry.global_remove for output NAME
//   stdin "close NAME"  -> zwlr_layer_surface_v1.closed on the layer surface(s)
//                          the client made for output NAME
//   stdin "send EVENTS NAME" -> EVENTS, a comma-separated list of "closed" and
//                          "configure:WxH", in one batch on those layer
//                          surfaces, closed ones too; a configure carries the
//                          serial of the compositor's last one
//
// and rewrite or drop what the compositor sends, from the moment they are
// armed (before the client connects, too):
//
//   stdin "resize WxH NAME" -> the next configure of NAME's layer surface(s)
//                          reaches the client as WxH, its serial unchanged
//   stdin "frames N"    -> after the first N wl_callback.done events of frame
//                          callbacks, every one is dropped
//
// Answers on stdout: "ready" once listening, then "injected VERB NAME" or
// "unknown NAME" per injection and "armed VERB NAME" (or "armed frames N")
// per rule. Exits when either side of the connection goes away.
//
// Injected events are appended to the server->client queue, which only ever
// holds whole messages, so they always land on a message boundary.

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

// libwayland reads at most this many descriptors per recvmsg (MAX_FDS_OUT);
// sending more in one go would truncate its control message.
constexpr std::size_t kMaxFdsPerSend = 28;
// Stop reading from one side while this much is still queued for the other.
constexpr std::size_t kBackpressure = 4u << 20;

void die(const char* what) {
    std::fprintf(stderr, "wlproxy: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

void say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

struct Message {
    std::uint32_t object;
    std::uint32_t opcode;
    std::uint8_t* args;  // writable, so that an inspector can rewrite arguments
    std::size_t args_size;
};

// Reads the argument words of one message; any overrun leaves ok == false.
class ArgReader {
public:
    explicit ArgReader(const Message& m) : p_(m.args), left_(m.args_size) {}

    std::uint32_t u32() {
        if (left_ < 4) {
            ok = false;
            return 0;
        }
        std::uint32_t v;
        std::memcpy(&v, p_, 4);
        p_ += 4;
        left_ -= 4;
        return v;
    }
    std::string str() {
        const std::uint32_t len = u32();  // includes the NUL; 0 is a null string
        const std::size_t padded = (static_cast<std::size_t>(len) + 3) & ~std::size_t{3};
        if (!ok || padded > left_) {
            ok = false;
            return {};
        }
        std::string s(reinterpret_cast<const char*>(p_), len > 0 ? len - 1 : 0);
        p_ += padded;
        left_ -= padded;
        return s;
    }

    bool ok = true;

private:
    const std::uint8_t* p_;
    std::size_t left_;
};

// One direction of the connection.
struct Pipe {
    Pipe(const char* l, int f, int t) : label(l), from(f), to(t) {}

    const char* label;
    int from;
    int to;
    std::vector<std::uint8_t> in;  // received, not yet a whole message
    std::vector<std::uint8_t> out;  // whole messages waiting to be sent
    std::size_t out_off = 0;
    std::deque<int> fds;  // received descriptors, not yet passed on
    bool eof = false;

    std::size_t pending() const { return out.size() - out_off; }
};

struct OutputBinding {
    std::uint32_t global = 0;    // registry name of the wl_output global
    std::uint32_t registry = 0;  // registry object the client bound it through
    std::string name;            // from wl_output.name (version 4)
    bool removed = false;        // a global_remove was injected already
};

struct State {
    std::set<std::uint32_t> registries;
    std::map<std::uint32_t, std::string> globals;  // registry name -> interface
    std::map<std::uint32_t, OutputBinding> outputs;  // wl_output object id -> binding
    std::set<std::uint32_t> layer_shells;
    std::map<std::uint32_t, std::uint32_t> layer_surfaces;  // layer surface id -> wl_output id (0: none)
    std::set<std::uint32_t> closed_surfaces;
    std::map<std::uint32_t, std::uint32_t> last_serials;  // layer surface id -> last configure serial
    std::set<std::uint32_t> compositors;
    std::set<std::uint32_t> surfaces;
    std::set<std::uint32_t> frame_callbacks;
    std::set<std::string> hidden;  // interfaces whose globals are dropped
    std::map<std::string, std::pair<std::uint32_t, std::uint32_t>> resizes;  // output name -> size
    long frames_to_pass = -1;  // frame done events still let through; -1: all

    void forget(std::uint32_t id) {
        registries.erase(id);
        outputs.erase(id);
        layer_shells.erase(id);
        layer_surfaces.erase(id);
        closed_surfaces.erase(id);
        last_serials.erase(id);
        compositors.erase(id);
        surfaces.erase(id);
        frame_callbacks.erase(id);
    }
};

State state;

// Each inspector says whether the message goes on.
bool client_request(const Message& m) {
    ArgReader a(m);
    if (m.object == 1 && m.opcode == 1) {  // wl_display.get_registry(new_id)
        const std::uint32_t id = a.u32();
        if (a.ok) {
            state.registries.insert(id);
        }
    } else if (state.registries.count(m.object) != 0 && m.opcode == 0) {
        // wl_registry.bind(uint name, new_id: string interface, uint version, uint id)
        const std::uint32_t global = a.u32();
        const std::string interface = a.str();
        a.u32();
        const std::uint32_t id = a.u32();
        if (!a.ok) {
            return true;
        }
        state.forget(id);
        if (interface == "wl_output") {
            state.outputs[id] = OutputBinding{global, m.object, {}, false};
        } else if (interface == "zwlr_layer_shell_v1") {
            state.layer_shells.insert(id);
        } else if (interface == "wl_compositor") {
            state.compositors.insert(id);
        }
    } else if (state.compositors.count(m.object) != 0 && m.opcode == 0) {  // create_surface(new_id)
        const std::uint32_t id = a.u32();
        if (a.ok) {
            state.forget(id);
            state.surfaces.insert(id);
        }
    } else if (state.surfaces.count(m.object) != 0 && m.opcode == 3) {  // wl_surface.frame(new_id)
        const std::uint32_t id = a.u32();
        if (a.ok) {
            state.forget(id);
            state.frame_callbacks.insert(id);
        }
    } else if (state.layer_shells.count(m.object) != 0 && m.opcode == 0) {
        // get_layer_surface(new_id, object surface, object output, uint layer, string namespace)
        const std::uint32_t id = a.u32();
        a.u32();
        const std::uint32_t output = a.u32();
        if (a.ok) {
            state.forget(id);
            state.layer_surfaces[id] = output;
        }
    }
    return true;
}

bool server_event(const Message& m) {
    ArgReader a(m);
    if (m.object == 1 && m.opcode == 1) {  // wl_display.delete_id(uint id)
        const std::uint32_t id = a.u32();
        if (a.ok) {
            state.forget(id);
        }
    } else if (state.registries.count(m.object) != 0 && m.opcode == 0) {  // global
        const std::uint32_t global = a.u32();
        const std::string interface = a.str();
        if (a.ok && state.hidden.count(interface) != 0) {
            return false;
        }
        if (a.ok) {
            state.globals[global] = interface;
        }
    } else if (state.layer_surfaces.count(m.object) != 0 && m.opcode == 0) {
        // configure(uint serial, uint width, uint height)
        const std::uint32_t serial = a.u32();
        if (!a.ok) {
            return true;
        }
        state.last_serials[m.object] = serial;
        const auto output = state.outputs.find(state.layer_surfaces[m.object]);
        const auto rule = output == state.outputs.end() ? state.resizes.end()
                                                        : state.resizes.find(output->second.name);
        if (rule != state.resizes.end() && m.args_size >= 12) {
            const auto [width, height] = rule->second;
            std::memcpy(m.args + 4, &width, 4);
            std::memcpy(m.args + 8, &height, 4);
            std::fprintf(stderr, "wlproxy: configure %u of %s rewritten to %ux%u\n", serial,
                         rule->first.c_str(), width, height);
            state.resizes.erase(rule);
        }
    } else if (state.frame_callbacks.count(m.object) != 0 && m.opcode == 0) {  // wl_callback.done
        if (state.frames_to_pass == 0) {
            std::fprintf(stderr, "wlproxy: frame callback %u never done\n", m.object);
            return false;
        }
        if (state.frames_to_pass > 0) {
            state.frames_to_pass--;
        }
    } else if (m.opcode == 4) {  // wl_output.name (version 4)
        auto it = state.outputs.find(m.object);
        if (it != state.outputs.end()) {
            std::string name = a.str();
            if (a.ok) {
                it->second.name = std::move(name);
            }
        }
    }
    return true;
}

void put_u32(std::vector<std::uint8_t>& buf, std::uint32_t v) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(&v);
    buf.insert(buf.end(), b, b + 4);
}

// Moves every whole message from p.in to p.out that `inspect` lets through.
void frame(Pipe& p, bool (*inspect)(const Message&)) {
    std::size_t off = 0;
    while (p.in.size() - off >= 8) {
        std::uint32_t object;
        std::uint32_t word;
        std::memcpy(&object, p.in.data() + off, 4);
        std::memcpy(&word, p.in.data() + off + 4, 4);
        const std::size_t size = word >> 16;
        if (size < 8 || size % 4 != 0) {
            std::fprintf(stderr, "wlproxy: malformed %s message header (object %u, size %zu)\n", p.label,
                         object, size);
            std::exit(1);
        }
        if (p.in.size() - off < size) {
            break;
        }
        if (inspect(Message{object, word & 0xffff, p.in.data() + off + 8, size - 8})) {
            p.out.insert(p.out.end(), p.in.begin() + static_cast<std::ptrdiff_t>(off),
                         p.in.begin() + static_cast<std::ptrdiff_t>(off + size));
        }
        off += size;
    }
    p.in.erase(p.in.begin(), p.in.begin() + static_cast<std::ptrdiff_t>(off));
}

// Returns false on end of stream or a hard error.
bool receive(Pipe& p) {
    std::uint8_t buf[65536];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 253)];
    iovec iov{buf, sizeof buf};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = ::recvmsg(p.from, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return true;
        }
        std::fprintf(stderr, "wlproxy: %s: recvmsg: %s\n", p.label, std::strerror(errno));
        return false;
    }
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
            const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < count; ++i) {
                int fd;
                std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
                p.fds.push_back(fd);
            }
        }
    }
    if ((msg.msg_flags & MSG_CTRUNC) != 0) {
        std::fprintf(stderr, "wlproxy: %s: file descriptors truncated\n", p.label);
        return false;
    }
    if (n == 0) {
        return false;
    }
    p.in.insert(p.in.end(), buf, buf + n);
    return true;
}

// Sends what it can without blocking. Descriptors ride along with the next
// bytes: they were received no later than the message that carries them, so
// they also arrive no later than it.
bool transmit(Pipe& p) {
    while (p.pending() > 0) {
        std::size_t nfds = std::min(p.fds.size(), kMaxFdsPerSend);
        std::size_t len = p.pending();
        if (p.fds.size() > nfds) {
            // More descriptors than one batch: trickle the bytes so no message
            // completes before the descriptors it needs have gone out.
            len = std::min<std::size_t>(len, 4);
        }
        iovec iov{p.out.data() + p.out_off, len};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFdsPerSend)];
        if (nfds > 0) {
            msg.msg_control = control;
            msg.msg_controllen = CMSG_SPACE(sizeof(int) * nfds);
            cmsghdr* c = CMSG_FIRSTHDR(&msg);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int) * nfds);
            for (std::size_t i = 0; i < nfds; ++i) {
                std::memcpy(CMSG_DATA(c) + i * sizeof(int), &p.fds[i], sizeof(int));
            }
        }
        ssize_t n;
        do {
            n = ::sendmsg(p.to, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return true;
            }
            std::fprintf(stderr, "wlproxy: %s: sendmsg: %s\n", p.label, std::strerror(errno));
            return false;
        }
        for (std::size_t i = 0; i < nfds; ++i) {
            ::close(p.fds.front());
            p.fds.pop_front();
        }
        p.out_off += static_cast<std::size_t>(n);
    }
    p.out.clear();
    p.out_off = 0;
    return true;
}

// Best effort before exiting: whatever was already received goes out.
void drain(Pipe& p) {
    ::fcntl(p.to, F_SETFL, ::fcntl(p.to, F_GETFL) & ~O_NONBLOCK);
    for (int i = 0; i < 1000 && p.pending() > 0; ++i) {
        pollfd pfd{p.to, POLLOUT, 0};
        if (::poll(&pfd, 1, 100) <= 0 || !transmit(p)) {
            break;
        }
    }
}

std::vector<std::uint32_t> outputs_named(const std::string& name) {
    std::vector<std::uint32_t> ids;
    for (const auto& [id, binding] : state.outputs) {
        if (binding.name == name) {
            ids.push_back(id);
        }
    }
    return ids;
}

bool parse_size(std::string_view text, std::uint32_t& width, std::uint32_t& height) {
    const char* end = text.data() + text.size();
    const auto [x, wrong_width] = std::from_chars(text.data(), end, width);
    if (wrong_width != std::errc{} || x == end || *x != 'x') {
        return false;
    }
    const auto [rest, wrong_height] = std::from_chars(x + 1, end, height);
    return wrong_height == std::errc{} && rest == end;
}

// The messages of a "send" list for one layer surface; false when the list
// names an event it does not know.
bool layer_events(const std::string& list, std::uint32_t surface, std::vector<std::uint8_t>& out) {
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t comma = std::min(list.find(',', start), list.size());
        const std::string_view event = std::string_view(list).substr(start, comma - start);
        std::uint32_t width = 0;
        std::uint32_t height = 0;
        if (event == "closed") {
            put_u32(out, surface);
            put_u32(out, (8u << 16) | 1u);  // zwlr_layer_surface_v1.closed
        } else if (event.starts_with("configure:") && parse_size(event.substr(10), width, height)) {
            put_u32(out, surface);
            put_u32(out, (20u << 16) | 0u);  // zwlr_layer_surface_v1.configure
            const auto serial = state.last_serials.find(surface);
            put_u32(out, serial == state.last_serials.end() ? 0 : serial->second);
            put_u32(out, width);
            put_u32(out, height);
        } else {
            return false;
        }
        start = comma + 1;
    }
    return true;
}

void command(const std::string& line, Pipe* to_client) {
    const auto space = line.find(' ');
    const std::string verb = line.substr(0, space);
    std::string name = space == std::string::npos ? std::string() : line.substr(space + 1);
    std::string arg;  // the word before the name, for the verbs that take one
    if (verb == "resize" || verb == "send") {
        const auto at = name.find(' ');
        arg = name.substr(0, at);
        name = at == std::string::npos ? std::string() : name.substr(at + 1);
    }
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    long frames = 0;
    std::vector<std::uint8_t> probe;
    if (verb == "resize" && !name.empty() && parse_size(arg, width, height)) {
        state.resizes[name] = {width, height};
        say("armed resize " + name);
        return;
    }
    const char* end = name.data() + name.size();
    if (verb == "frames" && !name.empty() && std::from_chars(name.data(), end, frames).ptr == end && frames >= 0) {
        state.frames_to_pass = frames;
        say("armed frames " + name);
        return;
    }
    if (name.empty() || (verb != "remove" && verb != "close" && verb != "send") ||
        (verb == "send" && !layer_events(arg, 0, probe))) {
        say("error bad command: " + line);
        return;
    }
    if (to_client == nullptr) {  // no client yet, so every output is unknown
        say("unknown " + name);
        return;
    }
    bool injected = false;
    if (verb == "remove") {
        std::set<std::pair<std::uint32_t, std::uint32_t>> sent;  // (registry, global)
        for (std::uint32_t id : outputs_named(name)) {
            OutputBinding& b = state.outputs[id];
            if (b.removed || !sent.insert({b.registry, b.global}).second) {
                b.removed = true;
                continue;
            }
            put_u32(to_client->out, b.registry);
            put_u32(to_client->out, (12u << 16) | 1u);  // wl_registry.global_remove
            put_u32(to_client->out, b.global);
            b.removed = true;
            injected = true;
        }
    } else {
        const auto ids = outputs_named(name);
        for (const auto& [surface, output] : state.layer_surfaces) {
            if (output == 0 || (verb == "close" && state.closed_surfaces.count(surface) != 0)) {
                continue;
            }
            if (std::find(ids.begin(), ids.end(), output) == ids.end()) {
                continue;
            }
            if (verb == "send") {
                layer_events(arg, surface, to_client->out);
            } else {
                put_u32(to_client->out, surface);
                put_u32(to_client->out, (8u << 16) | 1u);  // zwlr_layer_surface_v1.closed
            }
            if (verb == "close" || arg.find("closed") != std::string::npos) {
                state.closed_surfaces.insert(surface);
            }
            injected = true;
        }
    }
    if (injected) {
        if (!transmit(*to_client)) {
            std::exit(0);
        }
        say("injected " + verb + " " + name);
    } else {
        say("unknown " + name);
    }
}

int listen_on(const std::string& path) {
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) {
        std::fprintf(stderr, "wlproxy: socket path too long: %s\n", path.c_str());
        std::exit(2);
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
        ::unlink(path.c_str());  // stale socket from an earlier run
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        die("socket");
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        die("bind");
    }
    if (::listen(fd, 1) < 0) {
        die("listen");
    }
    return fd;
}

int connect_to(const std::string& path) {
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) {
        std::fprintf(stderr, "wlproxy: socket path too long: %s\n", path.c_str());
        std::exit(2);
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        die("socket");
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        die(("connect " + path).c_str());
    }
    return fd;
}

void set_nonblocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

}  // namespace

int main(int argc, char** argv) {
    int first = 1;
    while (argc - first > 2 && std::strcmp(argv[first], "--hide") == 0) {
        state.hidden.insert(argv[first + 1]);
        first += 2;
    }
    if (argc - first != 2) {
        std::fprintf(stderr, "usage: %s [--hide INTERFACE]... UPSTREAM_SOCKET_PATH LISTEN_SOCKET_PATH\n", argv[0]);
        return 2;
    }
    const std::string upstream = argv[first];
    const std::string listen_path = argv[first + 1];

    const int listener = listen_on(listen_path);
    say("ready");

    int client = -1;
    std::string commands;
    bool stdin_open = true;

    for (;;) {
        pollfd both[2] = {{listener, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (::poll(both, stdin_open ? 2 : 1, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            die("poll");
        }
        if ((both[0].revents & POLLIN) != 0) {
            client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                break;
            }
        }
        if (stdin_open && (both[1].revents & (POLLIN | POLLHUP)) != 0) {
            char buf[1024];
            ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
            if (n <= 0) {
                stdin_open = false;
            } else {
                commands.append(buf, static_cast<std::size_t>(n));
                for (auto nl = commands.find('\n'); nl != std::string::npos; nl = commands.find('\n')) {
                    const std::string line = commands.substr(0, nl);
                    commands.erase(0, nl + 1);
                    command(line, nullptr);
                }
            }
        }
    }
    ::close(listener);  // one client only
    const int server = connect_to(upstream);
    set_nonblocking(client);
    set_nonblocking(server);
    std::fprintf(stderr, "wlproxy: client connected, forwarding to %s\n", upstream.c_str());

    Pipe to_server{"client->server", client, server};
    Pipe to_client{"server->client", server, client};

    for (;;) {
        pollfd fds[3];
        fds[0] = {client, static_cast<short>((to_server.pending() < kBackpressure ? POLLIN : 0) |
                                             (to_client.pending() > 0 ? POLLOUT : 0)),
                  0};
        fds[1] = {server, static_cast<short>((to_client.pending() < kBackpressure ? POLLIN : 0) |
                                             (to_server.pending() > 0 ? POLLOUT : 0)),
                  0};
        fds[2] = {stdin_open ? STDIN_FILENO : -1, POLLIN, 0};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            die("poll");
        }

        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            if (!receive(to_server)) {
                frame(to_server, client_request);
                drain(to_server);
                std::fprintf(stderr, "wlproxy: client disconnected\n");
                return 0;
            }
            frame(to_server, client_request);
        }
        if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            if (!receive(to_client)) {
                frame(to_client, server_event);
                drain(to_client);
                std::fprintf(stderr, "wlproxy: compositor disconnected\n");
                return 0;
            }
            frame(to_client, server_event);
        }
        if (!transmit(to_server)) {
            std::fprintf(stderr, "wlproxy: compositor gone\n");
            return 0;
        }
        if (!transmit(to_client)) {
            std::fprintf(stderr, "wlproxy: client gone\n");
            return 0;
        }
        if ((fds[2].revents & (POLLIN | POLLHUP)) != 0) {
            char buf[1024];
            ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
            if (n <= 0) {
                stdin_open = false;
            } else {
                commands.append(buf, static_cast<std::size_t>(n));
                for (auto nl = commands.find('\n'); nl != std::string::npos; nl = commands.find('\n')) {
                    const std::string line = commands.substr(0, nl);
                    commands.erase(0, nl + 1);
                    command(line, &to_client);
                }
            }
        }
    }
}
