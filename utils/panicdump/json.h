// A JSON writer for what the tools print for scripts: one document on a
// stream, written as it goes, so that memory stays the same however long it
// gets. Strings are byte strings: printable ASCII stands as itself (with "
// and \ escaped), every other byte as \u00XX, so that a reader gets every
// byte back as the code point of the same value (Latin-1), whatever the
// bytes are, UTF-8 or not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace trelkit {

class JsonWriter {
public:
    explicit JsonWriter(FILE *out) : out_(out) {}
    void begin(char bracket); // '{' or '['
    void end(char bracket);   // '}' or ']'
    JsonWriter &key(const char *name); // in an object, before each value
    void string(const char *bytes, size_t size);
    void string(const char *text);
    void number(int64_t value);
    void boolean(bool value);
    void null();
    // A time stamp: {"unix": seconds, "utc": "1970-01-01T00:00:00Z"}.
    void time(int64_t seconds);

private:
    void separate();
    FILE *out_;
    bool first_ = true;     // nothing yet in the array or object
    bool afterKey_ = false; // the value of a key comes next
};

} // namespace trelkit
