// Decoding of the life-bar graph string into samples.
#include "parser/life_bar.hpp"

#include "common/stop.hpp"
#include "parser/byte_reader.hpp"
#include "text/number_text.hpp"
#include "text/text_scan.hpp"

namespace kz {
namespace {

[[noreturn]] void stop_bad_time(IntErrorKind kind) {
    String debug = "ParseIntError { kind: ";
    debug += int_error_kind_name(kind);
    debug += " }";
    stop_unwrap_err(debug);
}

}  // namespace

LifeBarGraph decode_life_bar_text(std::string_view text) {
    LifeBarGraph graph;
    const char* piece = text.data();
    const char* const end = piece + text.size();
    while (true) {
        const char* const piece_end = find_byte(piece, end, ',');
        const char* const bar = find_byte(piece, piece_end, '|');
        if (bar != piece_end) {
            // Time before life: a piece bad in both reports its time.
            const StrictU32 time = parse_strict_u32(std::string_view(piece, static_cast<std::size_t>(bar - piece)));
            if (time.error) stop_bad_time(*time.error);
            const auto life = parse_strict_float<float>(
                std::string_view(bar + 1, static_cast<std::size_t>(piece_end - bar - 1)));
            if (!life) stop_unwrap_err("Error");
            if (!graph) {
                graph.emplace();
                graph->reserve(4);
            }
            graph->push_back(LifeBarState{time.value, *life});
        }
        if (piece_end == end) break;
        piece = piece_end + 1;
    }
    return graph;
}

Result<LifeBarGraph> parse_life_bar_graph(ByteView input) {
    ByteView rest = input;
    KZ_TRY(text, rest, parse_string(input, "parse_life_bar_graph"));
    if (!text) return {LifeBarGraph{}, rest};
    return {decode_life_bar_text(*text), rest};
}

}  // namespace kz
