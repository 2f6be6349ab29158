// errloginfo: writes the message given on the command line into the
// platform's event log, in events of at most 150 characters.
#include "errlog.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "platform/evlog.h"

int opt_traps;

namespace {

constexpr const char *kSourceFile = "utils/panicdump/trelkit"; // the system's own: the log's readers match it
constexpr const char *kTag = "QMX";
constexpr int kPlainId = 0x3d0001;
constexpr int kTrapId = 0x3d0002;

} // namespace

[[noreturn]] void print_usage_and_exit(const char *path)
{
    printf("usage:\n%s: [-t (if trap required)] \"log string\"\n", path ? path : "");
    exit(1);
}

size_t assembleMessage(std::span<char *const> args, std::array<char, kMessageSize> &message, size_t *wanted)
{
    // Two blanks lead: the buffer starts as one and each argument brings its
    // own. What does not fit is cut where the limit falls.
    size_t length = 1, whole = 1;
    message[0] = ' ';
    for (const char *arg : args) {
        const size_t add = strlen(arg) + 1;
        whole += add;
        const size_t room = kMessageLimit - 1 - length;
        message[length] = ' ';
        memcpy(&message[length + 1], arg, std::min(add, room) - std::min<size_t>(room, 1));
        length += std::min(add, room);
    }
    message[length] = '\0';
    if (wanted)
        *wanted = whole;
    return length;
}

void log_err_str(const char *text)
{
    const size_t length = strlen(text);
    for (size_t offset = 0; offset < length;) {
        std::array<char, kChunkLength + 1> chunk{};
        strncpy(chunk.data(), text + offset, kChunkLength);
        size_t n = strlen(chunk.data()); // 1 or more: offset is inside the text
        evlog_handle_t handle = evlog_get_handle();
        if (opt_traps == 0)
            evlog_write(kSourceFile, "log_err_str", __LINE__, kTag, handle, 0, 1, kPlainId, chunk.data());
        else
            evlog_write(kSourceFile, "log_err_str", __LINE__, kTag, handle, 0, 1, kTrapId, chunk.data());
        offset += n;
    }
}

extern const char errloginfoUsage[] = "Usage: errloginfo [-t] word...\n"
                                      "  -t          trap message id (first argument only)\n";

int errloginfo_main(int argc, char **argv)
{
    if (argc < 2)
        print_usage_and_exit(argc > 0 ? argv[0] : nullptr);
    int first = 1;
    if (strcmp(argv[1], "-t") == 0) {
        ++opt_traps;
        if (argc < 3)
            print_usage_and_exit(argv[0]);
        first = 2;
    }
    static std::array<char, kMessageSize> message;
    size_t wanted = 0;
    const size_t length =
        assembleMessage(std::span<char *const>(argv + first, static_cast<size_t>(argc - first)), message, &wanted);
    log_err_str(message.data());
    if (length == wanted)
        return 0;
    // The log keeps what fits; the caller must not take the message for whole.
    fprintf(stderr, "%s: message too long: %zu of its %zu characters logged, the last %zu left out\n", progname,
            length, wanted, wanted - length);
    return 1;
}
