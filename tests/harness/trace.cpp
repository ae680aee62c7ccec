#include "trace.hpp"

#include <array>
#include <charconv>
#include <cctype>

namespace harness {

namespace {

bool is_name_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

bool consume(std::string_view& s, std::string_view prefix) {
    if (s.substr(0, prefix.size()) != prefix) return false;
    s.remove_prefix(prefix.size());
    return true;
}

template <typename T>
bool parse_number(std::string_view s, T& out) {
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && end == s.data() + s.size();
}

// libwayland before 1.26 prints the realtime clock in microseconds, cut to 32
// bits and written as milliseconds ("1234567.890"); 1.26 prints the time of
// day ("21:08:56.553021"). Either way `out` is in seconds, and `period` says
// after how long the printed value starts again from zero.
bool parse_time(std::string_view s, double& out, double& period) {
    s = trim(s);
    double seconds = 0;
    double unit = 1e-3;
    period = 4294.967296;
    if (const auto colon = s.find(':'); colon != std::string_view::npos) {
        const auto second_colon = s.find(':', colon + 1);
        unsigned hours = 0, minutes = 0;
        if (second_colon == std::string_view::npos || !parse_number(s.substr(0, colon), hours) ||
            !parse_number(s.substr(colon + 1, second_colon - colon - 1), minutes)) {
            return false;
        }
        seconds = hours * 3600.0 + minutes * 60.0;
        s.remove_prefix(second_colon + 1);
        unit = 1;
        period = 86400;
    }
    const auto dot = s.find('.');
    std::uint64_t whole = 0, fraction = 0;
    if (dot == std::string_view::npos || !parse_number(s.substr(0, dot), whole) ||
        !parse_number(s.substr(dot + 1), fraction)) {
        return false;
    }
    double scale = 1;
    for (std::size_t i = dot + 1; i < s.size(); ++i) scale *= 10;
    out = seconds + (static_cast<double>(whole) + static_cast<double>(fraction) / scale) * unit;
    return true;
}

// An object reference "iface#12" as 1.21 spelled it, "iface@12".
std::string normalise_arg(std::string_view arg) {
    if (arg.empty() || arg.front() == '"') return std::string(arg);
    const auto hash = arg.rfind('#');
    if (hash == std::string_view::npos || hash == 0 || hash + 1 == arg.size()) return std::string(arg);
    for (char c : arg.substr(hash + 1)) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::string(arg);
    }
    std::string out(arg);
    out[hash] = '@';
    return out;
}

std::vector<std::string> split_args(std::string_view s) {
    std::vector<std::string> args;
    if (trim(s).empty()) return args;
    bool quoted = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (quoted && s[i] == '\\') {
            ++i;
        } else if (s[i] == '"') {
            quoted = !quoted;
        } else if (!quoted && s[i] == ',') {
            args.push_back(normalise_arg(trim(s.substr(start, i - start))));
            start = i + 1;
        }
    }
    args.push_back(normalise_arg(trim(s.substr(start))));
    return args;
}

bool matches(const WireMessage& m, bool request, std::string_view interface, std::string_view name) {
    return m.request == request && m.interface == interface && (name.empty() || m.name == name);
}

}  // namespace

std::string WireMessage::arg_list() const {
    std::string out;
    for (const auto& arg : args) {
        if (!out.empty()) out += ", ";
        out += arg;
    }
    return out;
}

std::uint32_t WireMessage::object_arg(std::size_t index) const {
    if (index >= args.size()) return 0;
    const std::string& arg = args[index];
    const auto at = arg.rfind('@');
    std::uint32_t id = 0;
    if (arg.front() == '"' || at == std::string::npos ||
        !parse_number(std::string_view(arg).substr(at + 1), id)) {
        return 0;
    }
    return id;
}

std::uint64_t WireMessage::number_arg(std::size_t index) const {
    std::uint64_t n = 0;
    return index < args.size() && parse_number(std::string_view(args[index]), n) ? n : 0;
}

std::string WireMessage::string_arg(std::size_t index) const {
    if (index >= args.size()) return {};
    std::string_view arg = args[index];
    if (arg.size() >= 2 && arg.front() == '"' && arg.back() == '"') arg = arg.substr(1, arg.size() - 2);
    return std::string(arg);
}

