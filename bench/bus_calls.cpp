// Calls the player's media controls on a session bus as a media key, a
// panel or a runaway script would, and tells how they were answered.
//
//   bench_bus_calls ADDRESS N GAP_US METHOD...
//
// Sends N calls of MPRIS's Player interface, the METHODs in turn, one every
// GAP_US microseconds (0: all at once, none waiting for another), and
// prints "ANSWERED FAILED LONGEST_MS TOTAL_MS": the calls answered, those
// answered with an error or not at all (sd-bus gives up on a call after 25
// s), the longest any call waited for its answer, and the time from the
// first call to the last answer.
#include <systemd/sd-bus.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

struct Call {
    uint64_t sent_us;
    double waited_ms;
    bool answered;
    bool failed;
};

uint64_t now_us()
{
    timespec t = {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1'000'000 + static_cast<uint64_t>(t.tv_nsec) / 1000;
}

int on_reply(sd_bus_message* reply, void* userdata, sd_bus_error*)
{
    Call* call = static_cast<Call*>(userdata);
    call->waited_ms = static_cast<double>(now_us() - call->sent_us) / 1000.0;
    call->answered = !sd_bus_message_is_method_error(reply, nullptr);
    call->failed = !call->answered;
    return 0;
}

int done(const std::vector<Call>& calls)
{
    return static_cast<int>(
        std::count_if(calls.begin(), calls.end(), [](const Call& c) { return c.answered || c.failed; }));
}

// Reads whatever has come in, waiting at most until deadline_us.
void take_replies(sd_bus* bus, uint64_t deadline_us)
{
    while (sd_bus_process(bus, nullptr) > 0) {
    }
    uint64_t now = now_us();
    if (deadline_us > now) {
        sd_bus_wait(bus, deadline_us - now);
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: bench_bus_calls ADDRESS N GAP_US METHOD...\n");
        return 2;
    }
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0 || sd_bus_set_address(bus, argv[1]) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
        sd_bus_start(bus) < 0) {
        std::fprintf(stderr, "bench_bus_calls: cannot connect to %s\n", argv[1]);
        return 1;
    }
    int count = std::atoi(argv[2]);
    uint64_t gap_us = std::strtoull(argv[3], nullptr, 10);
    int methods = argc - 4;
    std::vector<Call> calls(static_cast<size_t>(count));
    uint64_t start = now_us();
    for (int i = 0; i < count; ++i) {
        sd_bus_message* message = nullptr;
        sd_bus_message_new_method_call(bus, &message, "org.mpris.MediaPlayer2.klamor", "/org/mpris/MediaPlayer2",
                                       "org.mpris.MediaPlayer2.Player", argv[4 + i % methods]);
        Call* call = &calls[static_cast<size_t>(i)];
        call->sent_us = now_us();
        if (sd_bus_call_async(bus, nullptr, message, on_reply, call, 0) < 0) {
            call->failed = true;
        }
        sd_bus_message_unref(message);
        if (gap_us > 0) {
            sd_bus_flush(bus);
            uint64_t next = start + gap_us * static_cast<uint64_t>(i + 1);
            while (now_us() < next) {
                take_replies(bus, next);
            }
        }
    }
    sd_bus_flush(bus);
    while (done(calls) < count) {
        take_replies(bus, now_us() + 100'000);
    }
    double total_ms = static_cast<double>(now_us() - start) / 1000.0;
    int answered =
        static_cast<int>(std::count_if(calls.begin(), calls.end(), [](const Call& c) { return c.answered; }));
    double longest = 0;
    for (const Call& call : calls) {
        longest = std::max(longest, call.waited_ms);
    }
    std::printf("%d %d %.1f %.0f\n", answered, count - answered, longest, total_ms);
    sd_bus_flush_close_unref(bus);
    return 0;
}
