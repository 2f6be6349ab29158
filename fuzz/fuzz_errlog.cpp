// errloginfo's message assembly and chunking, checked against the event log
// it feeds: events of 1 to 150 characters that rebuild the message in order.
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "errlog.h"
#include "evlog.h"

namespace {
std::string logged;
unsigned handles;
} // namespace

extern "C" evlog_handle_t evlog_get_handle(void)
{
    evlog_handle_t h{};
    h.word[0] = ++handles;
    return h;
}

extern "C" int evlog_write(const char *, const char *, int, const char *tag, ...)
{
    va_list ap;
    va_start(ap, tag);
    evlog_handle_t h = va_arg(ap, evlog_handle_t);
    int a = va_arg(ap, int), b = va_arg(ap, int), id = va_arg(ap, int);
    const char *text = va_arg(ap, const char *);
    va_end(ap);
    size_t n = strlen(text);
    if (h.word[0] != handles || a != 0 || b != 1 || n == 0 || n > kChunkLength)
        abort();
    if (id != (opt_traps ? 0x3d0002 : 0x3d0001))
        abort();
    logged += text;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Arguments are the input cut at its NUL bytes.
    std::vector<std::string> words(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            words.emplace_back();
        else
            words.back() += static_cast<char>(data[i]);
    }
    std::vector<char *> args;
    for (auto &w : words)
        args.push_back(w.data());
    static std::array<char, kMessageSize> message;
    size_t length = assembleMessage(args, message);
    if (length != strlen(message.data()) || length >= kMessageLimit || message[0] != ' ')
        abort();
    opt_traps = size % 2;
    logged.clear();
    log_err_str(message.data());
    if (logged != message.data())
        abort();
    return 0;
}