bool parse_wire_message(std::string_view line, WireMessage& out) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!consume(line, "[")) return false;
    const auto close = line.find(']');
    if (close == std::string_view::npos) return false;
    WireMessage m;
    if (!parse_time(line.substr(0, close), m.time, m.clock_period)) return false;
    line = trim(line.substr(close + 1));
    if (consume(line, "{")) {
        const auto end = line.find('}');
        if (end == std::string_view::npos) return false;
        m.queue = std::string(line.substr(0, end));
        line = trim(line.substr(end + 1));
    }
    m.discarded = consume(line, "discarded ");
    line = trim(line);
    m.request = consume(line, "-> ");

    std::size_t i = 0;
    if (consume(line, "[unknown]")) {
        m.interface = "[unknown]";
    } else {
        while (i < line.size() && is_name_char(line[i])) ++i;
        m.interface = std::string(line.substr(0, i));
        line.remove_prefix(i);
    }
    if (m.interface.empty() || line.empty() || (line.front() != '@' && line.front() != '#')) return false;
    line.remove_prefix(1);
    const auto dot = line.find('.');
    if (dot == std::string_view::npos || !parse_number(line.substr(0, dot), m.id)) return false;
    line.remove_prefix(dot + 1);
    const auto open = line.find('(');
    if (open == 0 || open == std::string_view::npos || line.back() != ')') return false;
    // An event of an unknown object has no name: "[event 1]".
    m.name = std::string(line.substr(0, open));
    for (char c : m.name) {
        if (!is_name_char(c) && m.name.front() != '[') return false;
    }
    m.args = split_args(line.substr(open + 1, line.size() - open - 2));
    out = std::move(m);
    return true;
}

void Trace::append(std::string_view text) {
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        WireMessage m;
        if (parse_wire_message(line, m)) {
            // The printed clock starts again from zero now and then (at
            // midnight, or every 71.6 minutes); keep the times growing.
            if (m.time + wrapped_ < previous_ - m.clock_period / 2) wrapped_ += m.clock_period;
            m.time += wrapped_;
            previous_ = m.time;
            messages_.push_back(std::move(m));
        } else if (end != std::string_view::npos || !line.empty()) {
            other_.emplace_back(line);
        }
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
}

std::vector<std::string> Trace::program_lines() const {
    std::vector<std::string> lines;
    for (const auto& line : other_) {
        if (!is_foreign_line(line)) lines.push_back(line);
    }
    return lines;
}

std::vector<WireMessage> Trace::requests(std::string_view interface, std::string_view name) const {
    std::vector<WireMessage> found;
    for (const auto& m : messages_) {
        if (matches(m, true, interface, name)) found.push_back(m);
    }
    return found;
}

std::vector<WireMessage> Trace::events(std::string_view interface, std::string_view name) const {
    std::vector<WireMessage> found;
    for (const auto& m : messages_) {
        if (matches(m, false, interface, name)) found.push_back(m);
    }
    return found;
}

std::size_t Trace::count_requests(std::string_view interface, std::string_view name) const {
    std::size_t n = 0;
    for (const auto& m : messages_) n += matches(m, true, interface, name);
    return n;
}

std::size_t Trace::count_events(std::string_view interface, std::string_view name) const {
    std::size_t n = 0;
    for (const auto& m : messages_) n += matches(m, false, interface, name);
    return n;
}

std::uint32_t Trace::program_registry() const {
    for (const auto& m : messages_) {
        if (m.request && m.is("wl_registry", "bind") && m.string_arg(1) == "wl_compositor") return m.id;
    }
    return 0;
}

std::vector<std::string> Trace::program_binds() const {
    static constexpr std::array<std::string_view, 3> kBound = {"wl_compositor", "zwlr_layer_shell_v1",
                                                               "wl_output"};
    const std::uint32_t registry = program_registry();
    std::vector<std::string> binds;
    for (const auto& m : messages_) {
        if (!m.request || !m.is("wl_registry", "bind") || m.id != registry) continue;
        const std::string interface = m.string_arg(1);
        for (auto wanted : kBound) {
            if (interface == wanted) binds.push_back(interface + " " + std::to_string(m.number_arg(2)));
        }
    }
    return binds;
}

std::uint32_t Trace::output_named(std::string_view output) const {
    for (const auto& m : messages_) {
        if (!m.request && m.is("wl_output", "name") && m.string_arg(0) == output) return m.id;
    }
    return 0;
}

bool is_foreign_line(std::string_view line) {
    static constexpr std::array<std::string_view, 6> kPrefixes = {"MESA", "libEGL ", "libGL ", "EGL ", "glx:",
                                                                  "ZINK"};
    for (auto prefix : kPrefixes) {
        if (line.substr(0, prefix.size()) == prefix) return true;
    }
    return false;
}

}  // namespace harness
