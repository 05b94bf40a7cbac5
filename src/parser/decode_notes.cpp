// The notes live per thread: each worker decodes one replay at a time.
#include "parser/decode_notes.hpp"

namespace kz {

DecodeNotes& decode_notes() noexcept {
    static thread_local DecodeNotes notes;
    return notes;
}

}  // namespace kz
