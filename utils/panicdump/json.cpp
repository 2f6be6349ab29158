// The JSON writer; see json.h.
#include "json.h"

#include <cinttypes>
#include <ctime>

namespace trelkit {

void JsonWriter::separate()
{
    if (!first_ && !afterKey_)
        putc(',', out_);
    first_ = afterKey_ = false;
}

void JsonWriter::begin(char bracket)
{
    separate();
    putc(bracket, out_);
    first_ = true;
}

void JsonWriter::end(char bracket)
{
    putc(bracket, out_);
    first_ = false;
}

JsonWriter &JsonWriter::key(const char *name)
{
    string(name);
    putc(':', out_);
    afterKey_ = true;
    return *this;
}

void JsonWriter::string(const char *bytes, size_t size)
{
    separate();
    putc('"', out_);
    for (size_t i = 0; i < size; ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b == '"' || b == '\\')
            fprintf(out_, "\\%c", b);
        else if (b >= ' ' && b <= '~')
            putc(b, out_);
        else
            fprintf(out_, "\\u%04x", b);
    }
    putc('"', out_);
}

void JsonWriter::string(const char *text)
{
    size_t size = 0;
    while (text[size])
        ++size;
    string(text, size);
}

void JsonWriter::number(int64_t value)
{
    separate();
    fprintf(out_, "%" PRId64, value);
}

void JsonWriter::boolean(bool value)
{
    separate();
    fputs(value ? "true" : "false", out_);
}

void JsonWriter::null()
{
    separate();
    fputs("null", out_);
}

void JsonWriter::time(int64_t seconds)
{
    begin('{');
    key("unix").number(seconds);
    const time_t t = static_cast<time_t>(seconds);
    struct tm utc;
    char text[32] = "";
    if (gmtime_r(&t, &utc))
        strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    key("utc").string(text);
    end('}');
}

} // namespace trelkit
