// Why a comparison of plays gave no result, as a value.
#pragma once

#include <cstddef>

namespace kz {

// Why no result came: a play that is not cursor-mode, a grid step too fine
// for a play, or the caller's stop.
struct MatrixFailure {
    enum class Kind { NotCursorMode, GridTooFine, Stopped } kind;
    std::size_t play = 0;
};

}  // namespace kz
