// Random argument vectors through parse_command_line, in process: whatever
// the user types, the parser either ends the run with 0 or 1 and the matching
// text, or goes on with settings the rest of the program can rely on.
#include <gtest/gtest.h>

#include "cli.hpp"
#include "messages.hpp"
#include "state.hpp"

#include <getopt.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

// Pieces a user might plausibly type, plus the corner cases of getopt_long
// and strtof; random strings and numbers are mixed in by the generator.
const std::vector<std::string> tokens = {
    "-h",          "--help",   "--help=x",    "-f",       "--fps", "--fps=", "-f30", "-l",
    "--layer",     "--layer=", "--speed",     "--speed=", "--sp",  "--f",    "--l",  "--he",
    "-s",          "-hf",      "-lf",         "--",       "-",     "=",      "*",    "HEADLESS-1",
    "background",  "bottom",   "top",         "overlay",  "Top",   "inf",    "-inf", "nan",
    "NaN",         "infinity", "0",           "-0",       "0x1E",  "0x",     "1e39", "1e-46",
    "1e-40",       " 30",      "30 ",         "30fps",    "",      "59.94",  "1,5",  "--fps=0",
    "--speed=inf", "-f-1",     "shader.frag",
};

class fuzz_input {
  public:
    explicit fuzz_input(uint64_t seed) : random(seed) {}

    std::vector<std::string> next()
    {
        std::vector<std::string> args = {"lumivane"};
        size_t count = pick(8);
        for (size_t i = 0; i < count; i++) {
            switch (pick(6)) {
            case 0:
                args.push_back(number());
                break;
            case 1:
                args.push_back(text());
                break;
            case 2:
                // An option glued to a value, in both spellings getopt takes.
                args.push_back(tokens[pick(tokens.size())] + (pick(2) ? "=" : "") + number());
                break;
            default:
                args.push_back(tokens[pick(tokens.size())]);
            }
        }
        return args;
    }

  private:
    size_t pick(size_t n)
    {
        return std::uniform_int_distribution<size_t>(0, n - 1)(random);
    }

    std::string number()
    {
        char buffer[64];
        double magnitude = std::pow(10.0, std::uniform_real_distribution<double>(-50, 50)(random));
        double value = (pick(4) == 0 ? -1 : 1) * magnitude;
        const char *formats[] = {"%g", "%a", "%.0f", "%.3e", "%.17g"};
        snprintf(buffer, sizeof buffer, formats[pick(5)], value);
        return buffer;
    }

    // Any bytes but NUL, which cannot be part of an argument.
    std::string text()
    {
        std::string s(pick(12), ' ');
        for (char &c : s)
            c = char(1 + pick(255));
        return s;
    }

    std::mt19937_64 random;
};

uint64_t fuzz_seed()
{
    if (const char *given = getenv("LUMIVANE_FUZZ_SEED"))
        return strtoull(given, nullptr, 0);
    return std::random_device{}();
}

// Standard output and error go to two files for the length of the loop, so
// that each call's texts can be read back and the test log stays readable.
class captured_streams {
  public:
    captured_streams()
    {
        fflush(stdout);
        fflush(stderr);
        saved[0] = dup(1);
        saved[1] = dup(2);
        for (int i = 0; i < 2; i++) {
            files[i] = tmpfile();
            dup2(fileno(files[i]), i + 1);
        }
    }
    ~captured_streams()
    {
        fflush(stdout);
        fflush(stderr);
        for (int i = 0; i < 2; i++) {
            dup2(saved[i], i + 1);
            close(saved[i]);
            fclose(files[i]);
        }
    }

    void clear()
    {
        for (FILE *file : files) {
            // Left unemptied, one call's text would be read as the next one's.
            if (ftruncate(fileno(file), 0) != 0)
                ADD_FAILURE() << "cannot empty a captured stream";
            lseek(fileno(file), 0, SEEK_SET);
        }
    }

    // [0] standard output, [1] standard error.
    std::string text(int stream)
    {
        fflush(stream == 0 ? stdout : stderr);
        std::string result;
        char buffer[4096];
        ssize_t n;
        for (off_t at = 0; (n = pread(fileno(files[stream]), buffer, sizeof buffer, at)) > 0;
             at += n)
            result.append(buffer, size_t(n));
        return result;
    }

  private:
    int saved[2] = {-1, -1};
    FILE *files[2] = {nullptr, nullptr};
};

