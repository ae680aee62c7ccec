// Reads a client's WAYLAND_DEBUG trace back as messages, whichever
// libwayland wrote it:
//
//   1.21  [1234567.890]  -> wl_surface@7.frame(new id wl_callback@17)
//   1.23  [1234567.890] {Default Queue}  -> wl_surface#7.frame(new id wl_callback#17)
//   1.26  [21:08:56.553021] {Default Queue}  -> wl_surface#7.frame(new id wl_callback#17)
//
// Object references come back in one spelling, "wl_surface@7", so a test
// reads the same messages from every release. Lines that are no protocol
// message (the program's own, Mesa's warnings) are kept apart, in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace harness {

struct WireMessage {
    // Seconds: of the realtime clock's microseconds cut to 32 bits before
    // 1.26, since midnight from 1.26 on; see Trace for its wrapping.
    double time = 0;
    double clock_period = 0;  // after how many seconds the printed clock starts again
    bool request = false;     // sent by the client ("->")
    bool discarded = false;   // an event for an object without a listener or proxy
    std::string queue;        // "Default Queue", "mesa egl surface queue"; empty before 1.23
    std::string interface;    // "wl_surface"
    std::uint32_t id = 0;     // 7
    std::string name;         // "frame"
    // Each argument as printed, with object references spelled "wl_buffer@9",
    // "new id wl_callback@17" or "nil"; strings keep their quotes.
    std::vector<std::string> args;

    std::string object() const { return interface + "@" + std::to_string(id); }
    std::string arg_list() const;  // the arguments joined by ", "
    bool is(std::string_view iface, std::string_view message) const {
        return interface == iface && name == message;
    }
    // The id that argument `index` refers to ("wl_output@9" or "new id
    // [unknown]@9" give 9); 0 for nil, a number or a missing argument.
    std::uint32_t object_arg(std::size_t index) const;
    // Argument `index` as an unsigned number; 0 when it is not one.
    std::uint64_t number_arg(std::size_t index) const;
    // Argument `index` without its quotes.
    std::string string_arg(std::size_t index) const;
};

// One line of a trace; false when the line is no protocol message.
bool parse_wire_message(std::string_view line, WireMessage& out);

class Trace {
public:
    Trace() = default;
    explicit Trace(std::string_view text) { append(text); }

    // Reads `text` as the continuation of what was read so far: the trace of
    // a program that is still writing, given a whole line at a time.
    void append(std::string_view text);

    const std::vector<WireMessage>& messages() const { return messages_; }
    // Every line that is not a protocol message, in order.
    const std::vector<std::string>& other_lines() const { return other_; }
    // The other lines less those of Mesa and the EGL loader: what the
    // program itself printed.
    std::vector<std::string> program_lines() const;

    // Requests (or events) of `interface`, of message `name` when given.
    std::vector<WireMessage> requests(std::string_view interface, std::string_view name = {}) const;
    std::vector<WireMessage> events(std::string_view interface, std::string_view name = {}) const;
    std::size_t count_requests(std::string_view interface, std::string_view name) const;
    std::size_t count_events(std::string_view interface, std::string_view name) const;

    // The registry the program binds its globals on: the one wl_compositor is
    // bound on (Mesa keeps registries of its own); 0 when none was.
    std::uint32_t program_registry() const;
    // The binds on that registry of the interfaces the program binds
    // (wl_compositor, zwlr_layer_shell_v1, wl_output), in order, each as
    // "interface version", e.g. "wl_output 4".
    std::vector<std::string> program_binds() const;
    // The id of the client's wl_output that received the name `output`; 0 when none did.
    std::uint32_t output_named(std::string_view output) const;

private:
    std::vector<WireMessage> messages_;
    std::vector<std::string> other_;
    double previous_ = 0, wrapped_ = 0;  // the last time read, the periods added for the clock's wrapping
};

// Lines that Mesa and the EGL or GL loader print on their own, such as
// "MESA-EGL: warning: ..." and "MESA: error: ZINK: ..." on a machine without a GPU.
bool is_foreign_line(std::string_view line);

}  // namespace harness
