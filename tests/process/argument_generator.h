#pragma once
// Random argument lists that stress command-line quoting: empty arguments,
// blanks, tabs, quotes, backslash runs before quotes and at the end, control
// characters, non-ASCII text, surrogate pairs and lone surrogates, long arguments.

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

#include "process/command_line.h"

namespace qor::test {

class ArgumentListGenerator {
public:
    // quoted_budget bounds the command line an argument list can need, counted
    // as 2n + 3 units per argument (the worst case of quoting), so every list
    // fits the 32,767-unit limit of a Windows command line.
    explicit ArgumentListGenerator(std::uint64_t seed, std::size_t quoted_budget = 30'000)
        : random_(seed), quoted_budget_(quoted_budget) {}

    ArgumentList next();
    std::wstring next_argument();

private:
    std::size_t below(std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random_); }
    void append_piece(std::wstring& argument);

    std::mt19937_64 random_;
    std::size_t quoted_budget_;
};

}  // namespace qor::test
