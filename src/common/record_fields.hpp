// Field tables of plain records: one declaration per record drives its debug
// text, and on the Python side its attributes and constructor.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <tuple>

namespace kz {

// A string literal usable as a template argument.
template <std::size_t N>
struct FixedString {
    char chars[N]{};
    constexpr FixedString(const char (&text)[N]) { std::copy_n(text, N, chars); }
    constexpr std::string_view view() const { return {chars, N - 1}; }
    constexpr const char* c_str() const { return chars; }
};

// One named field of a record: its name and its member pointer.
template <FixedString Name, auto Member>
struct Field {
    static constexpr std::string_view name = Name.view();
    static constexpr const char* c_name = Name.c_str();
    static constexpr auto member = Member;
};

template <class... Fields>
struct FieldList {
    static constexpr std::size_t size = sizeof...(Fields);

    // Calls fn(Field{}) for each field in declaration order.
    template <class Fn>
    static constexpr void for_each(Fn&& fn) {
        (fn(Fields{}), ...);
    }
};

// Specialised for every record with named fields:
//   static constexpr std::string_view name;   // type name in the debug text
//   using fields = FieldList<Field<"a", &R::a>, ...>;
template <class R>
struct RecordInfo;

template <class R>
concept NamedRecord = requires {
    RecordInfo<R>::name;
    typename RecordInfo<R>::fields;
};

}  // namespace kz
