#include "cli.hpp"

#include "messages.hpp"
#include "state.hpp"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char short_options[] = "hf:l:";

constexpr option long_options[] = {
    {"help", no_argument, nullptr, 'h'},
    {"speed", required_argument, nullptr, 's'},
    {"fps", required_argument, nullptr, 'f'},
    {"layer", required_argument, nullptr, 'l'},
    {nullptr, 0, nullptr, 0},
};

constexpr const char *layer_names[] = {"background", "bottom", "top", "overlay"};

// The whole argument must be a number, and NaN fails the comparison.
bool read_positive(const char *arg, float *value)
{
    char *end = nullptr;
    *value = strtof(arg, &end);
    return *end == '\0' && *value > 0.0f;
}

void print_help()
{
    fputs(msg::usage_text, stdout);
    printf("\nPrefix:\n\n%.*s", int(shader_prefix.size()), shader_prefix.data());
    printf("\nSuffix:\n\n%.*s", int(shader_suffix.size()), shader_suffix.data());
}

} // namespace

std::optional<int> parse_command_line(int argc, char **argv, app_state *state)
{
    int c;
    while ((c = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1) {
        switch (c) {
        case 'h':
            print_help();
            return 0;
        case 'f':
            if (!read_positive(optarg, &state->fps)) {
                printf(msg::invalid_fps, optarg);
                return 1;
            }
            break;
        case 's':
            if (!read_positive(optarg, &state->speed)) {
                printf(msg::invalid_speed, optarg);
                return 1;
            }
            break;
        case 'l': {
            bool known = false;
            for (int32_t i = 0; i < 4 && !known; i++) {
                if (strcmp(optarg, layer_names[i]) == 0) {
                    state->layer = i;
                    known = true;
                }
            }
            // Not fatal: the earlier layer stays and start-up goes on.
            if (!known)
                printf(msg::invalid_layer, optarg);
            break;
        }
        default:
            fputs(msg::usage_text, stdout);
            return 1;
        }
    }

    if (argc != optind + 2) {
        fputs(msg::usage_text, stdout);
        return 1;
    }
    state->output_name = argv[optind];
    state->shader_path = argv[optind + 1];

    fprintf(stderr, msg::run_line, state->output_name, state->shader_path, double(state->fps),
            int(state->layer));
    return std::nullopt;
}
