// errloginfo's message assembly and chunked event writing.
#pragma once

#include <array>
#include <cstddef>
#include <span>

constexpr size_t kMessageSize = 8000;
constexpr size_t kMessageLimit = 7999; // longest message length plus one
constexpr size_t kChunkLength = 150;   // characters in one event

extern int opt_traps;

// Joins args behind two blanks, one blank between, cut where the message
// would reach the limit. Returns the length; wanted, when given, receives the
// length the whole message has.
size_t assembleMessage(std::span<char *const> args, std::array<char, kMessageSize> &message,
                       size_t *wanted = nullptr);
void log_err_str(const char *text);
[[noreturn]] void print_usage_and_exit(const char *path);
