// std::source_location for clang 14 on libstdc++: the library's header needs
// __builtin_source_location, which clang only has from version 15, and so
// declares nothing. The fuzz build force-includes this file with clang 14; it
// gives the same interface from the older location builtins, which also
// report the caller's position when used as default arguments.
#pragma once

#include <source_location>

#if !defined(__cpp_lib_source_location)
#include <cstdint>

namespace std {

struct source_location {
    static constexpr source_location current(const char* file = __builtin_FILE(),
                                             const char* function = __builtin_FUNCTION(),
                                             uint_least32_t line = __builtin_LINE(),
                                             uint_least32_t column = __builtin_COLUMN()) noexcept {
        source_location where;
        where.file_ = file;
        where.function_ = function;
        where.line_ = line;
        where.column_ = column;
        return where;
    }

    constexpr source_location() noexcept = default;
    constexpr uint_least32_t line() const noexcept { return line_; }
    constexpr uint_least32_t column() const noexcept { return column_; }
    constexpr const char* file_name() const noexcept { return file_; }
    constexpr const char* function_name() const noexcept { return function_; }

private:
    const char* file_ = "";
    const char* function_ = "";
    uint_least32_t line_ = 0;
    uint_least32_t column_ = 0;
};

}  // namespace std
#endif
