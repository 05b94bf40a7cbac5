// Decoding many replay files at once on the worker pool.
#pragma once

#include "common/memory.hpp"
#include "replay/replay_record.hpp"

namespace kz {

// Decodes every path (checked for NUL bytes) and returns the records in the
// order of `paths`. One path is decoded on the calling thread; more run on
// the pool (created by the first call, even for an empty list). Every
// decode runs to its end; when any fails, the stop of the lowest-indexed
// failing path is thrown, whatever order the decodes finished in.
Vec<Replay> decode_files(const Vec<String>& paths, bool header_only);

}  // namespace kz