// The three value messages have one %s, which may hold any byte, newlines
// included: match their fixed head and tail around it.
bool ends_with_line(const std::string &text, const char *format)
{
    std::string f = format;
    size_t hole = f.find("%s");
    std::string head = f.substr(0, hole), tail = f.substr(hole + 2);
    size_t at = text.rfind(head);
    return at != std::string::npos && text.ends_with(tail) &&
           at + head.size() + tail.size() <= text.size();
}

// Runs one vector; returns what went wrong, or an empty string when the call
// kept every promise. *ending is 0 when it went on, else 1 + its status.
std::string check_call(std::vector<std::string> &args, captured_streams &streams, int *ending)
{
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    app_state state;
    // Full re-initialisation of glibc's getopt between vectors.
    optind = 0;
    streams.clear();
    std::optional<int> status = parse_command_line(int(args.size()), argv.data(), &state);
    std::string out = streams.text(0);
    std::string err = streams.text(1);
    const std::string help_tail(shader_suffix);
    *ending = !status ? 0 : (*status == 0 || *status == 1) ? 1 + *status : 3;

    if (!status) {
        if (!(state.fps > 0.0f) || !(state.speed > 0.0f))
            return "went on with fps " + std::to_string(state.fps) + " speed " +
                   std::to_string(state.speed);
        if (state.layer < 0 || state.layer > 3)
            return "went on with layer " + std::to_string(state.layer);
        if (!state.output_name || !state.shader_path || optind + 2 != int(args.size()) ||
            state.output_name != argv[size_t(optind)] ||
            state.shader_path != argv[size_t(optind) + 1])
            return "went on without exactly two operands";
        char run_line[8192];
        snprintf(run_line, sizeof run_line, msg::run_line, state.output_name, state.shader_path,
                 double(state.fps), int(state.layer));
        if (!err.ends_with(run_line))
            return "went on without the run line; stderr: " + err;
        if (!out.empty() && !ends_with_line(out, msg::invalid_layer))
            return "went on after printing: " + out;
        return {};
    }
    if (*status == 0) {
        if (out.find(msg::usage_text) == std::string::npos)
            return "status 0 without the help";
        if (!out.ends_with(help_tail) || !err.empty())
            return "status 0 with more than the help; stderr: " + err;
        return {};
    }
    if (*status == 1) {
        if (err.find("Running lumivane") != std::string::npos)
            return "status 1 after the run line";
        if (!out.ends_with(msg::usage_text) && !ends_with_line(out, msg::invalid_fps) &&
            !ends_with_line(out, msg::invalid_speed))
            return "status 1 without usage or a value message; stdout: " + out;
        return {};
    }
    return "status " + std::to_string(*status);
}

std::string show(const std::vector<std::string> &args)
{
    std::string s;
    for (const auto &a : args) {
        s += " '";
        for (unsigned char c : a) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02x", c);
            s += (c >= 0x20 && c < 0x7f) ? std::string(1, char(c)) : std::string(escaped);
        }
        s += "'";
    }
    return s;
}

TEST(CommandLineFuzz, EveryVectorEndsCleanlyOrGoesOnWithValidSettings)
{
    const uint64_t seed = fuzz_seed();
    const int iterations = 100000;
    int outcomes[4] = {}; // went on, status 0, status 1, anything else
    std::vector<std::string> failures;
    {
        captured_streams streams;
        fuzz_input input(seed);
        for (int i = 0; i < iterations && failures.size() < 10; i++) {
            std::vector<std::string> args = input.next();
            int ending = 3;
            std::string problem = check_call(args, streams, &ending);
            outcomes[ending]++;
            if (!problem.empty())
                failures.push_back(problem + "\n  argv:" + show(args));
        }
    }
    printf("command-line fuzz: seed %llu (LUMIVANE_FUZZ_SEED), %d vectors: %d went on, %d "
           "status 0, %d status 1, %d other\n",
           static_cast<unsigned long long>(seed), iterations, outcomes[0], outcomes[1], outcomes[2],
           outcomes[3]);
    for (const auto &f : failures)
        ADD_FAILURE() << "seed " << seed << ": " << f;
    EXPECT_EQ(outcomes[3], 0);
    // The generator must reach all three endings, or it tests little.
    EXPECT_GT(outcomes[0], iterations / 100);
    EXPECT_GT(outcomes[1], iterations / 100);
    EXPECT_GT(outcomes[2], iterations / 100);
}

} // namespace
