// The trace reader on what libwayland 1.21, 1.23 and 1.26 really print.
#include <gtest/gtest.h>

#include "trace.hpp"

using harness::Trace;
using harness::WireMessage;

TEST(Trace, ReadsTheSameMessageFromEveryLibwaylandRelease) {
    const char* const lines[] = {
        "[3506743.118]  -> wl_surface@7.frame(new id wl_callback@17)",
        "[ 248561.202] {Default Queue}  -> wl_surface#7.frame(new id wl_callback#17)",
        "[21:08:56.553021] {Default Queue}  -> wl_surface#7.frame(new id wl_callback#17)",
    };
    const double times[] = {3506.743118, 248.561202, 21 * 3600 + 8 * 60 + 56.553021};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(lines[i]);
        const Trace trace(lines[i]);
        ASSERT_EQ(trace.messages().size(), 1u);
        const WireMessage& m = trace.messages()[0];
        EXPECT_TRUE(m.request);
        EXPECT_EQ(m.object(), "wl_surface@7");
        EXPECT_EQ(m.name, "frame");
        EXPECT_EQ(m.arg_list(), "new id wl_callback@17");
        EXPECT_EQ(m.object_arg(0), 17u);
        EXPECT_EQ(m.queue, i == 0 ? "" : "Default Queue");
        EXPECT_DOUBLE_EQ(m.time, times[i]);
    }
}

TEST(Trace, KeepsArgumentsQueuesAndOtherLinesApart) {
    const Trace trace(
        "Running lumivane with output = '*' shader = 'a.frag' fps = inf layer = 0\n"
        "MESA-EGL: warning: failed to get driver name for fd -1\n"
        "[2516688.822] {Default Queue}  -> wl_registry#2.bind(47, \"wl_output\", 4, new id [unknown]#11)\n"
        "[2516689.530] {Default Queue} wl_output#11.name(\"HEAD, LESS#1\")\n"
        "[2516787.077] {Default Queue} discarded wl_surface#7.enter(wl_output#11)\n"
        "[2521516.730] {Default Queue} discarded [unknown]#4.[event 1](0 fd, 12 byte)\n"
        "[2516583.262] {mesa egl display queue} wl_registry#3.global(1, \"wl_shm\", 2)\n"
        "[2516583.262] {mesa egl display queue} wl_display#1.error(nil, 4, \"bad\")\n"
        "MESA: error: ZINK: vkCreateInstance failed (VK_ERROR_INCOMPATIBLE_DRIVER)\n"
        "GL version: 4.5 (Compatibility Profile) Mesa 25.0.7\n"
        "[2516583.262] cut off in the midd");
    ASSERT_EQ(trace.messages().size(), 6u);
    const WireMessage& bind = trace.messages()[0];
    EXPECT_EQ(bind.args, (std::vector<std::string>{"47", "\"wl_output\"", "4", "new id [unknown]@11"}));
    EXPECT_EQ(bind.string_arg(1), "wl_output");
    EXPECT_EQ(bind.number_arg(2), 4u);
    EXPECT_EQ(bind.object_arg(3), 11u);
    EXPECT_EQ(trace.messages()[1].string_arg(0), "HEAD, LESS#1");
    EXPECT_EQ(trace.output_named("HEAD, LESS#1"), 11u);
    EXPECT_TRUE(trace.messages()[2].discarded);
    EXPECT_FALSE(trace.messages()[2].request);
    EXPECT_EQ(trace.messages()[3].interface, "[unknown]");
    EXPECT_EQ(trace.messages()[3].name, "[event 1]");
    EXPECT_EQ(trace.messages()[4].queue, "mesa egl display queue");
    EXPECT_EQ(trace.messages()[5].object_arg(0), 0u);
    EXPECT_EQ(trace.count_events("wl_display", "error"), 1u);
    EXPECT_EQ(trace.other_lines().size(), 5u);
    EXPECT_EQ(trace.program_lines(),
              (std::vector<std::string>{"Running lumivane with output = '*' shader = 'a.frag' fps = inf layer = 0",
                                        "GL version: 4.5 (Compatibility Profile) Mesa 25.0.7",
                                        "[2516583.262] cut off in the midd"}));
}

TEST(Trace, FindsTheProgramsOwnBindsBesideMesas) {
    const Trace trace(
        "[1.0] {mesa egl display queue}  -> wl_registry#3.bind(1, \"wl_output\", 4, new id [unknown]#5)\n"
        "[1.1] {Default Queue}  -> wl_registry#2.bind(1, \"wl_fixes\", 1, new id [unknown]#3)\n"
        "[1.2] {Default Queue}  -> wl_registry#2.bind(3, \"wl_compositor\", 1, new id [unknown]#8)\n"
        "[1.3] {Default Queue}  -> wl_registry#2.bind(10, \"zwlr_layer_shell_v1\", 1, new id [unknown]#9)\n"
        "[1.4] {Default Queue}  -> wl_registry#2.bind(55, \"wl_output\", 4, new id [unknown]#10)\n");
    EXPECT_EQ(trace.program_registry(), 2u);
    EXPECT_EQ(trace.program_binds(),
              (std::vector<std::string>{"wl_compositor 1", "zwlr_layer_shell_v1 1", "wl_output 4"}));
}

TEST(Trace, TimesKeepGrowingWhereThePrintedClockStartsAgain) {
    // The time of day past midnight, and the 32-bit microseconds of
    // libwayland before 1.26 past 2^32.
    const std::string pairs[][2] = {
        {"[23:59:59.900000] {Default Queue}  -> wl_surface#7.commit()\n",
         "[00:00:00.100000] {Default Queue}  -> wl_surface#7.commit()\n"},
        {"[4294967.196] {Default Queue}  -> wl_surface#7.commit()\n",
         "[    199.900] {Default Queue}  -> wl_surface#7.commit()\n"},
    };
    for (const auto& [before, after] : pairs) {
        // Read at once, or a line at a time as the trace of a running program is.
        Trace pieces;
        pieces.append(before);
        pieces.append(after);
        for (const Trace& trace : {Trace(before + after), pieces}) {
            ASSERT_EQ(trace.messages().size(), 2u) << before;
            EXPECT_NEAR(trace.messages()[1].time - trace.messages()[0].time, 0.2, 1e-6) << before;
        }
    }
}
